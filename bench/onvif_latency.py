#!/usr/bin/env python3
"""Latency of a DVR event through dvrsim's own face and through dvrlink-onvif.

Started by bench/onvif_latency.sh: one dvrsim serves the same simulated DVR
twice, on its DVR link ports (instance A) and as an ONVIF device behind
dvrlink-onvif (instance B), and one dvrlink service has both instances. Each
event is an `alarm begin C VIDEOLOSS` on dvrsim's control port, which both
faces send at once; each instance reports it as host event 10323. Latency is
measured here on one monotonic clock, from just before the control command is
sent to the moment each instance's host-event line has been read; events go
one at a time (the next once both lines are in), and an `alarm end` follows
each (the end of a video loss raises no host event).

    onvif_latency.py --control HOST:PORT --events FIFO --direct ID --onvif ID
                     [--count N]
"""
import argparse
import json
import math
import os
import selectors
import socket
import time

VIDEO_LOSS = 10323
WARM_UP = 20
TIMEOUT_S = 10.0


class Failure(Exception):
    pass


def percentile(sorted_values, fraction):
    rank = max(1, math.ceil(round(fraction * len(sorted_values), 9)))
    return sorted_values[min(rank, len(sorted_values)) - 1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--control", required=True)
    parser.add_argument("--events", required=True)
    parser.add_argument("--direct", required=True, help="instance ID of the DVR link face")
    parser.add_argument("--onvif", required=True, help="instance ID of the bridge")
    parser.add_argument("--count", type=int, default=1000)
    args = parser.parse_args()
    host, port = args.control.rsplit(":", 1)
    selector = selectors.DefaultSelector()
    events = os.open(args.events, os.O_RDONLY)
    selector.register(events, selectors.EVENT_READ)
    control = socket.create_connection((host, int(port)), timeout=TIMEOUT_S)
    control.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buffer = b""
    connected = set()
    arrived = {}

    def pump(condition, what):
        nonlocal buffer
        deadline = time.perf_counter() + TIMEOUT_S
        while not condition():
            left = deadline - time.perf_counter()
            if left <= 0:
                raise Failure("timed out waiting for " + what)
            for _ in selector.select(left):
                data = os.read(events, 1 << 16)
                now = time.perf_counter()
                if not data:
                    raise Failure("the service closed its standard output")
                buffer += data
                *lines, buffer = buffer.split(b"\n")
                for raw in lines:
                    line = json.loads(raw)
                    if line.get("kind") != "host_event":
                        continue
                    if line["code"] == 10322:
                        connected.add(line["instance"])
                    elif line["code"] == VIDEO_LOSS:
                        arrived[line["instance"]] = now

    def command(text):
        control.sendall((text + "\n").encode())
        reply = b""
        while not reply.endswith(b"\n"):
            reply += control.recv(4096)
        if not reply.startswith(b"OK"):
            raise Failure("dvrsim answered " + reply.decode(errors="replace"))

    def measure(count):
        direct, onvif = [], []
        for i in range(count):
            camera = i % 16
            arrived.clear()
            sent = time.perf_counter()
            command("alarm begin %d VIDEOLOSS" % camera)
            pump(lambda: len(arrived) == 2, "both host events of event %d" % i)
            direct.append(arrived[args.direct] - sent)
            onvif.append(arrived[args.onvif] - sent)
            command("alarm end %d VIDEOLOSS" % camera)
        return direct, onvif

    try:
        pump(lambda: len(connected) == 2, "both instances (host event 10322)")
        time.sleep(0.5)  # both subscriptions acknowledged
        measure(WARM_UP)
        direct, onvif = measure(args.count)
    except Failure as e:
        print("onvif_latency: " + str(e))
        return 1
    print("== %d video-loss events, control command -> host-event line (10323), one at a time" % args.count)
    rows = []
    for label, values in (("dvrsim's DVR link face", direct), ("dvrlink-onvif + ONVIF face", onvif)):
        ms = sorted(v * 1000.0 for v in values)
        rows.append((percentile(ms, 0.5), percentile(ms, 0.99)))
        print("%-28s p50 %.3f ms, p99 %.3f ms, max %.3f ms" % (label, rows[-1][0], rows[-1][1], ms[-1]))
    print("ratio bridge/direct: p50 %.2f, p99 %.2f" % (rows[1][0] / rows[0][0], rows[1][1] / rows[0][1]))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
