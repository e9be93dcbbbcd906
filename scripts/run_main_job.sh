#!/usr/bin/env bash
# The main job, from a fresh clone: installs what is missing, builds tagwright.exe, starts a
# virtual network label printer (a raw TCP listener on 10.231.N.2:9100 in a network namespace
# of its own), stores the printer settings in a private Wine prefix, sends a label with
# tagwright.exe under Wine, and shows what the printer received.
#   scripts/run_main_job.sh [label file]     (default: samples/label.zpl)
# Needs root (or CAP_NET_ADMIN) for the namespace; runs headless under Xvfb.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
LABEL=$(realpath "${1:-$ROOT/samples/label.zpl}")
JOBS=${TAGWRIGHT_JOBS:-2}

fail() {
    echo "main job: $*" >&2
    exit 1
}

[ -f "$LABEL" ] || fail "no label file $LABEL"
scripts/setup.sh || fail "setting up the packages failed"
echo "== building tagwright.exe (preset win64)"
{ cmake --preset win64 && cmake --build --preset win64 -j "$JOBS"; } >/dev/null ||
    fail "the win64 build failed (run: cmake --build --preset win64)"

source "$ROOT/tests/e2e/lib.sh"
E2E_EXE="$ROOT/build/win64/tagwright.exe"
E2E_DRIVER="$ROOT/build/win64/windriver.exe"
E2E_WORK=$(mktemp -d /tmp/tagwright-main.XXXXXX)
trap 'e2e_cleanup; rm -rf "$E2E_WORK"' EXIT
trap 'exit 130' INT TERM

e2e_find_wine || fail "Wine (wine64) cannot run here"
e2e_start_xvfb || fail "Xvfb did not start"
echo "== preparing a private Wine prefix"
e2e_init_prefix || fail "wineboot failed (see $E2E_WORK/wineboot.log)"
e2e_netns_up ||
    fail "cannot create the printer's network namespace (needs root or CAP_NET_ADMIN)"
PRINTER=$E2E_PRINTER_ADDRESS
e2e_start_tcp_printer 9100 "$E2E_WORK/printer" || fail "the virtual printer did not start"
echo "== virtual label printer listening on $PRINTER:9100"

e2e_write_settings PrinterType "TCP/IP" Port "9100" BaudorIPAddress "$PRINTER" Delay "0" Attempts "3"
echo "== settings (HKCU\\$SETTINGS_KEY):"
timeout 60 "$WINE" reg query "HKCU\\$SETTINGS_KEY" 2>/dev/null | tr -d '\r' | sed -n 's/^ \+/    /p'

mkdir -p "$E2E_WORK/job"
JOB_FILE="$E2E_WORK/job/$(basename "$LABEL")"
cp "$LABEL" "$JOB_FILE"
echo "== tagwright.exe $(e2e_winpath "$JOB_FILE")"
e2e_start_program "$E2E_WORK/job" "$(e2e_winpath "$JOB_FILE")"
code=$(e2e_wait_exit "$E2E_WORK/job" 60)
if [ "$code" != 1 ]; then
    # A failure shows one message box: show its text and dismiss it.
    drv msgbox-ok @msgbox 5000 | sed 's/^/    /'
    code=$(e2e_wait_exit "$E2E_WORK/job" 20)
fi
e2e_stop_printer "$E2E_WORK/printer"

connections=$(grep -c '^open' "$E2E_WORK/printer/events.log" 2>/dev/null)
received="$E2E_WORK/printer/conn-1.bin"
echo "== tagwright.exe exit code: $code (1 means the job was done)"
echo "== the printer received ${connections:-0} connection(s)"
if [ -f "$received" ]; then
    echo "== received on connection 1 ($(stat -c %s "$received") bytes):"
    echo "----"
    cat "$received"
    echo "----"
fi
verdict=0
if cmp -s "$received" "$LABEL"; then
    echo "== identical to $(basename "$LABEL"), byte for byte"
else
    echo "== NOT identical to $(basename "$LABEL")"
    verdict=1
fi
if [ -e "$JOB_FILE" ]; then
    echo "== the input file is still there"
    verdict=1
else
    echo "== the input file was deleted"
fi
[ "$code" = 1 ] || verdict=1
exit $verdict
