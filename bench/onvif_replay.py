#!/usr/bin/python3
"""Recorded-video retrieval through dvrlink-onvif, against the same pull by
GStreamer alone, in one run.

Started by bench/onvif_replay.sh. Each round retrieves a span of SPAN seconds
of one camera:
  1. bridge: a DVR link `retrieve` on the bridge's command port (a session of
     its own), its `video_data` chunks decoded and counted until the
     `get_video` that ends it; timed from the request to the reply, to the
     first progress event (reason 1) and to the end (reason 2);
  2. GStreamer alone: the bridge's own pipeline (rtspsrc in ONVIF replay
     mode, depayload, parse, fragmented MP4) into a file, the span asked as
     the same clock range, timed from PLAYING to end of stream.
Prints the median of each figure over the rounds, MB/s (10^6 bytes), the
span divided by the time taken (x real time) and the ratio bridge/alone.

    onvif_replay.py --bridge HOST:PORT --rtsp URL --begin DIGITS14 --end DIGITS14
                    --begin-utc EPOCH --span S [--rounds N] [--camera C]
"""
import argparse
import base64
import json
import socket
import statistics
import tempfile
import time

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

TIMEOUT_S = 120.0
EPOCH_1900 = 2208988800
PIPELINE = (
    "rtspsrc name=src onvif-mode=true onvif-rate-control=false buffer-mode=none protocols=tcp "
    "! rtph264depay ! h264parse ! mp4mux fragment-duration=1000 streamable=true "
    "! filesink name=sink sync=false"
)


class Failure(Exception):
    pass


class LinkConnection:
    """One command connection to the bridge, JSON Lines."""

    def __init__(self, address):
        host, port = address.rsplit(":", 1)
        self.socket = socket.create_connection((host, int(port)), timeout=TIMEOUT_S)
        self.file = self.socket.makefile("rb")
        self.next_id = 1

    def send(self, op, **fields):
        fields.update(op=op, id=self.next_id)
        self.next_id += 1
        self.socket.sendall((json.dumps(fields) + "\n").encode())

    def receive(self):
        line = self.file.readline()
        if not line:
            raise Failure("the bridge closed the connection")
        return json.loads(line)

    def close(self):
        self.file.close()
        self.socket.close()


def through_bridge(args):
    link = LinkConnection(args.bridge)
    try:
        link.send("connect", login="")
        session = link.receive()["result"]["session"]
        started = time.perf_counter()
        link.send("retrieve", session=session, camera=args.camera, begin=args.begin, end=args.end, file="bench.mp4")
        reply = link.receive()
        if "error" in reply:
            raise Failure("retrieve refused: " + json.dumps(reply["error"]))
        replied = time.perf_counter() - started
        first_progress = None
        size = 0
        while True:
            message = link.receive()
            event = message.get("event")
            if event == "video_data":
                size += len(base64.b64decode(message["data"]))
            elif event == "get_video":
                if message["reason"] == 1 and first_progress is None:
                    first_progress = time.perf_counter() - started
                elif message["reason"] == 2:
                    if message["data1"] != size:
                        raise Failure("reason 2 says %d bytes, %d came" % (message["data1"], size))
                    return {"reply": replied, "first": first_progress, "total": time.perf_counter() - started,
                            "bytes": size}
                elif message["reason"] != 1:
                    raise Failure("the retrieval failed: " + json.dumps(message))
    finally:
        link.close()


def gstreamer_alone(args):
    with tempfile.NamedTemporaryFile(suffix=".mp4") as out:
        pipeline = Gst.parse_launch(PIPELINE)
        source = pipeline.get_by_name("src")
        source.set_property("location", "%s/%d" % (args.rtsp, args.camera))
        pipeline.get_by_name("sink").set_property("location", out.name)
        pipeline.set_state(Gst.State.PAUSED)
        begin = (args.begin_utc + EPOCH_1900) * Gst.SECOND
        source.send_event(Gst.Event.new_seek(1.0, Gst.Format.TIME, Gst.SeekFlags.FLUSH, Gst.SeekType.SET, begin,
                                             Gst.SeekType.SET, begin + args.span * Gst.SECOND))
        started = time.perf_counter()
        pipeline.set_state(Gst.State.PLAYING)
        message = pipeline.get_bus().timed_pop_filtered(int(TIMEOUT_S * Gst.SECOND),
                                                       Gst.MessageType.EOS | Gst.MessageType.ERROR)
        total = time.perf_counter() - started
        pipeline.set_state(Gst.State.NULL)
        if message is None or message.type != Gst.MessageType.EOS:
            raise Failure("GStreamer alone did not finish: %s" % (message.parse_error()[0].message if message else
                                                                  "timed out"))
        out.seek(0, 2)
        return {"total": total, "bytes": out.tell()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bridge", required=True)
    parser.add_argument("--rtsp", required=True)
    parser.add_argument("--begin", required=True)
    parser.add_argument("--end", required=True)
    parser.add_argument("--begin-utc", type=int, required=True)
    parser.add_argument("--span", type=int, required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--camera", type=int, default=1)
    args = parser.parse_args()
    Gst.init(None)
    bridge, alone = [], []
    try:
        for _ in range(args.rounds):
            bridge.append(through_bridge(args))
            alone.append(gstreamer_alone(args))
    except (Failure, OSError) as e:
        print("onvif_replay: " + str(e))
        return 1

    def median(rows, key):
        return statistics.median(row[key] for row in rows)

    print("== %d s span of camera %d, %d rounds, medians" % (args.span, args.camera, args.rounds))
    for label, rows in (("dvrlink-onvif (DVR link)", bridge), ("GStreamer alone (file)", alone)):
        total, size = median(rows, "total"), median(rows, "bytes")
        print("%-26s %.3f s, %d bytes, %.2f MB/s, %.1f x real time" %
              (label, total, size, size / total / 1e6, args.span / total))
    print("bridge: reply %.1f ms, first progress event %.1f ms after the request" %
          (median(bridge, "reply") * 1000, median(bridge, "first") * 1000))
    print("ratio of times bridge/alone: %.2f" % (median(bridge, "total") / median(alone, "total")))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
