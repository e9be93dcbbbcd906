#!/usr/bin/env bash
# Lint: every C++ file formatted as .clang-format says, the program's includes in one
# direction only (scripts/include_graph.py), and clang-tidy (.clang-tidy) on the program's
# sources with the native build's compile_commands.json. Exits non-zero on any finding;
# prints "lint: N findings" at the end.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
BUILD=${TAGWRIGHT_LINT_BUILD:-$ROOT/build/native}
CLANG_FORMAT=${CLANG_FORMAT:-$(command -v clang-format-14 || command -v clang-format || true)}
CLANG_TIDY=${CLANG_TIDY:-$(command -v clang-tidy-14 || command -v clang-tidy || true)}
findings=0

if [ -z "$CLANG_FORMAT" ] || [ -z "$CLANG_TIDY" ]; then
    echo "lint: clang-format and clang-tidy are needed (scripts/setup.sh installs them)" >&2
    exit 1
fi

mapfile -t all_files < <(git ls-files -- '*.cpp' '*.h' '*.hpp' '*.cc')
echo "== clang-format: ${#all_files[@]} files"
for file in "${all_files[@]}"; do
    [ -f "$file" ] || continue
    if ! "$CLANG_FORMAT" --dry-run --Werror "$file" >/dev/null 2>&1; then
        echo "format: $file differs from .clang-format (clang-format -i $file)"
        findings=$((findings + 1))
    fi
done

echo "== include graph: core, settings, transport, launcher, resources"
if ! python3 "$ROOT/scripts/include_graph.py" "$ROOT"; then
    findings=$((findings + 1))
fi

# The program's tests reach the substitute layer only through platform/win32.h and
# platform/testing.h, never its internal headers.
while IFS= read -r hit; do
    echo "internal include: $hit (use platform/testing.h)"
    findings=$((findings + 1))
done < <(git grep -n '#include "platform/posix/' -- 'tests/unit/*' 'tests/support/*')

if [ ! -f "$BUILD/compile_commands.json" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug >/dev/null || exit 1
fi
# The derived resource tables must exist before their includers can be parsed.
cmake --build "$BUILD" --target win32_substitute -j2 >/dev/null 2>&1

mapfile -t program_files < <(git ls-files -- 'core/*.cpp' 'launcher/*.cpp' 'transport/*.cpp' 'watch/*.cpp' 'settings/*.cpp')
echo "== clang-tidy: ${#program_files[@]} files"
tidy_log=$(mktemp)
printf '%s\n' "${program_files[@]}" |
    xargs -P 2 -n 1 "$CLANG_TIDY" -p "$BUILD" --quiet >"$tidy_log" 2>/dev/null
tidy_findings=$(grep -cE ': (warning|error): ' "$tidy_log")
if [ "$tidy_findings" -gt 0 ]; then
    grep -E ': (warning|error): ' "$tidy_log" | sed "s|^$ROOT/||" | sort -u
fi
rm -f "$tidy_log"
findings=$((findings + tidy_findings))

echo "lint: $findings findings"
[ "$findings" -eq 0 ]
