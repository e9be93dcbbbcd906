#!/usr/bin/env python3
"""Times senders against one sink, interleaved, and checks that every run delivered its file.

  timed_runs.py --cases FILE --events EVENTS --work DIR --reps N
                [--ratio A B ...] [--ratio-less A C B ...]

FILE has one case per line, fields separated by tabs:
  NAME  SOURCE  EXIT  DELETES  [EXTRA]  COMMAND
EXTRA, when given, is the number of bytes the run sends beyond the file (a status query
after the label). SOURCE is the file the run sends ("-": the run sends nothing and is timed only); it is
copied to DIR/input.<ext> before each run, outside the timing. COMMAND is split as a shell
would split it; "{input}" stands for the copy, "{winput}" for the same path as Wine's
drive Z: names it. EXIT is the exit code a good run ends with; DELETES is "yes" when a good
run deletes its input. EVENTS is the sink's log ("close N BYTES" per connection): after
every run that sends, the harness waits for the next "close" line and checks its count.

Each case runs once untimed, then N times, the cases taking turns in a rotating order so
that a slow spell of the machine falls on all of them. Prints, per case, the median, the
lowest and the highest wall time in milliseconds, then each requested ratio of medians:
A / B, and (A - C) / B, and each requested difference of medians A - B. Exits 1 when any run went wrong. (No memory figures: a child of
this interpreter starts with the interpreter's peak resident size, which exec keeps.)
"""
import argparse
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import threading
import time


def read_cases(path):
    cases = []
    with open(path) as handle:
        for line in handle:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            fields = line.split("\t")
            extra = 0
            if len(fields) > 5:
                extra = int(fields.pop(4))
            name, source, exit_code, deletes = fields[:4]
            cases.append({"name": name, "source": source, "exit": int(exit_code),
                          "deletes": deletes == "yes", "extra": extra,
                          "command": "\t".join(fields[4:]), "times": []})
    return cases


def closed_connections(events):
    try:
        with open(events) as handle:
            return [line.split() for line in handle if line.startswith("close ")]
    except FileNotFoundError:
        return []


def wait_for_close(events, count, limit=30.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        closed = closed_connections(events)
        if len(closed) >= count:
            return closed[count - 1]
        time.sleep(0.005)
    return None


def run_once(case, work, events, limit):
    """One run: (milliseconds, problem or None)."""
    source = case["source"]
    input_path = ""
    if source != "-":
        input_path = os.path.join(work, "input" + os.path.splitext(source)[1])
        shutil.copyfile(source, input_path)
    windows_path = "Z:" + input_path.replace("/", "\\")
    argv = [word.replace("{input}", input_path).replace("{winput}", windows_path)
            for word in shlex.split(case["command"])]
    closed_before = len(closed_connections(events))

    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # A bound on every run: a sender that hangs is killed and counted as a failed run.
    watchdog = threading.Timer(limit, process.kill)
    watchdog.start()
    _, status = os.waitpid(process.pid, 0)
    elapsed = (time.perf_counter() - start) * 1000.0
    watchdog.cancel()
    process.returncode = os.waitstatus_to_exitcode(status)

    if process.returncode != case["exit"]:
        return elapsed, f"exit code {process.returncode}, expected {case['exit']}"
    if source == "-":
        return elapsed, None
    closed = wait_for_close(events, closed_before + 1)
    expected = os.path.getsize(source) + case["extra"]
    if closed is None:
        return elapsed, "the sink saw no connection close"
    if int(closed[2]) != expected:
        return elapsed, f"the sink received {closed[2]} of {expected} bytes"
    if case["deletes"] == os.path.exists(input_path):
        state = "still there" if case["deletes"] else "gone"
        return elapsed, f"the input file is {state}"
    return elapsed, None


def ratio_line(first, bottom, medians, less=None):
    """Median of `first` (less the median of `less`) over the median of `bottom`."""
    names = [first, bottom] + ([less] if less else [])
    shown = f"({first} - {less})" if less else first
    if any(name not in medians for name in names) or medians[bottom] <= 0:
        return f"ratio {shown} / {bottom}: missing"
    value = medians[first] - (medians[less] if less else 0.0)
    return f"ratio {shown} / {bottom}: {value / medians[bottom]:.2f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cases", required=True)
    parser.add_argument("--events", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--reps", type=int, default=10)
    parser.add_argument("--limit", type=float, default=120.0, help="seconds per run")
    parser.add_argument("--ratio", nargs=2, action="append", default=[], metavar=("A", "B"))
    parser.add_argument("--ratio-less", nargs=3, action="append", default=[],
                        metavar=("A", "C", "B"), help="(A - C) / B")
    parser.add_argument("--difference", nargs=2, action="append", default=[],
                        metavar=("A", "B"), help="median A - median B, in ms")
    args = parser.parse_args()

    cases = read_cases(args.cases)
    problems = []
    for case in cases:
        _, problem = run_once(case, args.work, args.events, args.limit)
        if problem:
            problems.append(f"{case['name']} (warm-up): {problem}")
    for rep in range(args.reps):
        shift = rep % len(cases)
        for case in cases[shift:] + cases[:shift]:
            elapsed, problem = run_once(case, args.work, args.events, args.limit)
            if problem:
                problems.append(f"{case['name']} (run {rep + 1}): {problem}")
                continue
            case["times"].append(elapsed)

    print(f"{'case':<24} {'runs':>4} {'median ms':>10} {'min ms':>9} {'max ms':>9}")
    medians = {}
    for case in cases:
        if not case["times"]:
            print(f"{case['name']:<24} {0:>4}  (no good run)")
            continue
        median = statistics.median(case["times"])
        medians[case["name"]] = median
        print(f"{case['name']:<24} {len(case['times']):>4} {median:>10.2f} "
              f"{min(case['times']):>9.2f} {max(case['times']):>9.2f}")
    for first, bottom in args.ratio:
        print(ratio_line(first, bottom, medians))
    for first, less, bottom in args.ratio_less:
        print(ratio_line(first, bottom, medians, less))
    for first, second in args.difference:
        if first in medians and second in medians:
            print(f"difference {first} - {second}: {medians[first] - medians[second]:.2f} ms")
        else:
            print(f"difference {first} - {second}: missing")
    for problem in problems:
        print(f"problem: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
