#!/usr/bin/env python3
"""A TCP sink for the benchmarks: accepts connections, reads each to its end, keeps nothing.

  sink.py ADDRESS PORT EVENTS [--lifetime SECONDS]

Every connection is read on a thread of its own; EVENTS gets "open N" when one is accepted
and "close N BYTES" when its sender has closed it. PORT 0 picks a free port; the port in
use is written to EVENTS.port once the sink listens. Ends on SIGTERM or after --lifetime.
"""
import argparse
import os
import signal
import socket
import sys
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("address")
    parser.add_argument("port", type=int)
    parser.add_argument("events")
    parser.add_argument("--lifetime", type=float, default=1800.0)
    args = parser.parse_args()

    lock = threading.Lock()

    def log(line):
        with lock, open(args.events, "a") as events:
            events.write(line + "\n")

    def receive(connection, number):
        received = 0
        with connection:
            while True:
                try:
                    data = connection.recv(262144)
                except OSError:
                    break
                if not data:
                    break
                received += len(data)
        log(f"close {number} {received}")

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.address, args.port))
    # Room for the in-process loop's burst of connections: a full accept queue drops a SYN,
    # and the sender then waits a whole second to send it again.
    listener.listen(1024)
    listener.settimeout(0.5)
    port_file = args.events + ".port"
    with open(port_file + ".tmp", "w") as out:
        out.write(f"{listener.getsockname()[1]}\n")
    os.replace(port_file + ".tmp", port_file)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    deadline = time.monotonic() + args.lifetime
    number = 0
    while not stop.is_set() and time.monotonic() < deadline:
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            continue
        except InterruptedError:
            continue
        number += 1
        log(f"open {number}")
        threading.Thread(target=receive, args=(connection, number), daemon=True).start()
    listener.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
