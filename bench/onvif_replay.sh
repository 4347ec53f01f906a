#!/usr/bin/env bash
# Recorded-video retrieval through dvrlink-onvif: throughput (MB/s, x real
# time) and the time to the first progress event, against the same RTSP pull
# by GStreamer alone in the same run. Starts GStreamer's RTSP replay server
# (scripts/rtsp-replay-server.py), dvrsim's ONVIF face as the recorder and
# dvrlink-onvif in front of it, all UTC, in a temporary folder on free
# loopback ports; bench/onvif_replay.py measures (Debian's python3 with GStreamer's
# introspection data, as the tests need).
#
#   BUILD=<build dir> bench/onvif_replay.sh [SPAN [ROUNDS [SIZE [PATTERN]]]]
#
# Defaults: 60 s, 3 rounds, 320x240, ball. SIZE and PATTERN are the test
# pattern's picture size and videotestsrc pattern (10 frames a second, H.264;
# "snow" barely compresses, for a bit rate like a real camera's).
set -euo pipefail
BUILD=${BUILD:-build}
SPAN=${1:-60}
ROUNDS=${2:-3}
SIZE=${3:-320x240}
PATTERN=${4:-ball}
HERE=$(cd "$(dirname "$0")" && pwd)
BENCH_NAME=onvif_replay
# shellcheck source=bench/bench_lib.sh
. "$HERE/bench_lib.sh"
APPS=$(bench_apps dvrsim dvrlink-onvif) || exit 2
for n in "$SPAN" "$ROUNDS"; do
  case $n in '' | *[!0-9]* | 0) echo "onvif_replay: SPAN and ROUNDS must be whole numbers above 0" >&2; exit 2 ;; esac
done

bench_work
export TZ=UTC

rtsp_port=$(free_port)
/usr/bin/python3 "$HERE/../scripts/rtsp-replay-server.py" --port "$rtsp_port" --bind 127.0.0.1 --cameras 4 --size "$SIZE" \
  --pattern "$PATTERN" >"$WORK/rtsp.out" 2>"$WORK/rtsp.log" &
PIDS+=($!)
wait_for "$WORK/rtsp.out" 'port=' "${PIDS[-1]}"
rtsp="rtsp://127.0.0.1:$rtsp_port/recording"

command_port=$(free_port); live_port=$(free_port); event_port=$(free_port)
"$APPS/dvrsim/dvrsim" --bind 127.0.0.1 --command-port "$command_port" --live-port "$live_port" \
  --event-port "$event_port" --control-port 0 --onvif 0 --cameras 4 --onvif-replay "$rtsp" --time-zone UTC \
  >"$WORK/sim.out" 2>"$WORK/sim.log" &
PIDS+=($!)
wait_for "$WORK/sim.out" '^ports ' "${PIDS[-1]}"
onvif_port=$(sed -n 's/^ports .*onvif=\([0-9]*\).*$/\1/p' "$WORK/sim.out")

b_command=$(free_port); b_event=$(free_port); b_live=$(free_port)
bridge_ini "$onvif_port" 127.0.0.1 "$b_command" "$b_event" "$b_live" >"$WORK/bridge.ini"
"$APPS/dvrlink-onvif/dvrlink-onvif" --config "$WORK/bridge.ini" >"$WORK/bridge.out" 2>"$WORK/bridge.log" &
PIDS+=($!)
wait_for "$WORK/bridge.log" ' answers: ' "${PIDS[-1]}"

# A span that ended a minute ago (dvrsim records the last 24 hours).
now=$(date +%s)
begin_utc=$((now - 60 - SPAN))
/usr/bin/python3 "$HERE/onvif_replay.py" --bridge "127.0.0.1:$b_command" --rtsp "$rtsp" \
  --begin "$(date -d "@$begin_utc" +%Y%m%d%H%M%S)" --end "$(date -d "@$((now - 60))" +%Y%m%d%H%M%S)" \
  --begin-utc "$begin_utc" --span "$SPAN" --rounds "$ROUNDS"
