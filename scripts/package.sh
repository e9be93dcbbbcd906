#!/usr/bin/env bash
# Builds the release packages of Tagwright into dist/:
#   tagwright-<version>-x64.msi   Windows Installer package (wixl), per machine, into
#                                 Program Files\Tagwright, with Start-menu shortcuts; its
#                                 properties write the machine settings (user guide, 8)
#   tagwright-<version>-x64.zip   the portable program, 64-bit
#   tagwright-<version>-x86.zip   the portable program, 32-bit
#   SHA256SUMS
# <version> is the text the program shows (4.3.120104). The packages take it from the
# version block of the built tagwright.exe, which takes it from the file VERSION.
#
#   scripts/package.sh [--no-build] [--msi-only] [--dist DIR] [--as-version A.B.C.D]
#
#   --no-build     package build/win64 and build/win32 as they are
#   --msi-only     only the MSI (the x64 program)
#   --dist DIR     write the packages there instead of dist/
#   --as-version   label the packages with another version than the program's own; for
#                  the upgrade test, which needs a later MSI of the same program
#
# With TAGWRIGHT_SIGN_CERT (and TAGWRIGHT_SIGN_PASSWORD, optionally
# TAGWRIGHT_SIGN_TIMESTAMP) set, the programs are signed before they are packaged and the
# MSI after it is built (scripts/sign.sh).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
JOBS=${TAGWRIGHT_JOBS:-2}
BUILD=yes
MSI_ONLY=no
DIST="$ROOT/dist"
AS_VERSION=""

fail() {
    echo "package: $*" >&2
    exit 1
}

while [ $# -gt 0 ]; do
    case "$1" in
    --no-build) BUILD=no ;;
    --msi-only) MSI_ONLY=yes ;;
    --dist) DIST=$(mkdir -p "$2" && cd "$2" && pwd) || fail "cannot use $2"; shift ;;
    --as-version) AS_VERSION=$2; shift ;;
    *) fail "unknown option $1 (see the top of scripts/package.sh)" ;;
    esac
    shift
done

for tool in wixl zip python3; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (scripts/setup.sh)"
done

ARCHES=(x64 x86)
[ "$MSI_ONLY" = yes ] && ARCHES=(x64)
declare -A PRESET=([x64]=win64 [x86]=win32)

if [ "$BUILD" = yes ]; then
    for arch in "${ARCHES[@]}"; do
        echo "== building the ${PRESET[$arch]} preset (release)"
        { cmake --preset "${PRESET[$arch]}" && cmake --build --preset "${PRESET[$arch]}" -j "$JOBS"; } \
            >/dev/null || fail "the ${PRESET[$arch]} build failed"
    done
fi

# The version: each program's own version block, which must agree with the file VERSION.
wanted=$(head -n 1 VERSION)
for arch in "${ARCHES[@]}"; do
    exe="build/${PRESET[$arch]}/tagwright.exe"
    [ -f "$exe" ] || fail "$exe is missing (run without --no-build)"
    found=$(python3 scripts/pe_version.py "$exe") || fail "cannot read the version block of $exe"
    [ "$found" = "$wanted" ] ||
        fail "$exe has version $found, VERSION says $wanted: rebuild it"
done
version=${AS_VERSION:-$wanted}
[[ $version =~ ^(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)$ ]] ||
    fail "a version is major.minor.release.build, not $version"
major=${BASH_REMATCH[1]} minor=${BASH_REMATCH[2]} release=${BASH_REMATCH[3]} build=${BASH_REMATCH[4]}
# The text the program shows: release and build run together, the build as four digits.
text=$(printf '%d.%d.%d%04d' "$major" "$minor" "$release" "$build")
# Windows Installer compares major.minor.build, at most 255.255.65535, and ignores a fourth
# field, so release and build share the third field as release * 1000 + build: 4.3.12.104
# is 4.3.12104. It grows with every later version while the build stays below 1000.
[ "$major" -le 255 ] && [ "$minor" -le 255 ] && [ "$build" -le 999 ] &&
    [ $((release * 1000 + build)) -le 65535 ] ||
    fail "version $version does not fit an MSI product version (major, minor <= 255," \
        "build <= 999, release * 1000 + build <= 65535)"
msi_version="$major.$minor.$((release * 1000 + build))"
# One product code per version: a rebuilt package of the same version is the same product.
upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-Fa-f-]*\)".*/\1/p' packaging/tagwright.wxs)
[ -n "$upgrade_code" ] || fail "packaging/tagwright.wxs has no UpgradeCode"
product_code=$(python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
    "$upgrade_code" "Tagwright $msi_version x64")

STAGE="$ROOT/build/package"
rm -rf "$STAGE"
mkdir -p "$DIST" "$STAGE"
signing=no
[ -n "${TAGWRIGHT_SIGN_CERT:-}" ] && signing=yes

# The files every package holds, under a folder Tagwright.
stage_files() { # <arch> <folder>
    local folder=$2/Tagwright
    mkdir -p "$folder/guide" "$folder/samples" "$folder/PolicyDefinitions/en-US"
    cp "build/${PRESET[$1]}/tagwright.exe" "$folder/"
    cp packaging/licence-notes.txt "$folder/"
    cp docs/user-guide.md docs/about.png docs/help.png docs/progress.png docs/settings.png \
        "$folder/guide/"
    cp samples/label.zpl samples/label.epl "$folder/samples/"
    cp packaging/tagwright.admx "$folder/PolicyDefinitions/"
    cp packaging/en-US/tagwright.adml "$folder/PolicyDefinitions/en-US/"
    # A fixed time for every file, so that a package depends only on its contents.
    find "$2" -exec touch -h -d "@$(git log -1 --format=%ct 2>/dev/null || echo 0)" {} +
    if [ "$signing" = yes ]; then
        scripts/sign.sh "$folder/tagwright.exe" >/dev/null
        touch -d "@$(stat -c %Y "$folder/guide/user-guide.md")" "$folder/tagwright.exe"
    fi
}

made=()
for arch in "${ARCHES[@]}"; do
    stage_files "$arch" "$STAGE/$arch"
    if [ "$MSI_ONLY" = no ]; then
        zip_file="$DIST/tagwright-$text-$arch.zip"
        rm -f "$zip_file"
        (cd "$STAGE/$arch" && zip -q -X -D -r "$zip_file" Tagwright) || fail "zip failed"
        made+=("$zip_file")
    fi
done

msi_file="$DIST/tagwright-$text-x64.msi"
cp resources/tagwright.ico "$STAGE/tagwright.ico"
cp packaging/machine_settings.js "$STAGE/machine_settings.js"
# wixl takes source paths relative to the folder it runs in.
(cd "$STAGE" && wixl -a x64 -D ProductVersion="$msi_version" -D ProductCode="$product_code" \
    -D StageDir=x64/Tagwright -D IconFile=tagwright.ico -D ScriptFile=machine_settings.js -o "$msi_file" "$ROOT/packaging/tagwright.wxs") ||
    fail "wixl failed"
[ "$signing" = yes ] && { scripts/sign.sh "$msi_file" >/dev/null || fail "signing the MSI failed"; }
made+=("$msi_file")

(cd "$DIST" && sha256sum "${made[@]##*/}" >SHA256SUMS)
echo "package: version $text (MSI product version $msi_version), signed: $signing"
for file in "${made[@]}"; do
    echo "package: $file"
done
