#!/usr/bin/env python3
"""Draws a progress bar from the helper's events.

Reads the helper's lines on standard input, or, with --socket PATH, sends the
request read from standard input to a helper listening there and reads its
lines from the connection. Each `progress` event redraws one line on standard
error (phase, percentage, rate, time left); the final `result` is printed on
standard output, and the exit status says whether it was ok.

Stopping: Ctrl-C ends this client, which closes its end of the pipe or the
socket; the helper takes that as the client going away and cancels the job
within one 1 MiB chunk (the stick keeps what was written and is incomplete).

    printf '%s\\n' "$request" | kelmar_vindle_helper --fixture examples/devices.json \\
        --sink out.img | examples/progress_bar.py
    examples/progress_bar.py --socket /run/kelmar-vindle/helper.sock <request.json
"""
import json
import socket
import sys
import time

LABELS = {"checking_image": "checking image", "writing": "writing", "verifying": "verifying"}


def lines(args):
    if len(args) == 2 and args[0] == "--socket":
        request = sys.stdin.buffer.read().strip() + b"\n"
        connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        connection.connect(args[1])
        connection.sendall(request)
        return connection.makefile("r", encoding="utf-8")
    return sys.stdin


def main(args):
    started = {}  # phase -> (time, bytes) when it started
    for line in lines(args):
        event = json.loads(line)
        if event["evt"] == "accepted":
            print("accepted: the helper is working on the job", file=sys.stderr)
        elif event["evt"] == "progress":
            phase, done, total = event["phase"], event["bytes_done"], event["total"]
            now = time.monotonic()
            since, at_start = started.setdefault(phase, (now, done))
            rate = (done - at_start) / (now - since) if now > since else 0.0
            left = f"{(total - done) / rate:4.0f} s left" if rate > 0 else "         "
            fraction = done / total if total else 1.0
            bar = "#" * int(fraction * 30)
            print(f"\r{LABELS.get(phase, phase):15} [{bar:30}] {fraction:6.1%} "
                  f"{rate / 1048576:7.1f} MiB/s {left}", end="", file=sys.stderr, flush=True)
            if done == total:
                print(file=sys.stderr)
        elif event["evt"] == "result":
            print(line.strip())
            return 0 if event["ok"] else 1
    print("the helper ended without a result", file=sys.stderr)
    return 1


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        print("\nstopped: the helper cancels the job; the stick is incomplete", file=sys.stderr)
        sys.exit(130)
