#!/usr/bin/python3
"""The RTSP side of dvrsim's recorder: GStreamer's RTSP server in its ONVIF
form, with replay support, serving /recording/0 .. /recording/N-1.

Each mount plays a generated test pattern encoded as H.264, with the ONVIF
RTP header extension (absolute times). A PLAY with "Range: clock=A-B" seeks
the pattern to A and ends the stream at B, so a client gets exactly the span
it asked for; "Rate-Control: no" sends it as fast as it is encoded. With
--realtime the stream is paced at real time whatever the client asks (for
tests that stop the server while a clip streams).

  rtsp-replay-server.py --port N [--bind ADDRESS] [--cameras 16] [--realtime] [--size 320x240]
                        [--pattern ball|snow|smpte]

Prints "rtsp-replay-server port=N" once it listens; SIGTERM stops it.
"""
import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

PIPELINE = (
    "( videotestsrc pattern={pattern} is-live=false "
    "! video/x-raw,width={width},height={height},framerate=10/1 {pace}"
    "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=10 "
    "! h264parse ! rtph264pay pt=96 "
    "! rtponviftimestamp name=pay0 set-e-bit=true set-t-bit=true ntp-offset=0 drop-out-of-segment=false )"
)


def main():
    parser = argparse.ArgumentParser(description="RTSP replay server for dvrsim's recordings")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--cameras", type=int, default=16)
    parser.add_argument("--realtime", action="store_true")
    parser.add_argument("--size", default="320x240", help="picture size WIDTHxHEIGHT (default 320x240)")
    parser.add_argument("--pattern", default="ball", choices=("ball", "snow", "smpte"),
                        help="videotestsrc pattern (snow barely compresses: a high bit rate)")
    args = parser.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPOnvifServer.new()
    server.set_address(args.bind)
    server.set_service(str(args.port))
    try:
        width, height = (int(n) for n in args.size.split("x"))
    except ValueError:
        parser.error("--size must be WIDTHxHEIGHT, such as 1280x720")
    launch = PIPELINE.format(pattern=args.pattern, width=width, height=height,
                             pace="! identity sleep-time=100000 " if args.realtime else "")
    mounts = server.get_mount_points()
    for camera in range(args.cameras):
        factory = GstRtspServer.RTSPOnvifMediaFactory.new()
        factory.set_launch(launch)
        factory.set_media_gtype(GstRtspServer.RTSPOnvifMedia)
        factory.set_replay_support(True)
        mounts.add_factory("/recording/%d" % camera, factory)
    if server.attach(None) == 0:
        print("rtsp-replay-server: cannot listen on %s:%d" % (args.bind, args.port), file=sys.stderr)
        return 1
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    print("rtsp-replay-server port=%d" % server.get_bound_port(), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
