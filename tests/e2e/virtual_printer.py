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
  --firmware current --fault FAULT (tcp and pty) models current firmware instead: "~HQES"
      is always answered (PRINTER STATUS, then ERRORS and WARNINGS, each a flag and two
      groups of 8 hex digits, framed by STX and ETX), with FAULT's error bit set (media-out,
      ribbon-out, head-open, or none); "~HS" is answered ready when FAULT is none and not at
      all otherwise, as the guide says of media out, ribbon out and head open. Each answer
      sent is logged as "status N" ("~HS") or "errors N" ("~HQES") in events.log (tcp).

Both write DIR/ready once they accept data, and stop when DIR/stop appears or after
--lifetime seconds (a bound for every test run).
"""
import argparse
import os
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


def host_status_answer(flags):
    """The three framed lines of a ZPL printer's answer to ~HS, or None for a silent one."""
    if flags == "silent":
        return None
    chosen = set() if flags == "ready" else set(flags.split(","))
    unknown = chosen - set(STATUS_FLAGS)
    if unknown:
        raise SystemExit(f"unknown status flags: {sorted(unknown)}")

    def flag(name):
        return "1" if name in chosen else "0"

    # Line 1: communication settings, paper out, pause, label length, formats in buffer,
    # buffer full, diagnostic mode, partial format, unused, corrupt RAM, under and over
    # temperature. Line 2: function settings, unused, head up, ribbon out, thermal transfer,
    # print mode, print width mode, label waiting, labels left in batch, format while
    # printing, graphic images stored. Line 3: password, static RAM installed.
    lines = [
        f"030,{flag('paper-out')},{flag('pause')},1245,000,0,0,0,000,0,0,0",
        f"001,0,{flag('head-open')},{flag('ribbon-out')},1,2,6,0,00000000,1,000",
        "1234,0",
    ]
    return b"".join(b"\x02" + line.encode("ascii") + b"\x03\r\n" for line in lines)


# The error bits of group 1 in the "~HQES" answer.
FAULT_BITS = {"none": 0, "media-out": 0x1, "ribbon-out": 0x2, "head-open": 0x4}


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


class QueryWatch:
    """Finds "~HS" and "~HQES" in a stream that arrives in pieces, and yields the answer to
    each one once, in the order they arrived; a query whose answer is None goes unanswered."""

    QUERIES = (b"~HS", b"~HQES")

    def __init__(self, answer, errors=None):
        self.answers = {b"~HS": answer, b"~HQES": errors}
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


def serve_tcp(address, port, directory, deadline, greeting="", rate=0, end="close",
              answer=None, never_read=False, errors=None):
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
        watch = QueryWatch(answer, errors)
        with connection, open(os.path.join(directory, f"conn-{number}.bin"), "wb") as out:
            connection.settimeout(1.0)
            if greeting:
                try:
                    connection.sendall(greeting.encode("latin-1"))
                except OSError:
                    pass
            while never_read and not should_stop(directory, deadline):
                time.sleep(0.1)
            while not never_read and not should_stop(directory, deadline):
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
                out.write(data)
                out.flush()
                received += len(data)
                for query, reply in watch.queries(data):
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
    while not should_stop(directory, deadline):
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            continue
        number += 1
        with live_lock:
            senders = sorted(other for other, peer in live.items() if still_sending(peer))
            live[number] = connection
        # Logged here, on the accepting thread, so that the "open" lines keep accept order.
        log(f"open {number}")
        for other in senders:
            log(f"overlap {number} {other}")
        thread = threading.Thread(target=receive, args=(connection, number), daemon=True)
        thread.start()
        threads.append(thread)
    listener.close()
    for thread in threads:
        thread.join(timeout=2.0)


def serve_pty(directory, deadline, rate, answer, errors=None):
    master, slave = os.openpty()
    # Raw, so that the line discipline neither translates nor swallows any byte.
    tty.setraw(slave, termios.TCSANOW)
    tty.setraw(master, termios.TCSANOW)
    path = os.ttyname(slave)
    write_atomically(os.path.join(directory, "device"), path + "\n")
    write_atomically(os.path.join(directory, "ready"), "pty\n")
    watch = QueryWatch(answer, errors)
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
            for _, reply in watch.queries(data):
                os.write(master, reply)
            if rate:
                time.sleep(0.1)
    os.close(master)
    os.close(slave)


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
    tcp.add_argument("--host-status", default="silent")
    tcp.add_argument("--never-read", action="store_true")
    tcp.add_argument("--firmware", choices=("older", "current"), default="older")
    tcp.add_argument("--fault", choices=tuple(FAULT_BITS), default="none")
    pty_mode = sub.add_parser("pty")
    pty_mode.add_argument("directory")
    pty_mode.add_argument("--rate", type=int, default=0)
    pty_mode.add_argument("--host-status", default="silent")
    pty_mode.add_argument("--firmware", choices=("older", "current"), default="older")
    pty_mode.add_argument("--fault", choices=tuple(FAULT_BITS), default="none")
    args = parser.parse_args()
    os.makedirs(args.directory, exist_ok=True)
    deadline = time.monotonic() + args.lifetime
    if args.firmware == "current":
        answer = host_status_answer("ready") if args.fault == "none" else None
        errors = error_report_answer(args.fault)
    else:
        answer = host_status_answer(args.host_status)
        errors = None
    if args.mode == "tcp":
        serve_tcp(args.address, args.port, args.directory, deadline, args.greeting, args.rate,
                  args.end, answer, args.never_read, errors)
    else:
        serve_pty(args.directory, deadline, args.rate, answer, errors)
    return 0


if __name__ == "__main__":
    sys.exit(main())
