#!/usr/bin/env bash
# Benchmarks: a network job with Delay 0 (a 2 KB label, a 1 MB file and, under Wine, a 4 MB
# file) through the native build and through tagwright.exe under Wine, each against socat sending the same bytes to
# the same listener in the same run; under Wine also the 2 KB job with and without
# --confirm received against the model printer; the peak memory of a job; the encoder
# benchmark; under Wine a watched folder that takes 500 labels at once, against a socat loop.
# Builds what it needs (build/native-release, and the .exe in build/bench-win64), prints
# the figures and exits 1 when a run went wrong. Not part of the test command.
#
#   TAGWRIGHT_BENCH_REPS   timed runs per case (default 15)
#   TAGWRIGHT_BENCH_WINE   "no" leaves out the part under Wine
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
REPS=${TAGWRIGHT_BENCH_REPS:-15}
RELEASE="$ROOT/build/native-release"
WIN64="$ROOT/build/bench-win64"
BENCH="$RELEASE/net_job_bench"
HARNESS="$ROOT/bench/timed_runs.py"
STATUS=0

WORK=$(mktemp -d /tmp/tagwright-bench.XXXXXX)
SINK_PID=""
cleanup() {
    if [ -n "$SINK_PID" ]; then
        kill "$SINK_PID" 2>/dev/null
        wait "$SINK_PID" 2>/dev/null
    fi
    if declare -F e2e_cleanup >/dev/null; then
        e2e_cleanup
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

heading() {
    printf '\n== %s\n' "$*"
}

fail() {
    echo "bench: $*" >&2
    STATUS=1
}

load() {
    cut -d' ' -f1-3 /proc/loadavg
}

heading "machine"
echo "date:      $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "processor: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1), $(nproc) cores"
echo "memory:    $(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
echo "kernel:    $(uname -r)"
echo "compiler:  $(c++ --version | head -n1)"
echo "socat:     $(socat -V 2>/dev/null | sed -n 's/^socat version \([^ ]*\).*/\1/p' | head -n1)"
echo "load:      $(load) (1, 5, 15 minutes)"

heading "build (native-release)"
if ! { cmake --preset native-release >"$WORK/configure.log" 2>&1 &&
    cmake --build "$RELEASE" -j2 --target net_job_bench encoder_bench >"$WORK/build.log" 2>&1; }; then
    tail -n 30 "$WORK/configure.log" "$WORK/build.log"
    echo "bench: the native release build failed" >&2
    exit 1
fi
echo "built net_job_bench and encoder_bench in $RELEASE"

mkdir -p "$WORK/inputs" "$WORK/native" "$WORK/runtime"
chmod 700 "$WORK/runtime"
"$BENCH" --write-inputs "$WORK/inputs" || exit 1
LABEL="$WORK/inputs/label-2k.zpl"
FILE="$WORK/inputs/file-1m.bin"
# 4 MB: the 1 MB file four times over.
FILE4="$WORK/inputs/file-4m.bin"
cat "$FILE" "$FILE" "$FILE" "$FILE" >"$FILE4"
# The job's named mutex is a lock file in the runtime folder; a private one keeps the
# network tests of other builds on this machine from holding up a timed job.
export XDG_RUNTIME_DIR="$WORK/runtime"

# The native sink: 127.0.0.1, a port the system picks.
SINK_EVENTS="$WORK/native/events.log"
python3 "$ROOT/bench/sink.py" 127.0.0.1 0 "$SINK_EVENTS" --lifetime 1800 &
SINK_PID=$!
for _ in $(seq 1 100); do
    [ -s "$SINK_EVENTS.port" ] && break
    sleep 0.1
done
[ -s "$SINK_EVENTS.port" ] || { echo "bench: the sink did not start" >&2; exit 1; }
SINK_PORT=$(cat "$SINK_EVENTS.port")
export TAGWRIGHT_SINK_PORT=$SINK_PORT

heading "native: one job per process against socat, $REPS runs each (load $(load))"
TAB=$'\t'
cat >"$WORK/native/cases" <<CASES
job-2k${TAB}$LABEL${TAB}0${TAB}yes${TAB}$BENCH --job {input}
socat-2k${TAB}$LABEL${TAB}0${TAB}no${TAB}socat -u FILE:{input} TCP4:127.0.0.1:$SINK_PORT
job-1m${TAB}$FILE${TAB}0${TAB}yes${TAB}$BENCH --job {input}
socat-1m${TAB}$FILE${TAB}0${TAB}no${TAB}socat -u FILE:{input} TCP4:127.0.0.1:$SINK_PORT
CASES
python3 "$HARNESS" --cases "$WORK/native/cases" --events "$SINK_EVENTS" --work "$WORK/native" \
    --reps "$REPS" --limit 60 --ratio job-2k socat-2k --ratio job-1m socat-1m ||
    fail "a native run went wrong"

heading "native: 100 jobs timed in-process, medians of 5 repetitions (load $(load))"
"$BENCH" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>&1 |
    grep -E '^(Benchmark|BM_[^ ]*_median )' ||
    fail "the in-process benchmark failed"

heading "native: peak memory of one job (/usr/bin/time -v)"
for input in "$LABEL" "$FILE"; do
    cp "$input" "$WORK/native/memory.in"
    if /usr/bin/time -v "$BENCH" --job "$WORK/native/memory.in" >"$WORK/native/memory.out" \
        2>"$WORK/native/memory.err"; then
        printf '%s; maximum resident set size %s KB\n' "$(cat "$WORK/native/memory.out")" \
            "$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$WORK/native/memory.err")"
    else
        fail "the memory run of $(basename "$input") failed: $(head -n1 "$WORK/native/memory.err")"
    fi
done
# The same process without a job: it ends before the substitute layer does anything.
/usr/bin/time -v "$BENCH" --job "$WORK/native/absent" >/dev/null 2>"$WORK/native/memory.err"
echo "no job (the process alone): maximum resident set size" \
    "$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$WORK/native/memory.err") KB"

kill "$SINK_PID" 2>/dev/null
wait "$SINK_PID" 2>/dev/null
SINK_PID=""

heading "encoder: medians of 5 repetitions (load $(load))"
"$RELEASE/encoder_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    2>&1 | grep -E '^(Benchmark|BM_[^ ]*_median )' || fail "the encoder benchmark failed"

if [ "${TAGWRIGHT_BENCH_WINE:-yes}" = no ]; then
    echo
    echo "Wine: left out (TAGWRIGHT_BENCH_WINE=no)"
    exit "$STATUS"
fi

heading "build (tagwright.exe, x86_64)"
if ! { cmake -S "$ROOT" -B "$WIN64" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >"$WORK/configure-win64.log" 2>&1 &&
    cmake --build "$WIN64" -j2 --target tagwright windriver >"$WORK/build-win64.log" 2>&1; }; then
    tail -n 30 "$WORK/configure-win64.log" "$WORK/build-win64.log"
    echo "bench: the Windows build failed" >&2
    exit 1
fi
echo "built tagwright.exe and windriver.exe in $WIN64"

# shellcheck source=../tests/e2e/lib.sh
source "$ROOT/tests/e2e/lib.sh"
E2E_WORK="$WORK/wine"
E2E_EXE="$WIN64/tagwright.exe"
# shellcheck disable=SC2034 # read by drv, which writes the settings
E2E_DRIVER="$WIN64/windriver.exe"
mkdir -p "$E2E_WORK"
e2e_find_wine || { echo "Wine: skipped, wine64 is not installed or cannot run here"; exit "$STATUS"; }
command -v Xvfb >/dev/null 2>&1 || { echo "Wine: skipped, Xvfb is not installed"; exit "$STATUS"; }
e2e_start_xvfb || { echo "Wine: skipped, Xvfb did not start"; exit "$STATUS"; }
e2e_init_prefix || { echo "Wine: skipped, wineboot failed"; exit "$STATUS"; }
export CUPS_SERVER="$E2E_WORK/no-cups.sock"
echo "wine:      $("$WINE" --version 2>/dev/null)"
if ! e2e_netns_up; then
    echo "Wine: skipped, no network namespace (needs the ip tool and CAP_NET_ADMIN)"
    exit "$STATUS"
fi
PRINTER="$E2E_WORK/printer"
e2e_start_tcp_printer 9100 "$PRINTER" || { echo "bench: the virtual printer did not start" >&2; exit 1; }
e2e_write_settings PrinterType "TCP/IP" Port "9100" BaudorIPAddress "$E2E_PRINTER_ADDRESS" \
    Delay "0" Attempts "3"

cat >"$E2E_WORK/cases" <<CASES
wine-nothing${TAB}-${TAB}1${TAB}no${TAB}$WINE $E2E_EXE -n
wine-job-2k${TAB}$LABEL${TAB}1${TAB}yes${TAB}$WINE $E2E_EXE {winput}
socat-2k${TAB}$LABEL${TAB}0${TAB}no${TAB}socat -u FILE:{input} TCP4:$E2E_PRINTER_ADDRESS:9100
wine-job-1m${TAB}$FILE${TAB}1${TAB}yes${TAB}$WINE $E2E_EXE {winput}
socat-1m${TAB}$FILE${TAB}0${TAB}no${TAB}socat -u FILE:{input} TCP4:$E2E_PRINTER_ADDRESS:9100
wine-job-4m${TAB}$FILE4${TAB}1${TAB}yes${TAB}$WINE $E2E_EXE {winput}
socat-4m${TAB}$FILE4${TAB}0${TAB}no${TAB}socat -u FILE:{input} TCP4:$E2E_PRINTER_ADDRESS:9100
CASES
wine_timed() {
    python3 "$HARNESS" --cases "$E2E_WORK/cases" --events "$PRINTER/events.log" \
        --work "$E2E_WORK" --reps "$REPS" --limit 90 \
        --ratio wine-job-2k socat-2k --ratio wine-job-1m socat-1m \
        --ratio wine-job-4m socat-4m --ratio wine-job-4m wine-job-2k \
        --ratio-less wine-job-2k wine-nothing socat-2k \
        --ratio-less wine-job-1m wine-nothing socat-1m || fail "a run under Wine went wrong"
}

heading "Wine: one tagwright.exe per job against socat to the virtual printer, $REPS runs each (load $(load))"
wine_timed

# Without a window manager (Xvfb alone), Wine's X11 driver waits 2 s for every managed
# window it hides; unmanaged windows show what the program itself takes.
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
    fail "the X11 driver setting could not be written"
heading "Wine, windows not managed: the same, $REPS runs each (load $(load))"
wine_timed

# Confirmation: the same 2 KB job to the model printer of current firmware, with and without
# --confirm received (after the label, one "~HS" and its answer: 3 bytes more at the
# printer), in one run. A program
# without the option refuses nothing here: a bare --confirm is then a file name.
MODEL="$E2E_WORK/model"
heading "Wine: the 2 KB job to the model printer, with and without --confirm received, $REPS runs each (load $(load))"
"$WINE" "$E2E_EXE" -q --printer "socket://$E2E_PRINTER_ADDRESS:1" --confirm >/dev/null 2>&1
probe=$?
if [ "$probe" != 2 ]; then
    echo "confirm rows: skipped, tagwright.exe does not take --confirm (a bare --confirm ended with exit $probe, not 2)"
elif ! e2e_start_tcp_printer 9101 "$MODEL" --firmware current --labels-per-second 1000; then
    fail "the model printer did not start"
else
    MODEL_TARGET="socket://$E2E_PRINTER_ADDRESS:9101"
    cat >"$E2E_WORK/confirm-cases" <<CASES
wine-model-2k${TAB}$LABEL${TAB}1${TAB}yes${TAB}$WINE $E2E_EXE --printer $MODEL_TARGET {winput}
wine-confirm-2k${TAB}$LABEL${TAB}1${TAB}yes${TAB}3${TAB}$WINE $E2E_EXE --printer $MODEL_TARGET --confirm received {winput}
CASES
    python3 "$HARNESS" --cases "$E2E_WORK/confirm-cases" --events "$MODEL/events.log" \
        --work "$E2E_WORK" --reps "$REPS" --limit 90 \
        --ratio wine-confirm-2k wine-model-2k --difference wine-confirm-2k wine-model-2k ||
        fail "a confirmation run under Wine went wrong"
    answers=$(grep -c '^status' "$MODEL/events.log")
    echo "status answers the model printer sent: $answers"
    [ "$answers" -gt "$REPS" ] || fail "the --confirm runs asked the printer too few times ($answers)"
fi

# A watched folder: 500 labels of 2 KB moved into the folder at once, all printed by one
# watcher to a sink that closes each connection at once; next to a loop of socat processes
# sending the same 500 files, in the same run. Timed from the move to the sink's 500th close.
WATCH_COUNT=500
heading "Wine: a watched folder, $WATCH_COUNT files of 2 KB at once, against a socat loop (load $(load))"
WATCH_DIR="$E2E_WORK/watch"
WATCH_SINK="$WATCH_DIR/sink.log"
mkdir -p "$WATCH_DIR/staging" "$WATCH_DIR/in" "$WATCH_DIR/run"
for i in $(seq -w 1 "$WATCH_COUNT"); do
    cp "$LABEL" "$WATCH_DIR/staging/label-$i.zpl"
done
closed_at_sink() {
    local count
    count=$(grep -c '^close' "$WATCH_SINK" 2>/dev/null)
    echo "${count:-0}"
}
# wait_sink <count> <seconds>: true once the sink has seen that many connections closed.
wait_sink() {
    local i
    for i in $(seq 1 $(($2 * 50))); do
        [ "$(closed_at_sink)" -ge "$1" ] && return 0
        sleep 0.02
    done
    return 1
}
ip netns exec "$E2E_NETNS" python3 "$ROOT/bench/sink.py" "$E2E_PRINTER_ADDRESS" 9102 \
    "$WATCH_SINK" --lifetime 900 &
E2E_PIDS+=($!)
e2e_wait_file "$WATCH_SINK.port" 30 || fail "the watch sink did not start"
WATCH_TARGET="socket://$E2E_PRINTER_ADDRESS:9102"
timeout 300 "$WINE" "$E2E_EXE" --watch "$(e2e_winpath "$WATCH_DIR/in")" --printer "$WATCH_TARGET" \
    -q >/dev/null 2>&1 &
WATCHER_PID=$!
# The watcher is ready once it has made its subfolders.
e2e_wait_file "$WATCH_DIR/in/failed" 60 || fail "the watcher did not start"
sleep 1
start=$(date +%s.%N)
mv "$WATCH_DIR/staging/"*.zpl "$WATCH_DIR/in/"
if wait_sink "$WATCH_COUNT" 240; then
    watch_seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
else
    watch_seconds=""
    fail "the watcher printed $(closed_at_sink) of $WATCH_COUNT labels in 240 s"
fi
timeout 60 "$WINE" "$E2E_EXE" --watch "$(e2e_winpath "$WATCH_DIR/in")" --stop -q >/dev/null 2>&1
wait "$WATCHER_PID"
watcher_code=$?
[ "$watcher_code" = 1 ] || fail "the watcher ended with $watcher_code, not 1"
left=$(find "$WATCH_DIR/in" -type f | wc -l)
[ "$left" = 0 ] || fail "$left files were left in the watched folder"
for i in $(seq -w 1 "$WATCH_COUNT"); do
    cp "$LABEL" "$WATCH_DIR/staging/label-$i.zpl"
done
start=$(date +%s.%N)
for file in "$WATCH_DIR/staging/"*.zpl; do
    socat -u "FILE:$file" "TCP4:$E2E_PRINTER_ADDRESS:9102" || fail "socat failed on $file"
done
if wait_sink $((2 * WATCH_COUNT)) 120; then
    socat_seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
else
    socat_seconds=""
    fail "the socat loop reached $(closed_at_sink) closes of $((2 * WATCH_COUNT))"
fi
bytes=$(awk '$1 == "close" { sum += $3 } END { print sum + 0 }' "$WATCH_SINK")
[ "$bytes" = $((2 * WATCH_COUNT * $(stat -c %s "$LABEL"))) ] || fail "the sink received $bytes bytes"
if [ -n "$watch_seconds" ] && [ -n "$socat_seconds" ]; then
    awk -v n="$WATCH_COUNT" -v w="$watch_seconds" -v s="$socat_seconds" 'BEGIN {
        printf "watcher under Wine: %d labels in %.2f s, %.1f labels/s\n", n, w, n / w
        printf "socat loop, native: %d labels in %.2f s, %.1f labels/s\n", n, s, n / s
        printf "watcher / socat loop (time): %.2f\n", w / s
    }'
fi

heading "Wine: peak memory of the tagwright.exe process (/usr/bin/time -v), 3 runs each"
wine_memory() { # <label> <input or -> <arguments...>: the three figures in KB
    local label=$1 input=$2 run figures=""
    shift 2
    for run in 1 2 3; do
        [ "$input" = - ] || cp "$input" "$E2E_WORK/memory.in"
        /usr/bin/time -v -o "$E2E_WORK/memory.time" timeout 90 "$WINE" "$E2E_EXE" "$@" \
            >/dev/null 2>&1
        local code=$?
        if [ "$code" -ne 1 ] || { [ "$input" != - ] && [ -e "$E2E_WORK/memory.in" ]; }; then
            fail "the memory run $run of $label ended with $code"
        fi
        figures+=" $(sed -n 's/.*Maximum resident set size (kbytes): //p' "$E2E_WORK/memory.time")"
    done
    echo "$label: maximum resident set size$figures KB"
}
wine_memory "tagwright.exe -n (no job)" - -n
wine_memory "job of the 2 KB label" "$LABEL" "$(e2e_winpath "$E2E_WORK/memory.in")"
wine_memory "job of the 1 MB file" "$FILE" "$(e2e_winpath "$E2E_WORK/memory.in")"

exit "$STATUS"
