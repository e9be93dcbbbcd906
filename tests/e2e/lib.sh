# Shared set-up for the scripts that run tagwright.exe under Wine: finding Wine, a private
# X server, a private Wine prefix, a network namespace for the virtual printer, and the
# clean-up of everything these started. Sourced by run_e2e.sh, run_main_job.sh and
# screenshots.sh; each caller sets E2E_WORK (a private scratch folder) first.

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_ROOT=$(cd "$E2E_DIR/../.." && pwd)
E2E_PIDS=()
E2E_NETNS=""
E2E_HOST_IF=""
XVFB_PID=""
SETTINGS_KEY='Software\Velmora Software\Tagwright\1.0'

# Wine's 64-bit loader. Plain "wine" needs the 32-bit loader, which some machines (and
# some kernels) cannot run, so the 64-bit one is preferred.
e2e_find_wine() {
    local candidate
    for candidate in "${WINE:-}" wine64 /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 wine; do
        [ -n "$candidate" ] || continue
        if command -v "$candidate" >/dev/null 2>&1 &&
            WINEDEBUG=-all timeout 20 "$candidate" --version >/dev/null 2>&1; then
            WINE=$(command -v "$candidate")
            break
        fi
        WINE=""
    done
    [ -n "${WINE:-}" ] || return 1
    WINESERVER_BIN=""
    for candidate in "$(dirname "$WINE")/wineserver64" "$(dirname "$WINE")/wineserver" \
        /usr/lib/wine/wineserver64 wineserver64 wineserver; do
        if command -v "$candidate" >/dev/null 2>&1; then
            WINESERVER_BIN=$(command -v "$candidate")
            break
        fi
    done
    export WINE WINELOADER="$WINE"
    [ -n "$WINESERVER_BIN" ] && export WINESERVER="$WINESERVER_BIN"
    return 0
}

# A test script that cannot run here ends with exit code 77, which CTest counts as skipped.
e2e_skip() {
    echo "skip: $*"
    exit 77
}

# What every Wine test script needs before it starts: Wine, Xvfb, python3 and the programs
# E2E_EXE and E2E_DRIVER; skips when any is missing.
e2e_require_programs() {
    e2e_find_wine || e2e_skip "Wine (wine64) is not installed or cannot run here"
    command -v Xvfb >/dev/null 2>&1 || e2e_skip "Xvfb is not installed"
    command -v python3 >/dev/null 2>&1 || e2e_skip "python3 is not installed"
    [ -f "$E2E_EXE" ] ||
        e2e_skip "$E2E_EXE not built (cmake --preset win64 && cmake --build --preset win64)"
    [ -f "$E2E_DRIVER" ] || e2e_skip "$E2E_DRIVER not built"
}

# A private X server; sets DISPLAY. Xvfb picks a free display number itself.
e2e_start_xvfb() {
    local fifo="$E2E_WORK/xvfb.display"
    rm -f "$fifo"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$fifo" >"$E2E_WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local i
    for i in $(seq 1 100); do
        if [ -s "$fifo" ]; then
            DISPLAY=":$(head -n1 "$fifo" | tr -d '[:space:]')"
            export DISPLAY
            return 0
        fi
        kill -0 "$XVFB_PID" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# A private Wine prefix, booted once; its wineserver stays up until e2e_cleanup.
e2e_init_prefix() {
    export WINEPREFIX="$E2E_WORK/prefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    export WINEARCH=win64
    mkdir -p "$WINEPREFIX"
    # A persistent server first: otherwise it ends seconds after each program and every
    # start pays for a new server and its services.
    [ -n "${WINESERVER_BIN:-}" ] && "$WINESERVER_BIN" -p 900 >/dev/null 2>&1
    # wineboot reports failure when the 32-bit half cannot start; the 64-bit prefix is fine.
    timeout 240 "$WINE" wineboot -i >"$E2E_WORK/wineboot.log" 2>&1
    [ -e "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] || return 1
    e2e_add_marlett
    return 0
}

# Wine draws the caption buttons (close, minimise) as glyphs of the Marlett font, and shows
# plain letters ("r", "0") where the prefix lacks it. Debian's Wine leaves the prefix's font
# folder empty and ships its own fonts apart (package fonts-wine), so the font is copied in
# from there (one small file). Nothing fails without it: only the pictures need it.
e2e_add_marlett() {
    local fonts="$WINEPREFIX/drive_c/windows/Fonts" bin folder
    [ -f "$fonts/marlett.ttf" ] && return 0
    bin=$(dirname "$(readlink -f "$WINE")")
    for folder in "$bin/../share/wine/fonts" "$bin/../../share/wine/fonts" /usr/share/wine/fonts; do
        if [ -f "$folder/marlett.ttf" ]; then
            mkdir -p "$fonts" && cp "$folder/marlett.ttf" "$fonts/"
            return
        fi
    done
    return 1
}

# Lets Wine place its windows itself instead of leaving them to a window manager. Xvfb runs
# none, and Wine then waits up to 2 s for one each time a window is hidden (every progress
# window that closes), which dominates a run of many short jobs. For scripts that drive no
# window by keyboard; run after e2e_init_prefix.
e2e_unmanaged_windows() {
    timeout 60 "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
}

# A path as the Windows program sees it (Wine maps the Unix root to drive Z:).
e2e_winpath() {
    printf 'Z:%s' "$1" | tr '/' '\\'
}

# windriver under Wine, bounded in time; carriage returns removed from its output.
drv() {
    timeout 60 "$WINE" "$E2E_DRIVER" "$@" 2>/dev/null | tr -d '\r'
}

# Writes the printer settings: drv_settings Name Value [Name Value ...]. The key is
# deleted first, so that only the values given exist.
e2e_write_settings() {
    drv reg-delete "$SETTINGS_KEY" >/dev/null
    while [ $# -ge 2 ]; do
        drv reg-set "$SETTINGS_KEY" "$1" "$2" >/dev/null
        shift 2
    done
}

# Starts tagwright.exe in the background in folder $1 with the remaining arguments; the
# exit code lands in $1/exit once it ends (124 when the time bound killed it).
e2e_start_program() {
    local folder=$1
    shift
    rm -f "$folder/exit" "$folder/pid"
    (
        cd "$folder" || exit 1
        timeout -k 5 "${E2E_PROGRAM_TIMEOUT:-90}" "$WINE" "$E2E_EXE" "$@" >/dev/null 2>&1 &
        echo $! >"$folder/pid"
        # Quietly: a program a test kills on purpose is no news on the test's output.
        wait $! 2>/dev/null
        echo $? >"$folder/exit.tmp"
        mv "$folder/exit.tmp" "$folder/exit"
    ) &
    e2e_wait_file "$folder/pid" 5
    # timeout passes a TERM on to the program, so this id is the one to end it by.
    E2E_PIDS+=("$(cat "$folder/pid")")
}

# Waits up to $2 seconds for the program started in $1 to end; prints its exit code or
# "running".
e2e_wait_exit() {
    local folder=$1 limit=$2 i
    for i in $(seq 1 $((limit * 10))); do
        if [ -f "$folder/exit" ]; then
            cat "$folder/exit"
            return 0
        fi
        sleep 0.1
    done
    echo running
}

# Waits up to $2 seconds for file $1 to exist.
e2e_wait_file() {
    local i
    for i in $(seq 1 $(($2 * 10))); do
        [ -e "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

# A network namespace holding the printer's end of a veth pair: host 10.231.N.1/24, printer
# 10.231.N.2/24, with N (E2E_SUBNET) chosen among the subnets no interface of this machine
# uses, so that runs at the same time never share a route. Fails without CAP_NET_ADMIN.
e2e_netns_up() {
    E2E_NETNS="tagwright-e2e-$$"
    E2E_HOST_IF="twh$$"
    local printer_if="twp$$"
    command -v ip >/dev/null 2>&1 || return 1
    E2E_SUBNET=""
    local try candidate
    for try in $(seq 0 99); do
        candidate=$(((($$ + try) % 200) + 20))
        if ! ip -o -4 addr show 2>/dev/null | grep -q " 10\.231\.$candidate\."; then
            E2E_SUBNET=$candidate
            break
        fi
    done
    [ -n "$E2E_SUBNET" ] || return 1
    ip netns add "$E2E_NETNS" 2>/dev/null || { E2E_NETNS=""; return 1; }
    if ! { ip link add "$E2E_HOST_IF" type veth peer name "$printer_if" &&
        ip link set "$printer_if" netns "$E2E_NETNS" &&
        ip addr add "10.231.$E2E_SUBNET.1/24" dev "$E2E_HOST_IF" &&
        ip link set "$E2E_HOST_IF" up &&
        ip netns exec "$E2E_NETNS" ip addr add "10.231.$E2E_SUBNET.2/24" dev "$printer_if" &&
        ip netns exec "$E2E_NETNS" ip link set "$printer_if" up &&
        ip netns exec "$E2E_NETNS" ip link set lo up; } 2>/dev/null; then
        e2e_netns_down
        return 1
    fi
    E2E_PRINTER_ADDRESS="10.231.$E2E_SUBNET.2"
    return 0
}

e2e_netns_down() {
    if [ -n "$E2E_NETNS" ]; then
        ip netns del "$E2E_NETNS" 2>/dev/null
        E2E_NETNS=""
    fi
    if [ -n "$E2E_HOST_IF" ]; then
        ip link del "$E2E_HOST_IF" 2>/dev/null
        E2E_HOST_IF=""
    fi
}

# Starts a virtual TCP printer at the namespace's printer address, port $1, recording into
# folder $2; further arguments are the printer's options (--greeting, --rate, --end).
e2e_start_tcp_printer() {
    local port=$1 folder=$2
    shift 2
    mkdir -p "$folder"
    rm -f "$folder/ready" "$folder/stop" "$folder/stopped"
    ip netns exec "$E2E_NETNS" python3 "$E2E_DIR/virtual_printer.py" --lifetime 900 \
        tcp "$E2E_PRINTER_ADDRESS" "$port" "$folder" "$@" >"$folder/printer.log" 2>&1 &
    E2E_PIDS+=($!)
    e2e_wait_file "$folder/ready" 30
}

# Starts a virtual pty printer recording into folder $1; its device path is in $1/device.
# Further arguments are the printer's options (--rate, --firmware current, ...).
e2e_start_pty_printer() {
    local folder=$1
    shift
    mkdir -p "$folder"
    rm -f "$folder/ready" "$folder/stop"
    python3 "$E2E_DIR/virtual_printer.py" --lifetime 900 pty "$folder" "$@" \
        >"$folder/printer.log" 2>&1 &
    E2E_PIDS+=($!)
    e2e_wait_file "$folder/ready" 30
}

# Asks a virtual printer to stop and gives it a moment to finish its files.
e2e_stop_printer() {
    touch "$1/stop"
    sleep 0.5
}

e2e_cleanup() {
    local pid
    for pid in "${E2E_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
    done
    if [ -n "${WINEPREFIX:-}" ] && [ -n "${WINESERVER_BIN:-}" ] && [ -d "${WINEPREFIX}" ]; then
        "$WINESERVER_BIN" -k >/dev/null 2>&1
        timeout 20 "$WINESERVER_BIN" -w >/dev/null 2>&1
    fi
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    e2e_netns_down
    for pid in "${E2E_PIDS[@]}" $XVFB_PID; do
        wait "$pid" 2>/dev/null
    done
}

# A private CUPS server for the driver scenarios: its own configuration, spool and socket
# under folder $1, never the machine's own. Sets CUPS_SERVER (libcups, and so Wine's
# spooler, follow it) and CUPSD_PID. Its jobs stay in the spool: PreserveJobFiles.
# With $2 = capture, the server also has a "capture" backend: a queue with the device URI
# capture:<path> writes each job's data, exactly as the queue passes it on, to <path>. (The
# file: device cannot serve a queue without a driver: CUPS writes nothing through it when
# no filter runs.)
e2e_start_cups() {
    local folder=$1
    command -v cupsd >/dev/null 2>&1 && command -v lpadmin >/dev/null 2>&1 || return 1
    mkdir -p "$folder"/{etc/ppd,spool/tmp,cache,state/certs,log}
    local server_bin=""
    if [ "${2:-}" = capture ]; then
        server_bin="ServerBin $folder/bin"
        e2e_cups_capture_bin "$folder/bin" || return 1
    fi
    chmod 0755 "$folder" "$folder/spool"
    chmod 1777 "$folder/spool/tmp"
    local socket="$folder/cups.sock"
    cat >"$folder/etc/cupsd.conf" <<CONF
Listen $socket
LogLevel warn
Browsing No
WebInterface No
DefaultAuthType None
PreserveJobFiles Yes
PreserveJobHistory Yes
<Location />
  Order allow,deny
  Allow all
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
    cat >"$folder/etc/cups-files.conf" <<CONF
ServerRoot $folder/etc
RequestRoot $folder/spool
TempDir $folder/spool/tmp
CacheDir $folder/cache
StateDir $folder/state
ErrorLog $folder/log/error_log
AccessLog $folder/log/access_log
PageLog $folder/log/page_log
FileDevice Yes
Printcap $folder/printcap
$server_bin
CONF
    cupsd -f -c "$folder/etc/cupsd.conf" -s "$folder/etc/cups-files.conf" \
        >"$folder/log/cupsd.out" 2>&1 &
    CUPSD_PID=$!
    E2E_PIDS+=("$CUPSD_PID")
    e2e_wait_file "$socket" 15 || return 1
    export CUPS_SERVER="$socket"
    return 0
}

# The machine's CUPS programs, plus the capture backend, in folder $1. The backend is
# private to its owner (0700), so a root cupsd runs it as root and it may write anywhere.
e2e_cups_capture_bin() {
    local bin=$1 part
    local system_bin=/usr/lib/cups
    [ -d "$system_bin/daemon" ] || return 1
    mkdir -p "$bin/backend"
    for part in "$system_bin"/*; do
        [ "$(basename "$part")" = backend ] || ln -sfn "$part" "$bin/$(basename "$part")"
    done
    cat >"$bin/backend/capture" <<'BACKEND'
#!/bin/sh
# CUPS backend: no arguments lists the device; otherwise the job's data (file $6, or
# standard input) goes to the file named by the device URI capture:<path>, unchanged.
if [ $# -eq 0 ]; then
    echo 'direct capture "Unknown" "Capture to a file"'
    exit 0
fi
out=${DEVICE_URI#capture:}
if [ -n "$6" ]; then
    cat "$6" >"$out" || exit 1
else
    cat >"$out" || exit 1
fi
exit 0
BACKEND
    chmod 0700 "$bin/backend/capture"
}

e2e_stop_cups() {
    if [ -n "${CUPSD_PID:-}" ]; then
        kill "$CUPSD_PID" 2>/dev/null
        wait "$CUPSD_PID" 2>/dev/null
        CUPSD_PID=""
    fi
}
