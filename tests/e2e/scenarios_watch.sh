# shellcheck shell=bash
# Wine scenarios of a watched folder (--watch), against the virtual network printer. Sourced by
# run_e2e.sh, whose helpers (begin, expect, finish, start_network_printer, json_value, drv)
# they use. Each label names itself in its ^FD field, so that what arrived can be counted and
# ordered: one connection a label, in the printer's conn-N.bin.

# watch_label <path> <id> [padding bytes]: a ZPL label naming <id>.
watch_label() {
    printf '^XA^FO20,20^ADN,18,10^FD%s^FS^FX%s^FS^XZ\r\n' "$2" "$(head -c "${3:-0}" /dev/zero | tr '\0' x)" >"$1"
}

# watch_arrived <printer folder>: the ids the printer received, one a line, in the order of
# their connections.
watch_arrived() {
    local n=1
    while [ -f "$1/conn-$n.bin" ]; do
        sed -n 's/.*\^FD\([^^]*\)\^FS.*/\1/p' "$1/conn-$n.bin" | head -n1
        n=$((n + 1))
    done
}

watch_closed() { # <printer folder>: connections the printer has read to their end
    local count
    count=$(grep -c '^close' "$1/events.log" 2>/dev/null)
    echo "${count:-0}"
}

# watch_wait_closed <printer folder> <count> <seconds>: true once that many have ended.
watch_wait_closed() {
    local i
    for i in $(seq 1 $(($3 * 10))); do
        [ "$(watch_closed "$1")" -ge "$2" ] && return 0
        sleep 0.1
    done
    return 1
}

# watch_wait_gone <path> <seconds>: true once the file is gone.
watch_wait_gone() {
    local i
    for i in $(seq 1 $(($2 * 10))); do
        [ -e "$1" ] || return 0
        sleep 0.1
    done
    return 1
}

# watch_start <run folder> <watched folder> [options...]: a watcher, bounded in time.
watch_start() {
    local run=$1 folder=$2
    shift 2
    mkdir -p "$run" "$folder"
    E2E_PROGRAM_TIMEOUT=${WATCH_TIMEOUT:-150} e2e_start_program "$run" --watch "$(e2e_winpath "$folder")" "$@"
}

# watch_stop <watched folder>: asks its watcher to stop (quiet); prints --stop's exit code.
watch_stop() {
    local run="$SCENARIO_DIR/stop-$RANDOM"
    mkdir -p "$run"
    E2E_PROGRAM_TIMEOUT=60 e2e_start_program "$run" --watch "$(e2e_winpath "$1")" --stop -q
    e2e_wait_exit "$run" 60
}

# watch_files <folder>: the regular files directly in it, sorted, on one line.
watch_files() {
    find "$1" -maxdepth 1 -type f -printf '%f\n' 2>/dev/null | sort | tr '\n' ' ' | sed 's/ $//'
}

# The start every watch scenario shares: a fresh printer, the stored TCP/IP settings.
watch_begin() {
    begin "$1"
    PRINTER="$SCENARIO_DIR/printer"
    FOLDER="$SCENARIO_DIR/in"
    mkdir -p "$FOLDER"
    e2e_write_settings "${TCP_SETTINGS[@]}"
    start_network_printer "$PRINTER" "${@:2}"
}

# 300 files from three writers at once, while the watcher runs: each arrives once, and each
# writer's files arrive in the order it wrote them.
scenario_watch_three_writers() {
    watch_begin watch_three_writers || { PROBLEM="virtual printer did not start"; finish; return; }
    watch_start "$SCENARIO_DIR" "$FOLDER" -q
    local writer pids=()
    for writer in a b c; do
        (for i in $(seq -w 1 100); do
            watch_label "$FOLDER/$writer-$i.zpl" "$writer-$i"
            sleep 0.01
        done) &
        pids+=($!)
    done
    wait "${pids[@]}"
    watch_wait_closed "$PRINTER" 300 120
    expect "stop" "$(watch_stop "$FOLDER")" 1
    expect "exit code" "$(e2e_wait_exit "$SCENARIO_DIR" 30)" 1
    e2e_stop_printer "$PRINTER"
    local arrived
    arrived=$(watch_arrived "$PRINTER")
    expect "labels arrived" "$(grep -c . <<<"$arrived")" 300
    expect "labels arrived twice" "$(sort <<<"$arrived" | uniq -d | grep -c .)" 0
    for writer in a b c; do
        expect "writer $writer in order" "$(grep "^$writer-" <<<"$arrived" | sort -c 2>&1 && echo yes)" yes
    done
    expect "left in the folder" "$(watch_files "$FOLDER")" ""
    expect "failed" "$(watch_files "$FOLDER/failed")" ""
    expect "printing" "$(watch_files "$FOLDER/printing")" ""
    NOTE="$(watch_closed "$PRINTER") connections"
    finish
}

# A file written in pieces over 3 seconds, closed between them, is sent once and whole.
scenario_watch_slow_writer() {
    watch_begin watch_slow_writer || { PROBLEM="virtual printer did not start"; finish; return; }
    watch_start "$SCENARIO_DIR" "$FOLDER" -q
    watch_label "$SCENARIO_DIR/expected.zpl" slow 3000
    python3 - "$SCENARIO_DIR/expected.zpl" "$FOLDER/slow.zpl" <<'PY'
import sys, time
data = open(sys.argv[1], "rb").read()
pieces = 5
step = (len(data) + pieces - 1) // pieces
for at in range(0, len(data), step):
    with open(sys.argv[2], "ab") as out:
        out.write(data[at:at + step])
    time.sleep(0.75)
PY
    watch_wait_closed "$PRINTER" 1 20
    sleep 1
    expect "stop" "$(watch_stop "$FOLDER")" 1
    expect "exit code" "$(e2e_wait_exit "$SCENARIO_DIR" 30)" 1
    e2e_stop_printer "$PRINTER"
    expect "connections" "$(watch_closed "$PRINTER")" 1
    expect "sent whole" "$(same_file "$PRINTER/conn-1.bin" "$SCENARIO_DIR/expected.zpl")" same
    expect "left in the folder" "$(watch_files "$FOLDER")" ""
    finish
}

# A setting missing for one file: it goes to failed\ with its result object; the settings
# mended, the next file prints.
scenario_watch_bad_setting() {
    watch_begin watch_bad_setting || { PROBLEM="virtual printer did not start"; finish; return; }
    e2e_write_settings PrinterType "TCP/IP" Port "9100" BaudorIPAddress "$PRINTER_AT" Attempts "3"
    watch_start "$SCENARIO_DIR" "$FOLDER" -q
    watch_label "$FOLDER/bad.zpl" bad
    e2e_wait_file "$FOLDER/failed/bad.zpl.json" 20
    expect "failed file" "$(watch_files "$FOLDER/failed")" "bad.zpl bad.zpl.json"
    expect "its result" "$(json_value "$FOLDER/failed/bad.zpl.json" result 2>/dev/null)" failed
    e2e_write_settings "${TCP_SETTINGS[@]}"
    watch_label "$FOLDER/next.zpl" next
    watch_wait_closed "$PRINTER" 1 20
    expect "stop" "$(watch_stop "$FOLDER")" 1
    expect "exit code" "$(e2e_wait_exit "$SCENARIO_DIR" 30)" 1
    e2e_stop_printer "$PRINTER"
    expect "arrived" "$(watch_arrived "$PRINTER" | tr '\n' ' ')" "next "
    expect "left in the folder" "$(watch_files "$FOLDER")" ""
    NOTE="message: $(json_value "$FOLDER/failed/bad.zpl.json" message 2>/dev/null | cut -c1-60)"
    finish
}

# The printer away for 15 seconds, then back: the files wait in line and each arrives once,
# in order.
scenario_watch_printer_away() {
    begin watch_printer_away
    PRINTER="$SCENARIO_DIR/printer"
    FOLDER="$SCENARIO_DIR/in"
    mkdir -p "$FOLDER"
    e2e_write_settings "${TCP_SETTINGS[@]}"
    watch_start "$SCENARIO_DIR" "$FOLDER" -q
    local i
    for i in 1 2 3 4 5; do
        watch_label "$FOLDER/away-$i.zpl" "away-$i"
        sleep 0.05
    done
    sleep 15
    local waiting
    waiting=$(watch_files "$FOLDER/printing")
    start_network_printer "$PRINTER" || { PROBLEM="virtual printer did not start"; finish; return; }
    watch_wait_closed "$PRINTER" 5 60
    expect "stop" "$(watch_stop "$FOLDER")" 1
    expect "exit code" "$(e2e_wait_exit "$SCENARIO_DIR" 30)" 1
    e2e_stop_printer "$PRINTER"
    expect "first in line while away" "$waiting" away-1.zpl
    expect "arrived" "$(watch_arrived "$PRINTER" | tr '\n' ' ')" "away-1 away-2 away-3 away-4 away-5 "
    expect "left in the folder" "$(watch_files "$FOLDER")" ""
    expect "failed" "$(watch_files "$FOLDER/failed")" ""
    finish
}

# The watcher killed in mid-batch and started again: no label arrives twice, and every one
# that did not arrive is in failed\ with the reason.
scenario_watch_killed_mid_batch() {
    # A printer that reads 4000 bytes a second: each 2 KB label takes half a second.
    watch_begin watch_killed_mid_batch --rate 4000 || { PROBLEM="virtual printer did not start"; finish; return; }
    local i ids=()
    for i in $(seq -w 1 30); do
        watch_label "$FOLDER/k-$i.zpl" "k-$i" 2000
        ids+=("k-$i")
    done
    watch_start "$SCENARIO_DIR/first" "$FOLDER" -q
    watch_wait_closed "$PRINTER" 5 60
    # Killed while a label is on its way: the printer's last event is a connection opened.
    for i in $(seq 1 300); do
        [ "$(tail -n1 "$PRINTER/events.log" | cut -d' ' -f1)" = open ] && break
        sleep 0.02
    done
    local wine_pid
    wine_pid=$(ps -o pid= --ppid "$(cat "$SCENARIO_DIR/first/pid")" | head -n1 | tr -d ' ')
    [ -n "$wine_pid" ] && kill -KILL "$wine_pid"
    expect "first watcher killed" "$(e2e_wait_exit "$SCENARIO_DIR/first" 20 | grep -cvx '1\|running')" 1
    local in_printing
    in_printing=$(watch_files "$FOLDER/printing")
    watch_start "$SCENARIO_DIR/second" "$FOLDER" -q
    local left=30
    for i in $(seq 1 900); do
        left=$(find "$FOLDER" -maxdepth 1 -type f | wc -l)
        [ "$left" -eq 0 ] && [ -z "$(watch_files "$FOLDER/printing")" ] && break
        sleep 0.1
    done
    expect "stop" "$(watch_stop "$FOLDER")" 1
    expect "exit code" "$(e2e_wait_exit "$SCENARIO_DIR/second" 30)" 1
    e2e_stop_printer "$PRINTER"
    local arrived twice=0 missing=0 interrupted=0 id
    arrived=$(watch_arrived "$PRINTER")
    for id in "${ids[@]}"; do
        local count
        count=$(grep -cx "$id" <<<"$arrived")
        [ "$count" -gt 1 ] && twice=$((twice + 1))
        if [ -f "$FOLDER/failed/$id.zpl" ]; then
            [[ $(json_value "$FOLDER/failed/$id.zpl.json" message 2>/dev/null) == *interrupted* ]] &&
                interrupted=$((interrupted + 1))
        elif [ "$count" -eq 0 ]; then
            missing=$((missing + 1))
        fi
    done
    expect "labels arrived twice" "$twice" 0
    expect "labels neither arrived nor in failed" "$missing" 0
    expect "interrupted files in failed" "$interrupted" "$(find "$FOLDER/failed" -name '*.zpl' | wc -l)"
    expect "killed with a file in hand" "$([ -n "$in_printing" ] && echo yes)" yes
    expect "left in the folder" "$left" 0
    NOTE="$(grep -c . <<<"$arrived") arrived, $interrupted interrupted in failed ($in_printing), $missing lost, $twice twice"
    echo "  watch_killed_mid_batch: $NOTE"
    finish
}

# A second watcher of the same folder ends at once (quiet: 14); the first runs on.
scenario_watch_second_watcher() {
    watch_begin watch_second_watcher || { PROBLEM="virtual printer did not start"; finish; return; }
    watch_start "$SCENARIO_DIR/first" "$FOLDER" -q
    watch_label "$FOLDER/one.zpl" one
    watch_wait_closed "$PRINTER" 1 20
    # The same folder spelt otherwise: a trailing separator.
    E2E_PROGRAM_TIMEOUT=60 e2e_start_program "$SCENARIO_DIR" --watch "$(e2e_winpath "$FOLDER")\\" -q
    expect "second watcher" "$(e2e_wait_exit "$SCENARIO_DIR" 20)" 14
    expect "first watcher" "$(e2e_wait_exit "$SCENARIO_DIR/first" 1)" running
    watch_label "$FOLDER/two.zpl" two
    watch_wait_closed "$PRINTER" 2 20
    expect "stop" "$(watch_stop "$FOLDER")" 1
    expect "exit code" "$(e2e_wait_exit "$SCENARIO_DIR/first" 30)" 1
    e2e_stop_printer "$PRINTER"
    expect "arrived" "$(watch_arrived "$PRINTER" | tr '\n' ' ')" "one two "
    finish
}

# --stop while a slow label is being sent: that label arrives whole, the watcher ends, and the
# files behind it stay in the folder, unsent.
scenario_watch_stop_after_file_in_hand() {
    watch_begin watch_stop_after_file_in_hand --rate 2000 || { PROBLEM="virtual printer did not start"; finish; return; }
    watch_label "$SCENARIO_DIR/expected.zpl" first 6000
    cp "$SCENARIO_DIR/expected.zpl" "$FOLDER/s-1.zpl"
    sleep 0.05
    watch_label "$FOLDER/s-2.zpl" second
    sleep 0.05
    watch_label "$FOLDER/s-3.zpl" third
    watch_start "$SCENARIO_DIR" "$FOLDER" -q
    e2e_wait_file "$PRINTER/conn-1.bin" 20
    sleep 0.5
    expect "stop" "$(watch_stop "$FOLDER")" 1
    expect "exit code" "$(e2e_wait_exit "$SCENARIO_DIR" 30)" 1
    e2e_stop_printer "$PRINTER"
    expect "connections" "$(watch_closed "$PRINTER")" 1
    expect "file in hand sent whole" "$(same_file "$PRINTER/conn-1.bin" "$SCENARIO_DIR/expected.zpl")" same
    expect "left in the folder" "$(watch_files "$FOLDER")" "s-2.zpl s-3.zpl"
    expect "printing" "$(watch_files "$FOLDER/printing")" ""
    expect "no watcher left" "$(watch_stop "$FOLDER")" 15
    finish
}

# Without -q: a label with a Chinese name in a Chinese-named folder prints, and the watcher
# has its window (the notification icon's), which windows-of sees although it is hidden.
scenario_watch_cjk_name_with_icon() {
    begin watch_cjk_name_with_icon
    PRINTER="$SCENARIO_DIR/printer"
    FOLDER="$SCENARIO_DIR/$CJK_FOLDER"
    e2e_write_settings "${TCP_SETTINGS[@]}"
    start_network_printer "$PRINTER" || { PROBLEM="virtual printer did not start"; finish; return; }
    watch_start "$SCENARIO_DIR" "$FOLDER"
    watch_label "$FOLDER/$CJK_LABEL" cjk
    watch_wait_closed "$PRINTER" 1 20
    expect "its window" "$(drv windows-of tagwright.exe | grep -c 'caption=Tagwright watcher')" 1
    expect "stop" "$(watch_stop "$FOLDER")" 1
    expect "exit code" "$(e2e_wait_exit "$SCENARIO_DIR" 30)" 1
    e2e_stop_printer "$PRINTER"
    expect "arrived" "$(watch_arrived "$PRINTER" | tr '\n' ' ')" "cjk "
    expect "left in the folder" "$(watch_files "$FOLDER")" ""
    finish
}

# With -q the watcher has no window at all, hidden or message-only, neither between its
# files nor while it sends one: its windows are sampled while a slow printer takes 20 labels.
scenario_watch_quiet_no_window() {
    watch_begin watch_quiet_no_window --rate 8000 || { PROBLEM="virtual printer did not start"; finish; return; }
    local i samples=0
    for i in $(seq -w 1 20); do
        watch_label "$FOLDER/q-$i.zpl" "q-$i" 2000
    done
    watch_start "$SCENARIO_DIR" "$FOLDER" -q
    e2e_wait_file "$PRINTER/conn-1.bin" 20
    while [ "$(watch_closed "$PRINTER")" -lt 20 ] && [ "$samples" -lt 40 ]; do
        drv windows-of tagwright.exe >>"$SCENARIO_DIR/windows.txt"
        samples=$((samples + 1))
    done
    expect "running" "$(e2e_wait_exit "$SCENARIO_DIR" 1)" running
    expect "its windows in $samples samples" "$(sed 's/^[^ ]* //' "$SCENARIO_DIR/windows.txt" | sort -u | tr '\n' ';')" ""
    watch_wait_closed "$PRINTER" 20 30
    expect "stop" "$(watch_stop "$FOLDER")" 1
    expect "exit code" "$(e2e_wait_exit "$SCENARIO_DIR" 30)" 1
    e2e_stop_printer "$PRINTER"
    expect "arrived" "$(watch_arrived "$PRINTER" | grep -c .)" 20
    NOTE="$samples samples"
    finish
}

run_watch() {
    local name=${1#scenario_}
    wants "$name" || return 0
    if [ "$NETWORK" != yes ]; then
        skip_scenario "$name" "$NETWORK_REASON"
    else
        "$1"
    fi
}
