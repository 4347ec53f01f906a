#!/usr/bin/env python3
"""Latency and rate of DVR alarm position events through a dvrlink instance.

Started by bench/alarm_latency.sh, which runs dvrsim and dvrlink (external
triggering on) and points the service's standard output at a FIFO. This
program reads the host-sink lines from that FIFO and drives dvrsim's control
port: each event is an `alarm pos CAMERA MOTION START END` with a start time
of its own, so no event repeats the one before and each becomes one alert
(host event 10309, whose time field is the event's start time).

Latency is measured here, on one monotonic clock: from just before the
control command is sent to the moment its host-event line has been read.

  1. one at a time: each event is sent once the one before has come out;
  2. pipelined: up to WINDOW events in flight, sent as fast as the pipeline
     takes them; the rate is events / (last line read - first command sent).
     With --service-pid, also the service's CPU time per event meanwhile
     (user and system, from /proc): steadier than the rate on a busy machine.

    alarm_latency.py --control HOST:PORT --events FIFO [--count N]
                     [--window W] [--label TEXT] [--service-pid PID]
"""
import argparse
import datetime
import json
import math
import os
import selectors
import socket
import sys
import time

ALERT_CODE = 10309  # MOTION
WARM_UP = 20
TIMEOUT_S = 10.0


class Failure(Exception):
    pass


class Pipeline:
    def __init__(self, control, events_path, cameras=16):
        host, port = control.rsplit(":", 1)
        self.cameras = cameras
        self.selector = selectors.DefaultSelector()
        # Opening the FIFO waits for the service to open its end.
        self.events = os.open(events_path, os.O_RDONLY)
        self.selector.register(self.events, selectors.EVENT_READ, "events")
        self.control = socket.create_connection((host, int(port)), timeout=TIMEOUT_S)
        self.control.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.selector.register(self.control, selectors.EVENT_READ, "control")
        self.event_buffer = b""
        self.control_buffer = b""
        self.replies_due = 0
        self.pending = {}  # host-event time field -> send time
        self.latencies = []
        self.last_seen = 0.0
        self.connected = False
        self.next_event = 0
        self.base = datetime.datetime(2027, 1, 1)

    def wait_ready(self):
        """Waits until dvrsim counts the service's alarm session as acknowledged:
        only then does it send the session alarm events."""
        deadline = time.perf_counter() + TIMEOUT_S
        while time.perf_counter() < deadline:
            self.control.sendall(b"status\n")
            while b"\n" not in self.control_buffer:
                data = self.control.recv(1 << 16)
                if not data:
                    raise Failure("dvrsim closed its control port")
                self.control_buffer += data
            reply, self.control_buffer = self.control_buffer.split(b"\n", 1)
            if b" ready_sessions=1 " in reply:
                return
            time.sleep(0.01)
        raise Failure("the service's alarm session was not acknowledged")

    def send_next(self):
        """Sends the next event; returns its key (the host event's time field)."""
        i = self.next_event
        self.next_event += 1
        start = self.base + datetime.timedelta(seconds=i)
        end = start + datetime.timedelta(seconds=5)
        line = "alarm pos %d MOTION %s %s\n" % (i % self.cameras, start.strftime("%Y%m%d%H%M%S"),
                                                end.strftime("%Y%m%d%H%M%S"))
        key = start.strftime("%Y/%m/%d %H:%M:%S")
        self.pending[key] = time.perf_counter()
        self.control.sendall(line.encode())
        self.replies_due += 1
        return key

    def poll(self, timeout):
        for selected, _ in self.selector.select(timeout):
            if selected.data == "events":
                self._read_events()
            else:
                self._read_control()

    def _read_events(self):
        data = os.read(self.events, 1 << 16)
        now = time.perf_counter()
        if not data:
            raise Failure("the service closed its standard output")
        self.event_buffer += data
        *lines, self.event_buffer = self.event_buffer.split(b"\n")
        for raw in lines:
            line = json.loads(raw)
            if line.get("kind") != "host_event":
                continue
            code = line.get("code")
            if code == 10322:
                self.connected = True
            elif code == ALERT_CODE:
                sent = self.pending.pop(line["fields"][0], None)
                if sent is None:
                    raise Failure("host event for no event sent: %s" % raw.decode(errors="replace"))
                self.latencies.append(now - sent)
                self.last_seen = now
            else:
                raise Failure("unexpected host event: %s" % raw.decode(errors="replace"))

    def _read_control(self):
        data = self.control.recv(1 << 16)
        if not data:
            raise Failure("dvrsim closed its control port")
        self.control_buffer += data
        *lines, self.control_buffer = self.control_buffer.split(b"\n")
        for raw in lines:
            self.replies_due -= 1
            if not raw.startswith(b"OK sent=1 "):
                raise Failure("dvrsim answered: %s (is the DVR session up?)" % raw.decode(errors="replace"))

    def wait_until(self, condition, what):
        deadline = time.perf_counter() + TIMEOUT_S
        while not condition():
            left = deadline - time.perf_counter()
            if left <= 0:
                raise Failure("timed out waiting for %s" % what)
            self.poll(left)

    def one_at_a_time(self, count):
        self.latencies = []
        for _ in range(count):
            key = self.send_next()
            self.wait_until(lambda: key not in self.pending, "the host event of " + key)
        self.wait_until(lambda: self.replies_due == 0, "dvrsim's replies")
        return list(self.latencies)

    def pipelined(self, count, window):
        self.latencies = []
        sent = 0
        first_sent = time.perf_counter()
        while sent < count or self.pending:
            while sent < count and len(self.pending) < window:
                self.send_next()
                sent += 1
            if sent < count:
                self.wait_until(lambda: len(self.pending) < window, "host events")
            else:
                self.wait_until(lambda: not self.pending, "host events")
        self.wait_until(lambda: self.replies_due == 0, "dvrsim's replies")
        return list(self.latencies), self.last_seen - first_sent


def percentile(sorted_values, fraction):
    """Nearest-rank percentile of sorted values."""
    rank = max(1, math.ceil(round(fraction * len(sorted_values), 9)))
    return sorted_values[min(rank, len(sorted_values)) - 1]


def latency_line(values):
    ms = sorted(v * 1000.0 for v in values)
    return "latency: p50 %.3f ms, p99 %.3f ms, max %.3f ms" % (percentile(ms, 0.50), percentile(ms, 0.99), ms[-1])


def cpu_seconds(pid):
    """User and system CPU seconds of a process so far, from /proc."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / ticks, int(fields[12]) / ticks


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--control", required=True, help="dvrsim's control port, HOST:PORT")
    parser.add_argument("--events", required=True, help="FIFO holding the service's standard output")
    parser.add_argument("--count", type=int, default=1000, help="events per measurement (default 1000)")
    parser.add_argument("--window", type=int, default=64, help="events in flight when pipelined (default 64)")
    parser.add_argument("--label", default="dvrlink")
    parser.add_argument("--service-pid", type=int, help="the service's process, for its CPU time per event")
    args = parser.parse_args()
    if args.count < 1 or args.window < 1:
        parser.error("--count and --window must be above 0")

    try:
        pipeline = Pipeline(args.control, args.events)
        pipeline.wait_until(lambda: pipeline.connected, "the DVR session (host event 10322)")
        pipeline.wait_ready()
        pipeline.one_at_a_time(WARM_UP)
        latencies = pipeline.one_at_a_time(args.count)
        print("== %s: %d alarm position events, one at a time (control command -> host-event line)"
              % (args.label, args.count))
        print(latency_line(latencies))
        cpu_before = cpu_seconds(args.service_pid) if args.service_pid else None
        latencies, elapsed = pipeline.pipelined(args.count, args.window)
        cpu_after = cpu_seconds(args.service_pid) if args.service_pid else None
        print("== %s: %d alarm position events, up to %d in flight" % (args.label, args.count, args.window))
        print("elapsed: %.3f s" % elapsed)
        print("rate: %.1f events/s" % (args.count / elapsed))
        print(latency_line(latencies))
        if cpu_before:
            user, system = ((a - b) * 1e6 / args.count for a, b in zip(cpu_after, cpu_before))
            print("service CPU: %.1f us per event (user %.1f, system %.1f)" % (user + system, user, system))
        sys.stdout.flush()
    except (Failure, OSError, ValueError) as e:
        print("alarm_latency: %s: %s" % (args.label, e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
