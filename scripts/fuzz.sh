#!/usr/bin/env bash
# Builds the fuzz preset (clang, ASan, UBSan, libFuzzer) and runs every fuzz target, or the
# ones named, for a time each, one after the other, from its seed corpus in fuzz/corpus/.
# Prints executions, coverage and findings per target, then a total; exits non-zero when
# any target found something (inputs kept in build/fuzz/long/<target>/findings/).
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target ...]
#   targets: command_line encoder port_file setting_number wide_command_line printer_status
#            printer_target
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT" || exit 1
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(command_line encoder port_file setting_number wide_command_line printer_status
    printer_target)
case "$seconds" in
'' | *[!0-9]*)
    echo "usage: $0 [seconds per target] [target ...]" >&2
    exit 2
    ;;
esac

build=$ROOT/build/fuzz
if ! { cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "${TAGWRIGHT_JOBS:-2}" >/dev/null; }; then
    echo "fuzz: the fuzz preset does not build (cmake --build --preset fuzz)" >&2
    exit 1
fi

total_executions=0
total_findings=0
failed=0
for target in "${targets[@]}"; do
    binary=$build/fuzz/${target}_fuzz
    if [ ! -x "$binary" ]; then
        echo "fuzz: no target $target" >&2
        failed=$((failed + 1))
        continue
    fi
    line=$("$ROOT/fuzz/run_target.sh" "$binary" "$ROOT/fuzz/corpus/$target" \
        "$build/long/$target" "$seconds")
    status=$?
    echo "$line"
    executions=$(sed -nE 's/.*: ([0-9]+) executions.*/\1/p' <<<"$line")
    findings=$(sed -nE 's/.*findings ([0-9]+).*/\1/p' <<<"$line")
    total_executions=$((total_executions + ${executions:-0}))
    total_findings=$((total_findings + ${findings:-0}))
    [ "$status" -ne 0 ] && failed=$((failed + 1))
done
echo "fuzz: ${#targets[@]} targets, $total_executions executions, $total_findings findings," \
    "$failed failed"
[ "$failed" -eq 0 ]
