#!/usr/bin/env bash
# Every test, from a fresh clone: installs what is missing, builds the native, native-asan,
# native-release (the benchmark programs, optimised), win64 (release), win32 and fuzz presets, runs the unit tests and the substitute layer's
# tests natively and under ASan/UBSan, the end-to-end tests, the soak and the packages (built, signed, installed) under Wine (once,
# from the native test run), a short run of each fuzz
# target (libFuzzer, ASan, UBSan) and the lint. Prints one line per stage and ends with
# "N passed, N failed"; exits non-zero when anything failed.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
LOGS="$ROOT/build/logs"
JOBS=${TAGWRIGHT_JOBS:-2}
mkdir -p "$LOGS"

passed=0
failed=0
summary=()

# stage <name> <command...>: runs the command with its output in build/logs/<name>.log.
stage() {
    local name=$1
    shift
    local log="$LOGS/$name.log" start=$SECONDS
    echo "== $name"
    if "$@" >"$log" 2>&1; then
        passed=$((passed + 1))
        summary+=("PASS $name ($((SECONDS - start)) s)")
        return 0
    fi
    failed=$((failed + 1))
    summary+=("FAIL $name ($((SECONDS - start)) s, log: build/logs/$name.log)")
    tail -n 40 "$log" | sed 's/^/    /'
    return 1
}

build_preset() {
    cmake --preset "$1" && cmake --build --preset "$1" -j "$JOBS"
}

# The native run includes e2e_wine, soak_wine and packages_wine (the .exe and the MSI under
# Wine); they need the win64 build (the packages also the win32 one), which is why those are
# built first. The sanitizer run leaves them out: the .exe is
# the same.
stage setup scripts/setup.sh
stage build-win64 build_preset win64
stage build-win32 build_preset win32
stage build-native build_preset native
stage build-native-asan build_preset native-asan
# The optimised build warns where the debug one does not (format truncation): the benchmarks
# must never stop building unnoticed.
stage build-native-release build_preset native-release
# Only the fuzz targets and the libraries they need, built by clang.
stage build-fuzz build_preset fuzz
stage test-native ctest --preset native -j "$JOBS"
stage test-native-asan ctest --preset native-asan -j "$JOBS" -E '^(e2e|soak|packages)_wine$'
stage test-fuzz ctest --preset fuzz -j "$JOBS" --no-tests=error
stage lint scripts/lint.sh

echo
echo "== summary"
for log in test-native test-native-asan test-fuzz; do
    [ -f "$LOGS/$log.log" ] && grep -E 'tests passed|tests failed' "$LOGS/$log.log" |
        sed "s/^/$log: /"
done
# The Wine scenarios and soak, as their scripts reported them inside the native test run.
e2e_log="$ROOT/build/native/Testing/Temporary/LastTest.log"
if [ -f "$e2e_log" ]; then
    grep -E '^(PASS|FAIL|SKIP|skip:) |^skip:|^[0-9]+ passed, [0-9]+ failed$' "$e2e_log" |
        sed 's/^/e2e: /'
fi
printf '%s\n' "${summary[@]}"

# The closing line counts tests: unit tests of both runs, the fuzz smoke runs and the Wine
# scenarios, plus any stage that failed without running tests (a build, the lint) as one
# failure each.
tests_passed=0
tests_failed=0
for log in test-native test-native-asan test-fuzz; do
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$LOGS/$log.log" 2>/dev/null | tail -n 1)
    if [ -n "$line" ]; then
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
        bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
        tests_passed=$((tests_passed + total - bad))
        tests_failed=$((tests_failed + bad))
    fi
done
# Each Wine script (the scenarios, the soak) closes with its own "N passed, N failed" line.
if [ -f "$e2e_log" ]; then
    while read -r line; do
        tests_passed=$((tests_passed + ${line%% *}))
        rest=${line#*, }
        tests_failed=$((tests_failed + ${rest%% *}))
    done < <(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$e2e_log")
fi
for entry in "${summary[@]}"; do
    case "$entry" in
    "FAIL test-"*) ;;
    FAIL*) tests_failed=$((tests_failed + 1)) ;;
    esac
done
echo "stages: $passed passed, $failed failed"
echo "$tests_passed passed, $tests_failed failed"
[ "$failed" -eq 0 ]
