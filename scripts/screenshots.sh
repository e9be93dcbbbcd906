#!/usr/bin/env bash
# Regenerates the window screenshots in docs/ (progress, settings, help, about, and the
# settings window at 144 dpi): the real
# tagwright.exe under Wine and Xvfb, driven by windriver.exe, captured with ImageMagick.
# Builds nothing: run after "cmake --build --preset win64" (TAGWRIGHT_WIN64_DIR overrides).
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/tests/e2e/lib.sh"
WIN64_DIR=${TAGWRIGHT_WIN64_DIR:-$ROOT/build/win64}
E2E_EXE="$WIN64_DIR/tagwright.exe"
E2E_DRIVER="$WIN64_DIR/windriver.exe"
DOCS="$ROOT/docs"

fail() {
    echo "screenshots: $*" >&2
    exit 1
}

[ -f "$E2E_EXE" ] && [ -f "$E2E_DRIVER" ] || fail "build the win64 preset first"
command -v import >/dev/null 2>&1 || fail "ImageMagick's import is missing (scripts/setup.sh)"
E2E_WORK=$(mktemp -d /tmp/tagwright-shots.XXXXXX)
trap 'e2e_cleanup; rm -rf "$E2E_WORK"' EXIT
trap 'exit 130' INT TERM

e2e_find_wine || fail "Wine (wine64) cannot run here"
e2e_start_xvfb || fail "Xvfb did not start"
e2e_init_prefix || fail "wineboot failed"
[ -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ] ||
    fail "Wine's Marlett font is missing (package fonts-wine, scripts/setup.sh)"
# Without a window manager Wine draws the caption and frame itself when windows are not
# managed, so the pictures show the windows as a user sees them.
timeout 60 "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
mkdir -p "$DOCS" "$E2E_WORK/run"

# shoot <caption> <file>: captures the window once it is shown and has painted.
shoot() {
    drv wait "$1" 30000 >/dev/null || fail "window '$1' did not appear"
    sleep 1
    import -window "$1" "$DOCS/$2" || fail "cannot capture '$1'"
    echo "docs/$2"
}

# About, from the command line.
e2e_start_program "$E2E_WORK/run" "-?" -n
shoot "Tagwright About" about.png
drv press "Tagwright About" 1 >/dev/null
e2e_wait_exit "$E2E_WORK/run" 30 >/dev/null

# Settings as they open, and Help from its button.
e2e_start_program "$E2E_WORK/run" -s -n
shoot "Tagwright Settings" settings.png
drv press "Tagwright Settings" 9 >/dev/null
shoot "Tagwright Settings Help" help.png
drv press "Tagwright Settings Help" 1 >/dev/null
drv press "Tagwright Settings" 2 >/dev/null
e2e_wait_exit "$E2E_WORK/run" 30 >/dev/null

# Progress: a parallel printer that takes 2 KB a second keeps a 64 KB job on screen.
mkdir -p "$E2E_WORK/printer"
python3 "$E2E_DIR/virtual_printer.py" --lifetime 120 pty --rate 2048 "$E2E_WORK/printer" \
    >/dev/null 2>&1 &
E2E_PIDS+=($!)
e2e_wait_file "$E2E_WORK/printer/ready" 10 || fail "the pty printer did not start"
ln -sfn "$(cat "$E2E_WORK/printer/device")" "$WINEPREFIX/dosdevices/lpt7"
e2e_write_settings PrinterType "Parallel" Port "LPT7" BaudorIPAddress "9600" DataBits "8" \
    Parity "none" StopBits "1" Delay "0" Attempts "3"
for i in $(seq 1 300); do cat "$ROOT/samples/label.zpl"; done | head -c 65536 >"$E2E_WORK/run/label.zpl"
e2e_start_program "$E2E_WORK/run" "$(e2e_winpath "$E2E_WORK/run/label.zpl")"
drv wait "Printing Labels" 30000 >/dev/null || fail "the progress window did not appear"
sleep 6
shoot "Printing Labels" progress.png
# The job ends by itself once the slow printer has taken the label.
e2e_wait_exit "$E2E_WORK/run" 60 >/dev/null

# The settings window at 144 dpi (150 %): the templates are laid out in dialog units, so the
# window grows with its font. Wine takes the resolution from LogPixels at each program start.
timeout 60 "$WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
e2e_start_program "$E2E_WORK/run" -s -n
shoot "Tagwright Settings" settings-144dpi.png
drv press "Tagwright Settings" 2 >/dev/null
e2e_wait_exit "$E2E_WORK/run" 30 >/dev/null
