# shellcheck shell=bash
# Wine scenarios of confirmation after sending (--confirm), against the model printer of
# current firmware (virtual_printer.py --firmware current). Sourced by run_e2e.sh, whose
# helpers (begin, expect, finish, quiet_run, json_value, start_network_printer) they use.

# The program takes --confirm when a bare "--confirm" at the end of the command line is
# refused as a command line (exit 2) naming the option; a program without it takes the word
# for the input file's name instead. Probed once; CONFIRM_UNSUPPORTED says why not.
CONFIRM_PROBED=""
CONFIRM_UNSUPPORTED=""
confirm_supported() {
    if [ -z "$CONFIRM_PROBED" ]; then
        CONFIRM_PROBED=yes
        local dir="$E2E_WORK/confirm-probe" code message
        mkdir -p "$dir"
        # No settings: a program that takes the word for a file name ends without sending.
        e2e_write_settings
        e2e_start_program "$dir" -q --result "$(e2e_winpath "$dir/result.json")" --confirm
        code=$(e2e_wait_exit "$dir" 60)
        message=$(json_value "$dir/result.json" message 2>/dev/null)
        if [ "$code" != 2 ] || [[ $message != *--confirm* ]]; then
            CONFIRM_UNSUPPORTED="tagwright.exe does not take --confirm (a bare --confirm ended with exit $code, not the command line's 2)"
        fi
    fi
    [ -z "$CONFIRM_UNSUPPORTED" ]
}

# confirm_label <path> <copies>: a ZPL label printed <copies> times (^PQ).
confirm_label() {
    printf '^XA\r\n^PQ%s\r\n^FO50,50^ADN,36,20^FDCONFIRM %s^FS\r\n^XZ\r\n' "$2" "$2" >"$1"
}

printed_count() { # <printer folder>: the labels the model printer has printed
    wc -l 2>/dev/null <"$1/printed.log" || echo 0
}

# confirm_job <printer options...> -- <job options...>: a fresh model printer, the stored
# TCP/IP settings, a job in quiet mode with a result file on the label in CONFIRM_LABEL.
# Sets CONFIRM_EXIT and CONFIRM_PRINTED, the printer's count read as soon as the job ended.
confirm_job() {
    local -a printer_options=()
    while [ "$1" != -- ]; do
        printer_options+=("$1")
        shift
    done
    shift
    PRINTER="$SCENARIO_DIR/printer"
    RESULT="$SCENARIO_DIR/result.json"
    start_network_printer "$PRINTER" "${printer_options[@]}" || return 1
    e2e_write_settings "${TCP_SETTINGS[@]}"
    e2e_start_program "$SCENARIO_DIR" -q --result "$(e2e_winpath "$RESULT")" "$@" \
        "$(e2e_winpath "$CONFIRM_LABEL")"
    CONFIRM_EXIT=$(e2e_wait_exit "$SCENARIO_DIR" 90)
    CONFIRM_PRINTED=$(printed_count "$PRINTER")
}

# A 3-copy label confirmed as printed: the job ends with exit 1 only once the printer has
# printed the third copy (at one label a second), and closes its connection after that.
scenario_confirm_printed_three_copies() {
    begin confirm_printed_three_copies
    CONFIRM_LABEL="$SCENARIO_DIR/label.zpl"
    confirm_label "$CONFIRM_LABEL" 3
    confirm_job --firmware current --labels-per-second 1 -- --confirm printed ||
        { PROBLEM="virtual printer did not start"; finish; return; }
    expect "exit code" "$CONFIRM_EXIT" 1
    expect "labels printed when the job ended" "$CONFIRM_PRINTED" 3
    expect "result" "$(json_value "$RESULT" result)" printed
    expect "confirmed" "$(json_value "$RESULT" confirmed)" printed
    expect "input file" "$(exists "$CONFIRM_LABEL")" absent
    e2e_stop_printer "$PRINTER"
    local third closed
    third=$(sed -n '3s/^3 //p' "$PRINTER/printed.log")
    closed=$(awk '$1 == "close" && $2 == 1 { print $4 }' "$PRINTER/events.log")
    expect "third copy printed before the job closed" \
        "$(awk -v a="${third:-0}" -v b="${closed:-0}" 'BEGIN { print (a > 0 && b >= a) ? "yes" : "no: " a " vs " b }')" yes
    expect "status answers (polled)" "$([ "$(grep -c '^status 1' "$PRINTER/events.log")" -ge 2 ] && echo yes)" yes
    expect "labels printed in all" "$(printed_count "$PRINTER")" 3
    NOTE="$(grep -c '^status 1' "$PRINTER/events.log") status answers"
    finish
}

# The media runs out after 2 of 5 copies: the printer holds the label, so the job ends
# "held" (quiet exit 12), the file deleted, the message naming the fault.
scenario_confirm_held_media_out() {
    begin confirm_held_media_out
    CONFIRM_LABEL="$SCENARIO_DIR/label.zpl"
    confirm_label "$CONFIRM_LABEL" 5
    confirm_job --firmware current --labels-per-second 2 --fault media-out --fault-after 2 -- \
        --confirm printed || { PROBLEM="virtual printer did not start"; finish; return; }
    expect "exit code" "$CONFIRM_EXIT" 12
    expect "result" "$(json_value "$RESULT" result)" held
    expect "message names media out" "$(json_value "$RESULT" message | grep -c 'media out')" 1
    expect "input file" "$(exists "$CONFIRM_LABEL")" absent
    expect "labels printed" "$CONFIRM_PRINTED" 2
    e2e_stop_printer "$PRINTER"
    expect "error reports" "$([ "$(grep -c '^errors 1' "$PRINTER/events.log")" -ge 1 ] && echo yes)" yes
    finish
}

# A printer that reads and prints but never answers a query: "unconfirmed" (quiet exit 13),
# the file deleted, the label there once.
scenario_confirm_unconfirmed_silent() {
    begin confirm_unconfirmed_silent
    CONFIRM_LABEL="$SCENARIO_DIR/label.zpl"
    confirm_label "$CONFIRM_LABEL" 1
    confirm_job --firmware current --mute -- --confirm received --timeout 3 ||
        { PROBLEM="virtual printer did not start"; finish; return; }
    expect "exit code" "$CONFIRM_EXIT" 13
    expect "result" "$(json_value "$RESULT" result)" unconfirmed
    expect "input file" "$(exists "$CONFIRM_LABEL")" absent
    e2e_stop_printer "$PRINTER"
    expect "labels printed" "$(printed_count "$PRINTER")" 1
    finish
}

# A printer that accepts the connection and never reads: 2 KB and 100 KB labels (both fit in
# the buffers on the way) end unconfirmed or failed, never printed.
scenario_confirm_never_reads() {
    begin confirm_never_reads
    local size base="$SCENARIO_DIR" seen=""
    for size in 2000 100000; do
        SCENARIO_DIR="$base/$size"
        mkdir -p "$SCENARIO_DIR"
        CONFIRM_LABEL="$SCENARIO_DIR/label.zpl"
        python3 -c 'import sys; n = int(sys.argv[2]); head = b"^XA^FDnever read^FS^FX"
open(sys.argv[1], "wb").write(head + b"x" * (n - len(head) - 3) + b"^XZ")' "$CONFIRM_LABEL" "$size"
        confirm_job --never-read -- --confirm received --timeout 3 ||
            { PROBLEM="virtual printer did not start"; break; }
        local result
        result=$(json_value "$RESULT" result)
        expect "$size bytes: ended, not as printed" \
            "$([ "$CONFIRM_EXIT" != 1 ] && [ "$CONFIRM_EXIT" != running ] && echo yes || echo "exit $CONFIRM_EXIT")" yes
        expect "$size bytes: result" "$([[ $result == unconfirmed || $result == failed ]] && echo yes || echo "$result")" yes
        seen+="${seen:+, }$size bytes: exit $CONFIRM_EXIT $result"
        e2e_stop_printer "$PRINTER"
    done
    SCENARIO_DIR=$base
    NOTE=$seen
    finish
}

# The model printer itself, step by step without a connection (virtual_printer.py check):
# formats cut anywhere, the buffer and batch counts, media out after two of five copies,
# pause, a mute printer.
scenario_model_printer_check() {
    begin model_printer_check
    expect "self-check" "$(python3 "$E2E_DIR/virtual_printer.py" check "$SCENARIO_DIR" 2>&1 | tr '\n' ' ')" "ok "
    finish
}

# run_confirm <scenario function>: runs it when the network and --confirm are there.
run_confirm() {
    local name=${1#scenario_}
    wants "$name" || return 0
    if [ "$NETWORK" != yes ]; then
        skip_scenario "$name" "$NETWORK_REASON"
    elif ! confirm_supported; then
        skip_scenario "$name" "$CONFIRM_UNSUPPORTED"
    else
        "$1"
    fi
}
