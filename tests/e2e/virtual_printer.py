#!/usr/bin/env python3
"""Virtual label printers for the end-to-end tests: they record what a job delivers.

  virtual_printer.py tcp ADDRESS PORT DIR   a raw TCP printer (port 9100 style): every
      connection is received on a thread of its own into DIR/conn-N.bin, and DIR/events.log
      gets "open N TIME" (when it was accepted) and "close N BYTES TIME" (when its sender
      ended it) lines in the order they happen, and "overlap N M TIME" when connection N
      was accepted while the sender of connection M had not ended it yet, so that two jobs
      that overlap show. TIME is the wall clock in seconds since the epoch, to the
      microsecond.
      --greeting TEXT makes it talk back: it sends TEXT as soon as it accepts a connection.
      --rate BYTES makes it read at most BYTES per second.
      --end reset makes it reset the connection (SO_LINGER 0) half a second after the sender
      has ended its side, instead of closing it.
      --never-read makes it accept each connection and then read nothing from it, as a
      printer that has stopped; such a connection is closed when the printer stops.
  virtual_printer.py pty DIR                a parallel or serial device: a pty in raw mode;
      its device path is written to DIR/device and what arrives to DIR/received.bin.
      --rate BYTES makes it a slow printer that takes at most BYTES per second.

  --host-status FLAGS (tcp and pty) makes it a ZPL printer that answers the host status
      query "~HS" when those three bytes arrive: three lines, each <STX>fields<ETX><CR><LF>
      (12, 11 and 2 comma-separated fields, as the ZPL II programming guide gives them),
      with the flags named in FLAGS set: a comma-separated list of paper-out, ribbon-out,
      head-open and pause, or "ready" for none of them, or "silent" to stay quiet (as an
      EPL printer does). Without the option nothing is ever answered. This is older
      firmware: it answers "~HS" in every state and ignores "~HQES".
  virtual_printer.py check DIR              checks the model printer below, step by step,
      without a connection; prints "ok" or the failures.

  --firmware current (tcp and pty) models current firmware, after the ZPL II guide's "~HS",
      "~HQ", "^XA", "^XZ" and "^PQ" pages. The stream is parsed in order: each format
      (^XA .. ^XZ, with ^PQ's quantity of copies) goes into a receive buffer shared by all
      connections, and labels are printed from it at --labels-per-second (20). A tilde query
      is answered when the parser reaches it: "~HS" with the formats in the buffer, the labels
      remaining in the batch being printed and the partial-format flag (a format begun and
      not ended), and not at all while media, ribbon or head is at fault, as the guide says;
      "~HQES" always (PRINTER STATUS, then ERRORS and WARNINGS, each a flag and two groups of
      8 hex digits, framed by STX and ETX). --fault FAULT (media-out, ribbon-out, head-open,
      pause or none) is the state from the start, or with --fault-after N once N labels are
      printed; a fault stops the printing. --mute makes it answer nothing (a printer without
      ZPL status that still prints). Each answer is logged as "status N" ("~HS") or
      "errors N" ("~HQES") in events.log (tcp); each label printed adds "TOTAL TIME" to
      DIR/printed.log.

A tcp printer that is asked to stop still accepts the connections queued for it and reads
each to its end (bounded by --lifetime) before it ends: a label it took is never dropped.
Both write DIR/ready once they accept data, and stop when DIR/stop appears or after
--lifetime seconds (a bound for every test run); a tcp printer writes DIR/stopped (the number
of connections it took) once it has read them all.
"""
import argparse
import os
import re
import select
import socket
import struct
import sys
import termios
import threading
import time
import tty


def write_atomically(path, text):
    temporary = path + ".tmp"
    with open(temporary, "w") as handle:
        handle.write(text)
    os.replace(temporary, path)


STATUS_FLAGS = ("paper-out", "ribbon-out", "head-open", "pause")


def framed_status(paper_out=0, pause=0, formats=0, partial=0, head_up=0, ribbon_out=0,
                  remaining=0):
    """The three framed lines of the answer to ~HS, each <STX>fields<ETX><CR><LF>."""
    # Line 1: communication settings, paper out, pause, label length, formats in buffer,
    # buffer full, diagnostic mode, partial format, unused, corrupt RAM, under and over
    # temperature. Line 2: function settings, unused, head up, ribbon out, thermal transfer,
    # print mode, print width mode, label waiting, labels left in batch, format while
    # printing, graphic images stored. Line 3: password, static RAM installed.
    lines = [
        f"030,{paper_out},{pause},1245,{formats:03d},0,0,{partial},000,0,0,0",
        f"001,0,{head_up},{ribbon_out},1,2,6,0,{remaining:08d},1,000",
        "1234,0",
    ]
    return b"".join(b"\x02" + line.encode("ascii") + b"\x03\r\n" for line in lines)


def host_status_answer(flags):
    """An older printer's answer to ~HS, in every state, or None for a silent one."""
    if flags == "silent":
        return None
    chosen = set() if flags == "ready" else set(flags.split(","))
    unknown = chosen - set(STATUS_FLAGS)
    if unknown:
        raise SystemExit(f"unknown status flags: {sorted(unknown)}")
    return framed_status(paper_out=int("paper-out" in chosen), pause=int("pause" in chosen),
                         head_up=int("head-open" in chosen),
                         ribbon_out=int("ribbon-out" in chosen))


# The error bits of group 1 in the "~HQES" answer; a pause is no error there.
FAULT_BITS = {"none": 0, "media-out": 0x1, "ribbon-out": 0x2, "head-open": 0x4, "pause": 0}
# The faults in which current firmware leaves "~HS" unanswered.
SILENT_FAULTS = ("media-out", "ribbon-out", "head-open")


def error_report_answer(fault):
    """A current printer's answer to ~HQES: the error flag and bits for FAULT, no warnings."""
    bits = FAULT_BITS[fault]
    lines = [
        "",
        "  PRINTER STATUS",
        f"   ERRORS:         {1 if bits else 0} 00000000 {bits:08X}",
        "   WARNINGS:       0 00000000 00000000",
    ]
    return b"\x02" + "\r\n".join(lines).encode("ascii") + b"\r\n\x03\r\n"


class ModelPrinter:
    """One printer of current firmware: its receive buffer, its print engine and its state,
    shared by every connection. Each label printed appends "TOTAL TIME" to printed.log."""

    def __init__(self, directory, labels_per_second, fault, fault_after, mute, deadline):
        self.lock = threading.Lock()
        self.waiting = []  # the copies of each format received and not begun
        self.remaining = 0  # labels left in the batch being printed, the one printing included
        self.printed = 0
        self.partial = 0  # parsers inside a format
        self.fault = "none" if fault_after is not None else fault
        self.later = (fault_after, fault) if fault_after is not None else None
        self.mute = mute
        self.period = 1.0 / labels_per_second if labels_per_second > 0 else 0.0
        self.log_path = os.path.join(directory, "printed.log")
        open(self.log_path, "w").close()
        self.scheduled_fault()
        # Without a rate the labels are printed only by print_label calls (the self-check).
        if labels_per_second > 0:
            threading.Thread(target=self.engine, args=(deadline,), daemon=True).start()

    def scheduled_fault(self):
        if self.later is not None and self.printed >= self.later[0]:
            self.fault, self.later = self.later[1], None

    def take_format(self):
        """Whether a label is to be printed, the next format begun when the batch is done."""
        with self.lock:
            if self.fault == "none" and not self.remaining and self.waiting:
                self.remaining = self.waiting.pop(0)
            return self.fault == "none" and self.remaining > 0

    def print_label(self):
        with self.lock:
            # A fault that came up meanwhile stops the label in the head.
            if self.fault != "none" or not self.remaining:
                return
            self.remaining -= 1
            self.printed += 1
            with open(self.log_path, "a") as log:
                log.write(f"{self.printed} {time.time():.6f}\n")
            self.scheduled_fault()

    def engine(self, deadline):
        while time.monotonic() < deadline:
            if not self.take_format():
                time.sleep(0.01)
                continue
            time.sleep(self.period)
            self.print_label()

    def format_begun(self):
        with self.lock:
            self.partial += 1

    def format_left(self, copies):
        """A format ended (queued with its copies) or cut off by its connection (None)."""
        with self.lock:
            self.partial -= 1
            if copies is not None:
                self.waiting.append(copies)

    def answer(self, query):
        with self.lock:
            if self.mute:
                return None
            if query == b"~HQES":
                return error_report_answer(self.fault)
            if self.fault in SILENT_FAULTS:
                return None
            return framed_status(pause=int(self.fault == "pause"), formats=len(self.waiting),
                                 partial=int(self.partial > 0), remaining=self.remaining)


class FormatParser:
    """Reads one connection's stream in order, as the printer's parser does: formats go to
    the printer's buffer at "^XZ", and a query is answered with the state at that point."""

    COMMAND = re.compile(rb"[\^~]")
    DIGITS = re.compile(rb"[0-9]*")

    def __init__(self, printer):
        self.printer = printer
        self.tail = b""
        self.in_format = False
        self.copies = 1

    def feed(self, data):
        """The answers to the queries in data, in order; unanswered ones left out."""
        text = self.tail + data
        answers = []
        at = 0
        while True:
            match = self.COMMAND.search(text, at)
            if match is None:
                at = len(text)
                break
            at = match.start()
            kind, name = text[at:at + 1], text[at + 1:at + 3].upper()
            if len(name) < 2:
                break  # the command's name comes with the next piece
            if kind == b"~" and name == b"HQ":
                if len(text) < at + 5:
                    break
                if text[at + 3:at + 5].upper() == b"ES":
                    answers.append((b"~HQES", self.printer.answer(b"~HQES")))
                    at += 5
                else:
                    at += 3  # another query type, which this printer does not know
            elif kind == b"~" and name == b"HS":
                answers.append((b"~HS", self.printer.answer(b"~HS")))
                at += 3
            elif kind == b"^" and name == b"XA":
                if not self.in_format:
                    self.in_format = True
                    self.printer.format_begun()
                self.copies = 1
                at += 3
            elif kind == b"^" and name == b"XZ" and self.in_format:
                self.in_format = False
                self.printer.format_left(self.copies)
                at += 3
            elif kind == b"^" and name == b"PQ" and self.in_format:
                digits = self.DIGITS.match(text, at + 3)
                if digits.end() == len(text) and digits.end() - at < 12:
                    break  # more digits may follow
                # The guide's range: 1 to 99,999,999.
                self.copies = min(max(1, int(digits.group()[:8] or b"1")), 99999999)
                at = digits.end()
            else:
                at += 1
        self.tail = text[at:]
        return [(query, answer) for query, answer in answers if answer is not None]

    def close(self):
        if self.in_format:
            self.in_format = False
            self.printer.format_left(None)


class QueryWatch:
    """Finds "~HS" and "~HQES" in a stream that arrives in pieces, and yields the answer to
    each one once, in the order they arrived; a query whose answer is None goes unanswered."""

    QUERIES = (b"~HS", b"~HQES")

    def __init__(self, answer):
        # Older firmware knows no "~HQES".
        self.answers = {b"~HS": answer, b"~HQES": None}
        self.tail = b""

    def queries(self, data):
        text = self.tail + data
        found = []
        for query in self.QUERIES:
            at = text.find(query)
            while at >= 0:
                # A query wholly inside the tail was answered with the bytes before.
                if at + len(query) > len(self.tail):
                    found.append((at, query))
                at = text.find(query, at + 1)
        self.tail = text[-4:]
        return [(query, self.answers[query]) for _, query in sorted(found)
                if self.answers[query] is not None]


def should_stop(directory, deadline):
    return os.path.exists(os.path.join(directory, "stop")) or time.monotonic() > deadline


# After a stop is asked for, a connection that has been quiet this long is given up.
DRAIN_QUIET = 5.0


def serve_tcp(address, port, directory, deadline, greeting="", rate=0, end="close",
              answer=None, never_read=False, model=None):
    events_lock = threading.Lock()
    events_path = os.path.join(directory, "events.log")

    # Connections whose receiving thread has not closed them yet, by number.
    live = {}
    live_lock = threading.Lock()

    def log(line):
        with events_lock, open(events_path, "a") as events:
            events.write(f"{line} {time.time():.6f}\n")

    def still_sending(connection):
        # The kernel's view rather than the receiving thread's, which may not have woken up
        # yet: a connection stays ESTABLISHED (1) until its sender's end of stream arrives.
        try:
            return connection.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0] == 1
        except OSError:
            return False

    def receive(connection, number):
        received = 0
        ended = False
        parser = FormatParser(model) if model else None
        watch = parser.feed if parser else QueryWatch(answer).queries
        heard = time.monotonic()
        with connection, open(os.path.join(directory, f"conn-{number}.bin"), "wb") as out:
            connection.settimeout(1.0)
            if greeting:
                try:
                    connection.sendall(greeting.encode("latin-1"))
                except OSError:
                    pass
            while never_read and not should_stop(directory, deadline):
                time.sleep(0.1)
            # Asked to stop, it still reads to the sender's end, unless the sender has gone quiet.
            while not never_read and time.monotonic() < deadline:
                if (os.path.exists(os.path.join(directory, "stop"))
                        and time.monotonic() - heard > DRAIN_QUIET):
                    break
                try:
                    # A slow printer reads a tenth of its rate ten times a second.
                    data = connection.recv(max(1, rate // 10) if rate else 65536)
                except socket.timeout:
                    continue
                except OSError:
                    break
                if not data:
                    ended = True
                    break
                heard = time.monotonic()
                out.write(data)
                out.flush()
                received += len(data)
                for query, reply in watch(data):
                    connection.sendall(reply)
                    log(f"{'status' if query == b'~HS' else 'errors'} {number}")
                if rate:
                    time.sleep(0.1)
            if ended and end == "reset":
                # Half a second later, so that the sender is already waiting in its receive:
                # under Wine, a reset that came before it was once taken as a plain close.
                time.sleep(0.5)
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                      struct.pack("ii", 1, 0))
            if parser:
                parser.close()
            with live_lock:
                live.pop(number, None)
        log(f"close {number} {received}")

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen(8)
    listener.settimeout(0.2)
    write_atomically(os.path.join(directory, "ready"), "tcp\n")
    threads = []
    number = 0
    draining = False
    while time.monotonic() < deadline:
        # Asked to stop, it takes the connections already queued, then no more.
        if not draining and os.path.exists(os.path.join(directory, "stop")):
            draining = True
            listener.settimeout(0.0)
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            continue
        except BlockingIOError:
            break
        connection.setblocking(True)
        number += 1
        with live_lock:
            senders = sorted(other for other, peer in live.items() if still_sending(peer))
            live[number] = connection
        # Logged here, on the accepting thread, so that the "open" lines keep accept order.
        log(f"open {number}")
        for other in senders:
            log(f"overlap {number} {other}")
        if draining:
            log(f"drained {number}")
        thread = threading.Thread(target=receive, args=(connection, number), daemon=True)
        thread.start()
        threads.append(thread)
    listener.close()
    for thread in threads:
        thread.join(timeout=max(0.0, deadline - time.monotonic()))
    write_atomically(os.path.join(directory, "stopped"), f"{number}\n")


def serve_pty(directory, deadline, rate, answer, model=None):
    master, slave = os.openpty()
    # Raw, so that the line discipline neither translates nor swallows any byte.
    tty.setraw(slave, termios.TCSANOW)
    tty.setraw(master, termios.TCSANOW)
    path = os.ttyname(slave)
    write_atomically(os.path.join(directory, "device"), path + "\n")
    write_atomically(os.path.join(directory, "ready"), "pty\n")
    watch = FormatParser(model).feed if model else QueryWatch(answer).queries
    with open(os.path.join(directory, "received.bin"), "wb") as out:
        while not should_stop(directory, deadline):
            ready, _, _ = select.select([master], [], [], 0.2)
            if not ready:
                continue
            try:
                data = os.read(master, max(1, int(rate / 10)) if rate else 65536)
            except OSError:
                continue
            out.write(data)
            out.flush()
            for _, reply in watch(data):
                os.write(master, reply)
            if rate:
                time.sleep(0.1)
    os.close(master)
    os.close(slave)


def self_check(directory):
    """The model against the guide's fields, step by step: returns the failures."""
    def status(answer):  # (formats, partial, remaining, pause) from a ~HS answer
        if answer is None:
            return None
        one, two = [line.split(b",") for line in answer.split(b"\x02")[1:3]]
        return int(one[4]), int(one[7]), int(two[8]), int(one[2])

    def errors(answer):
        return answer.split(b"ERRORS:")[1].split()[:3] if answer else None

    failures = []

    def expect(what, got, wanted):
        if got != wanted:
            failures.append(f"{what}: got {got!r}, wanted {wanted!r}")

    printer = ModelPrinter(directory, 0, "none", None, False, 0)
    parser = FormatParser(printer)
    # A format cut into pieces anywhere, the quantity's digits too.
    answers = [parser.feed(piece) for piece in (b"^XA^P", b"Q1", b"2^FDx^FS~H", b"S", b"^XZ~HS")]
    expect("inside a format", [status(a) for _, a in answers[3]], [(0, 1, 0, 0)])
    expect("format ended", [status(a) for _, a in answers[4]], [(1, 0, 0, 0)])
    printer.take_format()
    printer.print_label()
    expect("printing", status(printer.answer(b"~HS")), (0, 0, 11, 0))
    expect("queries in order", [q for q, _ in parser.feed(b"~HQES^XA^XZ~HQ~HS")],
           [b"~HQES", b"~HS"])
    parser.close()
    # Media out after two of five copies: "~HS" falls silent, "~HQES" names it.
    printer = ModelPrinter(directory, 0, "media-out", 2, False, 0)
    FormatParser(printer).feed(b"^XA^PQ5,0,0,N^XZ")
    for _ in range(4):
        printer.take_format()
        printer.print_label()
    expect("printed before the fault", printer.printed, 2)
    expect("media out: ~HS", printer.answer(b"~HS"), None)
    expect("media out: ~HQES", errors(printer.answer(b"~HQES")), [b"1", b"00000000", b"00000001"])
    paused = ModelPrinter(directory, 0, "pause", None, False, 0)
    expect("pause: ~HS", status(paused.answer(b"~HS")), (0, 0, 0, 1))
    expect("pause: ~HQES", errors(paused.answer(b"~HQES")), [b"0", b"00000000", b"00000000"])
    mute = ModelPrinter(directory, 0, "none", None, True, 0)
    expect("mute", FormatParser(mute).feed(b"~HS~HQES"), [])
    return failures


def add_firmware_options(parser):
    parser.add_argument("--host-status", default="silent")
    parser.add_argument("--firmware", choices=("older", "current"), default="older")
    parser.add_argument("--fault", choices=tuple(FAULT_BITS), default="none")
    parser.add_argument("--fault-after", type=int, default=None)
    parser.add_argument("--labels-per-second", type=float, default=20.0)
    parser.add_argument("--mute", action="store_true")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lifetime", type=float, default=600.0)
    sub = parser.add_subparsers(dest="mode", required=True)
    tcp = sub.add_parser("tcp")
    tcp.add_argument("address")
    tcp.add_argument("port", type=int)
    tcp.add_argument("directory")
    tcp.add_argument("--greeting", default="")
    tcp.add_argument("--rate", type=int, default=0)
    tcp.add_argument("--end", choices=("close", "reset"), default="close")
    tcp.add_argument("--never-read", action="store_true")
    add_firmware_options(tcp)
    pty_mode = sub.add_parser("pty")
    pty_mode.add_argument("directory")
    pty_mode.add_argument("--rate", type=int, default=0)
    add_firmware_options(pty_mode)
    check = sub.add_parser("check")
    check.add_argument("directory")
    args = parser.parse_args()
    os.makedirs(args.directory, exist_ok=True)
    if args.mode == "check":
        failures = self_check(args.directory)
        print("\n".join(failures) or "ok")
        return 1 if failures else 0
    deadline = time.monotonic() + args.lifetime
    model = None
    if args.firmware == "current":
        model = ModelPrinter(args.directory, args.labels_per_second, args.fault,
                             args.fault_after, args.mute, deadline)
    answer = host_status_answer(args.host_status)
    if args.mode == "tcp":
        serve_tcp(args.address, args.port, args.directory, deadline, args.greeting, args.rate,
                  args.end, answer, args.never_read, model)
    else:
        serve_pty(args.directory, deadline, args.rate, answer, model)
    return 0


if __name__ == "__main__":
    sys.exit(main())
