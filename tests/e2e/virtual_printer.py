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
  virtual_printer.py pty DIR                a parallel or serial device: a pty in raw mode;
      its device path is written to DIR/device and what arrives to DIR/received.bin.
      --rate BYTES makes it a slow printer that takes at most BYTES per second.

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


def should_stop(directory, deadline):
    return os.path.exists(os.path.join(directory, "stop")) or time.monotonic() > deadline


def serve_tcp(address, port, directory, deadline, greeting="", rate=0, end="close"):
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
        with connection, open(os.path.join(directory, f"conn-{number}.bin"), "wb") as out:
            connection.settimeout(1.0)
            if greeting:
                try:
                    connection.sendall(greeting.encode("latin-1"))
                except OSError:
                    pass
            while not should_stop(directory, deadline):
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


def serve_pty(directory, deadline, rate):
    master, slave = os.openpty()
    # Raw, so that the line discipline neither translates nor swallows any byte.
    tty.setraw(slave, termios.TCSANOW)
    tty.setraw(master, termios.TCSANOW)
    path = os.ttyname(slave)
    write_atomically(os.path.join(directory, "device"), path + "\n")
    write_atomically(os.path.join(directory, "ready"), "pty\n")
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
    pty_mode = sub.add_parser("pty")
    pty_mode.add_argument("directory")
    pty_mode.add_argument("--rate", type=int, default=0)
    args = parser.parse_args()
    os.makedirs(args.directory, exist_ok=True)
    deadline = time.monotonic() + args.lifetime
    if args.mode == "tcp":
        serve_tcp(args.address, args.port, args.directory, deadline, args.greeting, args.rate,
                  args.end)
    else:
        serve_pty(args.directory, deadline, args.rate)
    return 0


if __name__ == "__main__":
    sys.exit(main())
