#!/usr/bin/env bash
# Soak: many network jobs of the real tagwright.exe under Wine against the virtual TCP
# printer, in a private prefix and a network namespace of its own (see lib.sh).
#   network_100_in_a_row    100 jobs one after the other, each a different label
#   network_4x25_together   4 instances started together, 25 jobs each, one after the other
#   network_killed_holder   an instance killed while it holds "ipMutex": the waiting one and
#                           the next one proceed, the killed one's input file stays
# Every connection must carry exactly one whole label, no two live connections may overlap, every
# label must arrive once, every job that ended as printed (exit 1) must have its label among
# those that arrived, and every delivered input file must be gone. The printer is the model of
# current firmware; asked to stop, it still takes and reads every connection queued for it,
# so that a label it was handed cannot vanish unseen. Each job's exit code and duration are
# recorded, and a job that did not end as done is reported with them.
#
# Builds nothing: uses build/win64/tagwright.exe and windriver.exe (TAGWRIGHT_WIN64_DIR
# overrides the folder). Exits 77 with "skip: <reason>" when Wine, Xvfb, the programs or the
# network namespace are missing; otherwise prints one line per scenario and "N passed,
# N failed", and exits 1 when any scenario failed. TAGWRIGHT_SOAK_ONLY=<regex> runs the
# matching scenarios only; TAGWRIGHT_SOAK_ROW and TAGWRIGHT_SOAK_EACH change the job counts,
# TAGWRIGHT_SOAK_DELAY the Delay of the instances that run together (20 ms).
set -u
# EPOCHREALTIME with a decimal point, as the printer writes its times, whatever the locale.
export LC_NUMERIC=C

source "$(cd "$(dirname "$0")" && pwd)/lib.sh"

E2E_WIN64_DIR=${TAGWRIGHT_WIN64_DIR:-$E2E_ROOT/build/win64}
E2E_EXE="$E2E_WIN64_DIR/tagwright.exe"
E2E_DRIVER="$E2E_WIN64_DIR/windriver.exe"
ONLY=${TAGWRIGHT_SOAK_ONLY:-.}
ROW_JOBS=${TAGWRIGHT_SOAK_ROW:-100}
INSTANCES=4
EACH_JOBS=${TAGWRIGHT_SOAK_EACH:-25}
TOGETHER_DELAY=${TAGWRIGHT_SOAK_DELAY:-20}
# Bounds. A job that fails shows a message box and waits for it: after JOB_PATIENCE seconds
# the box is read and dismissed (the job then ends, its failure recorded); a job still
# running at JOB_BOUND hangs, and ends its scenario. SCENARIO_BOUND bounds each scenario.
JOB_PATIENCE=15
JOB_BOUND=30
SCENARIO_BOUND=600
export E2E_PROGRAM_TIMEOUT=90

e2e_require_programs

SOAK_START=$EPOCHREALTIME
E2E_WORK=$(mktemp -d /tmp/tagwright-soak.XXXXXX)
trap 'e2e_cleanup; [ -n "${TAGWRIGHT_E2E_KEEP:-}" ] || rm -rf "$E2E_WORK"' EXIT
trap 'exit 130' INT TERM

e2e_netns_up || e2e_skip "no network namespace for the printer (needs the ip tool and CAP_NET_ADMIN)"
e2e_start_xvfb || e2e_skip "Xvfb did not start (see $E2E_WORK/xvfb.log)"
e2e_init_prefix || e2e_skip "wineboot failed (see $E2E_WORK/wineboot.log)"
e2e_unmanaged_windows
export CUPS_SERVER="$E2E_WORK/no-cups.sock"
# The first window program in a fresh prefix also starts Wine's desktop process, which takes
# seconds: paid here, as set-up, rather than by the first scenario.
drv list >/dev/null

PASSED=0
FAILED=0
CURRENT=""
PROBLEM=""
NOTE=""
FIRST_PID=0
SCENARIO_START=""

# Times are EPOCHREALTIME values (seconds with six decimals); as integers, microseconds.
micros_since() { # <EPOCHREALTIME value>
    local now=$EPOCHREALTIME then=$1
    echo $((10#${now/./} - 10#${then/./}))
}

seconds_since() { # <EPOCHREALTIME value>: seconds elapsed, one decimal
    local us
    us=$(micros_since "$1")
    printf '%d.%d' $((us / 1000000)) $((us % 1000000 / 100000))
}
SETUP_SECONDS=$(seconds_since "$SOAK_START")

begin() {
    CURRENT=$1
    PROBLEM=""
    NOTE=""
    SCENARIO_DIR="$E2E_WORK/scenarios/$1"
    mkdir -p "$SCENARIO_DIR"
    FIRST_PID=${#E2E_PIDS[@]}
    SCENARIO_START=$EPOCHREALTIME
}

# expect <what> <got> <expected>: the first mismatch of a scenario is its failure.
expect() {
    if [ "$2" != "$3" ] && [ -z "$PROBLEM" ]; then
        PROBLEM="$1: got '$2' expected '$3'"
    fi
}

problem() {
    [ -z "$PROBLEM" ] && PROBLEM=$1
}

finish() {
    if [ -z "$PROBLEM" ]; then
        PASSED=$((PASSED + 1))
        echo "PASS $CURRENT${NOTE:+ ($NOTE)}"
    else
        FAILED=$((FAILED + 1))
        echo "FAIL $CURRENT: $PROBLEM${NOTE:+ ($NOTE)}"
    fi
    # Whatever the scenario started and is still running (programs, its printer) ends here.
    local pid
    for pid in "${E2E_PIDS[@]:$FIRST_PID}"; do
        kill "$pid" 2>/dev/null
    done
}

wants() {
    [[ $1 =~ $ONLY ]]
}

past_bound() {
    [ "$(micros_since "$SCENARIO_START")" -gt $((SCENARIO_BOUND * 1000000)) ]
}

# wait_until <seconds> <command...>: polls the command every 0.1 s until it succeeds.
wait_until() {
    local limit=$1 i
    shift
    for i in $(seq 1 $((limit * 10))); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

size_of() { stat -c %s "$1" 2>/dev/null || echo none; }
exists() { [ -e "$1" ] && echo present || echo absent; }

state_of() { # <program folder>: its exit code, or "running"
    if [ -f "$1/exit" ]; then cat "$1/exit"; else echo running; fi
}

same_file() { # <a> <b>: "same" or a short difference
    if cmp -s "$1" "$2"; then
        echo same
    else
        echo "differs ($(size_of "$1") vs $(size_of "$2") bytes)"
    fi
}

# Dismisses the message box a failed job is showing, if there is one, so that the job ends;
# its text goes to the scenario's "messages" file.
dismiss_message() {
    drv msgbox-ok @msgbox 5000 | sed -n 's/^text: //p' | head -n1 >>"$SCENARIO_DIR/messages"
}

# await_job <program folder>: the job's exit code, or "running" when it did not end in time.
await_job() {
    local code
    code=$(e2e_wait_exit "$1" "$JOB_PATIENCE")
    if [ "$code" = running ]; then
        dismiss_message
        code=$(e2e_wait_exit "$1" $((JOB_BOUND - JOB_PATIENCE)))
    fi
    echo "$code"
}

# record_job <labels folder> <label number> <started>: the job's "label exit start end" line
# in the scenario's job-records file (exit "running" when it had not ended).
record_job() {
    printf '%03d %s %s %s\n' "$2" "$(state_of "$(job_path "$1" "$2")")" "$3" "$EPOCHREALTIME" \
        >>"$SCENARIO_DIR/job-records"
}

# failed_jobs <jobs run>: the jobs of job-records that did not end as done are the
# scenario's failure, each with its exit code and duration, with the first message shown;
# each must have kept its input file.
failed_jobs() {
    local run=$1 label code start end kept=0 count=0 said=""
    while read -r label code start end; do
        [ "$code" = 1 ] && continue
        count=$((count + 1))
        [ -f "$(job_path "$SCENARIO_DIR" "$((10#$label))")/label.zpl" ] && kept=$((kept + 1))
        [ "$count" -le 5 ] && said+="${said:+, }$label exit $code after $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s"
    done <"$SCENARIO_DIR/job-records"
    [ "$count" -gt 0 ] || return 0
    [ "$count" -gt 5 ] && said+=", ..."
    problem "$count of $run jobs failed ($said; $kept of them kept their input file), first message: $(grep -m1 . "$SCENARIO_DIR/messages" 2>/dev/null || echo none)"
}

start_printer() { # <folder>
    e2e_start_tcp_printer 9100 "$1" --firmware current --labels-per-second 200
}

all_closed() { # <printer folder>: every connection the printer accepted has ended
    [ "$(grep -c '^open' "$1/events.log" 2>/dev/null)" = "$(grep -c '^close' "$1/events.log" 2>/dev/null)" ]
}

stopped() { [ -f "$1/stopped" ]; }
printed_count() { wc -l 2>/dev/null <"$1/printed.log" || echo 0; }

stop_printer() { # <folder>: once it has read every connection it was handed
    wait_until 5 all_closed "$1"
    touch "$1/stop"
    wait_until 15 stopped "$1" || problem "the printer did not stop within 15 s"
}

use_settings() { # <delay>
    e2e_write_settings PrinterType "TCP/IP" Port "9100" BaudorIPAddress "$E2E_PRINTER_ADDRESS" \
        Delay "$1" Attempts "3"
}

# make_labels <folder> <tag> <count> [size]: ZPL labels 001..count in <folder>/expected, each
# with its own serial number and of the size given or else a size from a cycle that crosses
# the 512-byte chunk boundaries, and a copy of each as the job's input in
# <folder>/jobs/NNN/label.zpl.
make_labels() {
    python3 - "$@" <<'PY'
import os, sys
folder, tag, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
sizes = [int(sys.argv[4])] if len(sys.argv) > 4 else [61, 511, 512, 513, 1024, 1025, 1700, 2600, 4099, 300, 777]
for n in range(1, count + 1):
    newline = "\r\n" if n % 2 else "\n"
    head = newline.join(["^XA", f"^FX soak {tag} label {n}",
                         f"^FO50,50^ADN,36,20^FDSERIAL {tag}-{n:04d}^FS",
                         f"^FO50,120^BCN,80,Y,N,N^FD{n:08d}^FS", ""])
    tail = "^XZ" + newline
    size = max(sizes[n % len(sizes)], len(head) + len(tail))
    filler = (f"^FX {tag}-{n:04d} " * ((size // 10) + 1))[: size - len(head) - len(tail)]
    data = (head + filler + tail).encode("ascii")
    os.makedirs(os.path.join(folder, "expected"), exist_ok=True)
    job = os.path.join(folder, "jobs", f"{n:03d}")
    os.makedirs(job, exist_ok=True)
    for path in (os.path.join(folder, "expected", f"{n:03d}.zpl"), os.path.join(job, "label.zpl")):
        with open(path, "wb") as out:
            out.write(data)
PY
}

# check_delivery <printer folder> <labels folder> <job records>: every connection the printer
# logged carries exactly one whole label, each label arrived once, no connection was accepted
# while another's sender was still connected, and every job that ended with exit 1 (the job
# records: "label exit start end" per line) has its label among those that arrived. Prints "ok"
# or the problems found, then a line of figures: among them the labels that arrived against
# the jobs that ended with exit 1, and the connections during which another job's process
# was running.
check_delivery() {
    python3 - "$@" <<'PY'
import glob, hashlib, os, sys
printer, labels = sys.argv[1], sys.argv[2]
jobs_path = sys.argv[3]
problems = []
by_digest = {}
for path in sorted(glob.glob(os.path.join(labels, "expected", "*"))):
    name = os.path.basename(path).split(".")[0]
    digest = hashlib.sha256(open(path, "rb").read()).hexdigest()
    if digest in by_digest:
        problems.append(f"labels {by_digest[digest]} and {name} are identical")
    by_digest[digest] = name
events = []
try:
    with open(os.path.join(printer, "events.log")) as log:
        events = [line.split() for line in log if line.strip()]
except OSError:
    problems.append("the printer logged nothing")
# Connections are numbered in accept order; the printer logs an overlap when one was accepted
# while another's sender was still connected.
opened, closed, logged_bytes = {}, {}, {}
drained = 0  # connections still queued when the printer was asked to stop
for event in events:
    kind, number = event[0], int(event[1])
    if kind == "open":
        if number != len(opened) + 1:
            problems.append(f"connection {number} opened where {len(opened) + 1} was due")
        opened[number] = float(event[2])
    elif kind == "close":
        if number not in opened or number in closed:
            problems.append(f"connection {number} closed out of turn")
        closed[number] = float(event[3])
        logged_bytes[number] = int(event[2])
    elif kind == "drained":
        drained += 1
    elif kind == "overlap":
        problems.append(f"connection {number} opened while connection {event[2]} was still sending")
arrived = {}
total = 0
for number in sorted(opened):
    path = os.path.join(printer, f"conn-{number}.bin")
    data = open(path, "rb").read() if os.path.exists(path) else b""
    total += len(data)
    if number not in closed:
        problems.append(f"connection {number} never closed")
    elif logged_bytes[number] != len(data):
        problems.append(f"connection {number}: {logged_bytes[number]} bytes logged, {len(data)} recorded")
    name = by_digest.get(hashlib.sha256(data).hexdigest())
    if name is None:
        problems.append(f"connection {number} ({len(data)} bytes) is not one whole label")
    elif name in arrived:
        problems.append(f"label {name} arrived twice (connections {arrived[name]} and {number})")
    else:
        arrived[name] = number
missing = sorted(set(by_digest.values()) - set(arrived))
if missing:
    problems.append(f"{len(missing)} labels never arrived (first {missing[0]})")
jobs = {}
with open(jobs_path) as lines:
    for line in lines:
        name, code, start, end = line.split()
        jobs[name] = (code, float(start), float(end))
done = sorted(name for name, (code, _, _) in jobs.items() if code == "1")
lost = [name for name in done if name not in arrived]
if lost:
    # The worst news goes first: a label lost after its job said it was printed.
    problems.insert(0, f"{len(lost)} jobs ended as printed but their labels never arrived (first {lost[0]})")
shared = 0
for name, number in arrived.items():
    if number in closed and any(other != name and start < closed[number] and end > opened[number]
                                for other, (_, start, end) in jobs.items()):
        shared += 1
figures = [f"connections={len(opened)}", f"bytes={total}", f"arrived={len(arrived)}",
           f"printed={len(done)}", f"shared={shared}", f"drained={drained}"]
print("ok" if not problems else "; ".join(problems[:3]) + (f" (+{len(problems) - 3} more)" if len(problems) > 3 else ""))
print(" ".join(figures))
PY
}

# Reads check_delivery's output into PROBLEM and the figures into DELIVERY_<name> variables.
take_delivery() { # <printer folder> <labels folder> <job records>
    local verdict figures pair
    { read -r verdict; read -r figures; } < <(check_delivery "$@")
    [ "$verdict" = ok ] || problem "delivery: ${verdict:-no verdict}"
    DELIVERY_connections=0 DELIVERY_bytes=0 DELIVERY_shared=0 DELIVERY_arrived=0 DELIVERY_printed=0 DELIVERY_drained=0
    for pair in $figures; do
        printf -v "DELIVERY_${pair%%=*}" '%s' "${pair#*=}"
    done
}

inputs_left() { # <labels folder>: how many job input files are still there
    find "$1/jobs" -name label.zpl | wc -l
}

job_path() { # <labels folder> <label number>
    printf '%s/jobs/%03d' "$1" "$2"
}

# ---------------------------------------------------------------- scenarios

scenario_network_100_in_a_row() {
    begin network_100_in_a_row
    local printer="$SCENARIO_DIR/printer"
    start_printer "$printer" || { problem "virtual printer did not start"; finish; return; }
    use_settings 0
    make_labels "$SCENARIO_DIR" row "$ROW_JOBS"
    local n folder code run=0 started
    : >"$SCENARIO_DIR/job-records"
    for n in $(seq 1 "$ROW_JOBS"); do
        folder=$(job_path "$SCENARIO_DIR" "$n")
        started=$EPOCHREALTIME
        e2e_start_program "$folder" "$(e2e_winpath "$folder/label.zpl")"
        code=$(await_job "$folder")
        record_job "$SCENARIO_DIR" "$n" "$started"
        run=$n
        if [ "$code" = running ]; then
            problem "job $n did not end within $JOB_BOUND s"
            break
        fi
        if past_bound; then
            problem "still running after $SCENARIO_BOUND s, at job $n"
            break
        fi
    done
    local elapsed
    elapsed=$(seconds_since "$SCENARIO_START")
    stop_printer "$printer"
    failed_jobs "$run"
    take_delivery "$printer" "$SCENARIO_DIR" "$SCENARIO_DIR/job-records"
    expect "input files left" "$(inputs_left "$SCENARIO_DIR")" 0
    NOTE="$run jobs, $DELIVERY_printed ended as printed, $DELIVERY_arrived labels arrived, $DELIVERY_connections connections ($DELIVERY_drained taken after the stop), $DELIVERY_bytes bytes, $(printed_count "$printer") labels printed, $elapsed s"
    finish
}

scenario_network_4x25_together() {
    begin network_4x25_together
    local printer="$SCENARIO_DIR/printer"
    start_printer "$printer" || { problem "virtual printer did not start"; finish; return; }
    # A short pause per chunk keeps each job holding the mutex for a while, so that the
    # other instances really wait for it rather than finding it free.
    use_settings "$TOGETHER_DELAY"
    make_labels "$SCENARIO_DIR" together $((INSTANCES * EACH_JOBS))
    local jobs="$SCENARIO_DIR/job-records"
    : >"$jobs"
    # Instance i runs labels (i-1)*EACH+1 .. i*EACH, one after the other; current[i] is the
    # label it is sending (0 once it is through), asked[i] whether its job's message box was
    # looked for.
    local -a current=() started=() asked=()
    local i n folder code age finished=0
    start_job() { # <instance> <label number>
        folder=$(job_path "$SCENARIO_DIR" "$2")
        current[$1]=$2
        started[$1]=$EPOCHREALTIME
        asked[$1]=0
        e2e_start_program "$folder" "$(e2e_winpath "$folder/label.zpl")"
    }
    for i in $(seq 1 "$INSTANCES"); do
        start_job "$i" $(((i - 1) * EACH_JOBS + 1))
    done
    while [ "$finished" -lt "$INSTANCES" ] && [ -z "$PROBLEM" ]; do
        for i in $(seq 1 "$INSTANCES"); do
            n=${current[$i]}
            [ "$n" = 0 ] && continue
            folder=$(job_path "$SCENARIO_DIR" "$n")
            age=$(micros_since "${started[$i]}")
            if [ -f "$folder/exit" ]; then
                record_job "$SCENARIO_DIR" "$n" "${started[$i]}"
                if [ "$n" -lt $((i * EACH_JOBS)) ]; then
                    start_job "$i" $((n + 1))
                else
                    current[i]=0
                    finished=$((finished + 1))
                fi
            elif [ "$age" -ge $((JOB_BOUND * 1000000)) ]; then
                problem "job $n (instance $i) did not end within $JOB_BOUND s"
            elif [ "$age" -ge $((JOB_PATIENCE * 1000000)) ] && [ "${asked[$i]}" = 0 ]; then
                asked[i]=1
                dismiss_message
            fi
        done
        if past_bound; then
            problem "still running after $SCENARIO_BOUND s"
        fi
        sleep 0.05
    done
    local elapsed
    elapsed=$(seconds_since "$SCENARIO_START")
    stop_printer "$printer"
    failed_jobs "$(wc -l <"$jobs")"
    take_delivery "$printer" "$SCENARIO_DIR" "$jobs"
    expect "input files left" "$(inputs_left "$SCENARIO_DIR")" 0
    NOTE="$(wc -l <"$jobs") jobs from $INSTANCES instances, $DELIVERY_printed ended as printed, $DELIVERY_arrived labels arrived, $DELIVERY_connections connections ($DELIVERY_drained taken after the stop), $DELIVERY_bytes bytes, $(printed_count "$printer") labels printed, $elapsed s, $DELIVERY_shared connections made while another instance's job was running"
    finish
}

scenario_network_killed_holder() {
    begin network_killed_holder
    local printer="$SCENARIO_DIR/printer"
    start_printer "$printer" || { problem "virtual printer did not start"; finish; return; }
    # Labels 1 to 3, each more than one chunk: 1 for the instance that is killed, 2 for
    # one that waits for the mutex meanwhile, 3 for one started after the kill.
    make_labels "$SCENARIO_DIR" killed 3 2000
    local a b c
    a=$(job_path "$SCENARIO_DIR" 1)
    b=$(job_path "$SCENARIO_DIR" 2)
    c=$(job_path "$SCENARIO_DIR" 3)
    # A pause longer than the whole scenario after each chunk: the first instance sits in it,
    # holding the mutex, once its first chunk has gone out.
    use_settings 60000
    e2e_start_program "$a" "$(e2e_winpath "$a/label.zpl")"
    first_chunk_in() { [ "$(size_of "$printer/conn-1.bin")" -ge 512 ] 2>/dev/null; }
    if ! wait_until "$JOB_BOUND" first_chunk_in; then
        dismiss_message
        problem "the first instance's first chunk never arrived (exit: $(state_of "$a"), message: $(cat "$SCENARIO_DIR/messages"))"
        finish
        return
    fi
    # Settings are read per job: the next instances send at once.
    drv reg-set "$SETTINGS_KEY" Delay 0 >/dev/null
    e2e_start_program "$b" "$(e2e_winpath "$b/label.zpl")"
    sleep 3
    expect "received while the first instance holds the mutex" "$(size_of "$printer/conn-1.bin")" 512
    expect "printer events while the first instance holds the mutex" \
        "$(cut -d' ' -f1,2 "$printer/events.log" | tr '\n' ' ')" "open 1 "
    expect "first instance running" "$(state_of "$a")" running
    expect "second instance waiting" "$(state_of "$b")" running
    # timeout's child is the Wine process that runs tagwright.exe.
    local wine_pid
    wine_pid=$(pgrep -P "$(cat "$a/pid")" | head -n1)
    case "$(tr '\0' ' ' <"/proc/${wine_pid:-0}/cmdline" 2>/dev/null)" in
    *tagwright.exe*) kill -9 "$wine_pid" ;;
    *) problem "no Wine process found for the first instance" ;;
    esac
    expect "killed instance's exit code" "$(e2e_wait_exit "$a" 10)" 137
    local code
    code=$(await_job "$b")
    [ "$code" = 1 ] || problem "the waiting instance ended with '$code', message: $(grep -m1 . "$SCENARIO_DIR/messages" || echo none)"
    e2e_start_program "$c" "$(e2e_winpath "$c/label.zpl")"
    code=$(await_job "$c")
    [ "$code" = 1 ] || problem "the instance started after the kill ended with '$code', message: $(grep -m1 . "$SCENARIO_DIR/messages" || echo none)"
    stop_printer "$printer"
    # The receiving threads may log a close after the next open; the order that matters is
    # the kernel's, which the overlap lines report.
    expect "connections" "$(grep -c '^open' "$printer/events.log")" 3
    # The killed instance's socket is closed by the system as it ends the process, and the
    # mutex it held is abandoned in the same clean-up, in either order: its dead connection
    # may still be open when the waiting instance connects. That one overlap is the system's;
    # the two live jobs must still never overlap, and the dead one must be closed.
    expect "overlaps" "$(grep '^overlap' "$printer/events.log" | cut -d' ' -f1-3 |
        grep -v '^overlap [0-9]* 1$' | tr '\n' ' ')" ""
    expect "killed instance's connection closed" "$(grep -c '^close 1 ' "$printer/events.log")" 1
    expect "bytes per connection" "$(grep '^close' "$printer/events.log" | cut -d' ' -f2,3 | sort -n | tr '\n' ' ')" \
        "1 512 2 $(size_of "$SCENARIO_DIR/expected/002.zpl") 3 $(size_of "$SCENARIO_DIR/expected/003.zpl") "
    expect "waiting instance's label" "$(same_file "$printer/conn-2.bin" "$SCENARIO_DIR/expected/002.zpl")" same
    expect "next instance's label" "$(same_file "$printer/conn-3.bin" "$SCENARIO_DIR/expected/003.zpl")" same
    expect "killed instance's input file" "$(same_file "$a/label.zpl" "$SCENARIO_DIR/expected/001.zpl")" same
    expect "delivered input files" "$(exists "$b/label.zpl") $(exists "$c/label.zpl")" "absent absent"
    NOTE="killed after $(size_of "$printer/conn-1.bin") of $(size_of "$SCENARIO_DIR/expected/001.zpl") bytes, then $(cat "$printer/conn-2.bin" "$printer/conn-3.bin" 2>/dev/null | wc -c) bytes in 2 jobs, $(seconds_since "$SCENARIO_START") s"
    finish
}

# ---------------------------------------------------------------- run

run() { # <scenario function>
    wants "${1#scenario_}" || return 0
    "$1"
}

run scenario_network_100_in_a_row
run scenario_network_4x25_together
run scenario_network_killed_holder

echo "soak took $(seconds_since "$SOAK_START") s, $SETUP_SECONDS s of it setting up Wine"
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
