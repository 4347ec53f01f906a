#!/usr/bin/env bash
# Runs the demo on loopback: the host database (SQLite, build/demo/host.db),
# the DVR simulator on 127.0.0.2 and the service with examples/demo.ini.
# Host events are printed as they happen (one JSON line each); Ctrl-C stops
# the service (every instance closed cleanly) and then the simulator.
#
#   BUILD=build-other scripts/run-demo.sh     programs of another build folder
#                                             (the demo's files stay in build/demo)
#   scripts/run-demo.sh --onvif               the DVR is dvrsim's ONVIF face
#                                             (127.0.0.2:8080) behind dvrlink-onvif
#                                             with examples/onvif-bridge.ini, its
#                                             recordings replayed by GStreamer's RTSP
#                                             server (scripts/rtsp-replay-server.py)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD:-build}
CONFIG=examples/demo.ini
# The program folder of examples/demo.ini (relative to examples/).
DEMO=build/demo
SIM_ADDRESS=127.0.0.2
SIM_CONTROL=7003
ONVIF=""
[ "${1:-}" = "--onvif" ] && ONVIF=1

for program in dvrlink dvrsim dvrctl dvrlink-db ${ONVIF:+dvrlink-onvif}; do
  if [ ! -x "$BUILD/apps/$program/$program" ]; then
    echo "run-demo: $BUILD/apps/$program/$program is missing: build first" >&2
    exit 2
  fi
done

mkdir -p "$DEMO/export"
"$BUILD/apps/dvrlink-db/dvrlink-db" init --connection "Provider=SQLite;Data Source=$ROOT/$DEMO/host.db" \
  --config "$CONFIG"

RTSP=""
if [ -n "$ONVIF" ]; then
  # The recorder's replay side, then dvrsim as the ONVIF device. The bridge
  # takes the DVR link ports of demo.ini; dvrsim's own face takes free ports.
  scripts/rtsp-replay-server.py --bind "$SIM_ADDRESS" --port 8554 >"$DEMO/rtsp.out" 2>"$DEMO/rtsp.log" &
  RTSP=$!
  "$BUILD/apps/dvrsim/dvrsim" --bind "$SIM_ADDRESS" --command-port 0 --live-port 0 --event-port 0 \
    --control-port "$SIM_CONTROL" --time-zone America/New_York --onvif 8080 \
    --onvif-replay "rtsp://$SIM_ADDRESS:8554/recording" >"$DEMO/dvrsim.out" 2>"$DEMO/dvrsim.log" &
else
  "$BUILD/apps/dvrsim/dvrsim" --bind "$SIM_ADDRESS" --command-port 7000 --live-port 7001 --event-port 7002 \
    --control-port "$SIM_CONTROL" --time-zone America/New_York >"$DEMO/dvrsim.out" 2>"$DEMO/dvrsim.log" &
fi
SIM=$!
SVC=""
BRIDGE=""

stop() {
  trap - INT TERM EXIT
  if [ -n "$SVC" ] && kill -0 "$SVC" 2>/dev/null; then
    kill -TERM "$SVC" 2>/dev/null || true
    wait "$SVC" 2>/dev/null || true
  fi
  if [ -n "$BRIDGE" ] && kill -0 "$BRIDGE" 2>/dev/null; then
    kill -TERM "$BRIDGE" 2>/dev/null || true
    wait "$BRIDGE" 2>/dev/null || true
  fi
  if kill -0 "$SIM" 2>/dev/null; then
    kill -TERM "$SIM" 2>/dev/null || true
    wait "$SIM" 2>/dev/null || true
  fi
  if [ -n "$RTSP" ] && kill -0 "$RTSP" 2>/dev/null; then
    kill -TERM "$RTSP" 2>/dev/null || true
    wait "$RTSP" 2>/dev/null || true
  fi
  echo "== demo stopped"
}
trap stop EXIT
trap 'stop; exit 0' INT TERM

for _ in $(seq 50); do
  grep -q '^ports ' "$DEMO/dvrsim.out" 2>/dev/null && break
  kill -0 "$SIM" 2>/dev/null || { cat "$DEMO/dvrsim.log" >&2; exit 1; }
  sleep 0.1
done
echo "== dvrsim on $SIM_ADDRESS: $(head -n1 "$DEMO/dvrsim.out")"
if [ -n "$ONVIF" ]; then
  "$BUILD/apps/dvrlink-onvif/dvrlink-onvif" --config examples/onvif-bridge.ini >"$DEMO/bridge.out" 2>"$DEMO/bridge.log" &
  BRIDGE=$!
  for _ in $(seq 100); do
    grep -q "answers:" "$DEMO/bridge.log" 2>/dev/null && break
    kill -0 "$BRIDGE" 2>/dev/null || { cat "$DEMO/bridge.log" >&2; exit 1; }
    sleep 0.1
  done
  echo "== dvrlink-onvif on $SIM_ADDRESS: $(head -n1 "$DEMO/bridge.out"), log in $DEMO/bridge.log"
  echo "== recordings replayed from rtsp://$SIM_ADDRESS:8554/recording/C (README: a retrieval from the demo)"
fi
cat <<MSG
== dvrlink starting with $CONFIG; host events follow (also in $DEMO/host-events.jsonl)
   try, in another terminal:
     $BUILD/apps/dvrctl/dvrctl --config $CONFIG list
     $BUILD/apps/dvrctl/dvrctl --config $CONFIG get A-0-5000 Version
     exec 3<>/dev/tcp/$SIM_ADDRESS/$SIM_CONTROL; echo drop >&3; head -n1 <&3   # the DVR drops the session
   Ctrl-C stops both.
MSG
"$BUILD/apps/dvrlink/dvrlink" --config "$CONFIG" &
SVC=$!
status=0
wait "$SVC" || status=$?
SVC=""
exit "$status"
