#!/usr/bin/env bash
# Runs one fuzz target for a bounded time on its seed corpus and prints one line:
#   <name>: <N> executions in <S> s, cov <C>, ft <F>, corpus <K> inputs, findings <X>
# Usage: run_target.sh <binary> <seed corpus dir> <work dir> <seconds> [libFuzzer flags...]
# The seed corpus is only read: new inputs go to <work dir>/corpus, findings to
# <work dir>/findings/, the whole log to <work dir>/fuzz.log. Exits non-zero on a finding.
set -uo pipefail

if [ $# -lt 4 ]; then
    echo "usage: $0 <binary> <seed corpus dir> <work dir> <seconds> [libFuzzer flags...]" >&2
    exit 2
fi
seconds=$4
name=$(basename "$1")
rm -rf "$3"
mkdir -p "$3/corpus" "$3/findings"
# Absolute paths: a target may change its working directory (the port file's does).
binary=$(realpath "$1")
seeds=$(realpath "$2")
work=$(realpath "$3")
shift 4
# Bounded per input as well as in total; inputs up to 8 KB reach past every 2 KB buffer.
start=$SECONDS
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$work/findings/" "$@" \
    "$work/corpus" "$seeds" >"$work/fuzz.log" 2>&1
status=$?
elapsed=$((SECONDS - start))

executions=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$work/fuzz.log" | tail -n 1)
coverage=$(grep -E '^#[0-9]+' "$work/fuzz.log" | grep -E ' cov: ' | tail -n 1)
cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$coverage")
ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$coverage")
corpus=$(sed -nE 's/.* corp: ([0-9]+).*/\1/p' <<<"$coverage")
findings=$(find "$work/findings" -type f | wc -l)

echo "$name: ${executions:-0} executions in $elapsed s, cov ${cov:-?}, ft ${ft:-?}," \
    "corpus ${corpus:-?} inputs, findings $findings"
if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    echo "$name: libFuzzer exit status $status; log: $work/fuzz.log" >&2
    grep -E 'ERROR|fuzz check failed|differs|SUMMARY|Test unit written' "$work/fuzz.log" |
        head -n 20 >&2
    [ "$status" -ne 0 ] && exit "$status"
    exit 1
fi
exit 0
