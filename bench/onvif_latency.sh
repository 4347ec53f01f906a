#!/usr/bin/env bash
# Latency of a DVR event through dvrlink-onvif against dvrsim's own DVR link
# face in the same run, and the bridge's memory. One dvrsim with its ONVIF
# face, dvrlink-onvif in front of that face, and one dvrlink service with two
# instances (A: dvrsim's DVR link ports on 127.0.0.1; B: the bridge on
# 127.0.0.9), all zones UTC, a SQLite host database, in a temporary folder on
# free loopback ports; bench/onvif_latency.py measures (Python 3, standard
# library only). Prints p50/p99 of both and their ratio, then the bridge's
# RSS (VmRSS, VmHWM) at the end.
#
#   BUILD=<build dir> bench/onvif_latency.sh [N]      (N defaults to 1000)
set -euo pipefail
BUILD=${BUILD:-build}
N=${1:-1000}
HERE=$(cd "$(dirname "$0")" && pwd)
BENCH_NAME=onvif_latency
# shellcheck source=bench/bench_lib.sh
. "$HERE/bench_lib.sh"
APPS=$(bench_apps dvrlink dvrsim dvrlink-db dvrlink-onvif) || exit 2
case $N in '' | *[!0-9]* | 0) echo "onvif_latency: N must be a whole number above 0" >&2; exit 2 ;; esac

bench_work
export TZ=UTC

command_port=$(free_port); live_port=$(free_port); event_port=$(free_port)
"$APPS/dvrsim/dvrsim" --bind 127.0.0.1 --command-port "$command_port" --live-port "$live_port" \
  --event-port "$event_port" --control-port 0 --onvif 0 --time-zone UTC >"$WORK/sim.out" 2>"$WORK/sim.log" &
PIDS+=($!)
wait_for "$WORK/sim.out" '^ports ' "${PIDS[-1]}"
control_port=$(sed -n 's/^ports .*control=\([0-9]*\).*$/\1/p' "$WORK/sim.out")
onvif_port=$(sed -n 's/^ports .*onvif=\([0-9]*\).*$/\1/p' "$WORK/sim.out")

b_command=$((20000 + RANDOM % 12000)); b_event=$((b_command + 1)); b_live=$((b_command + 2))
bridge_ini "$onvif_port" 127.0.0.9 "$b_command" "$b_event" "$b_live" >"$WORK/bridge.ini"
"$APPS/dvrlink-onvif/dvrlink-onvif" --config "$WORK/bridge.ini" >"$WORK/bridge.out" 2>"$WORK/bridge.log" &
PIDS+=($!)
BRIDGE=${PIDS[-1]}
wait_for "$WORK/bridge.log" ' answers: ' "$BRIDGE"

section() {  # NAME ADDRESS COMMAND LIVE EVENT LISTEN KEY CONFIG
  cat <<INI

[$1]
vendor = 1
address = $2
command_port = $3
live_port = $4
event_port = $5
listen_port = $6
debug = 0
number = $8
name = DVR $7
global_address_id = \$1000000000000$8
time_sync = 0
time_sync_hours = 24
time_zone = UTC
key = $7
external_trigger = 0
config_id = $8
INI
}
listen_a=$(free_port); listen_b=$(free_port)
{
  printf '[host]\nprogram_folder = .\nconnection_string = Provider=SQLite;Data Source=%s/host.db\n' "$WORK"
  printf 'component_id = BENCH\nexport_folder = export\nlisten_address = 127.0.0.1\nautomation_socket = s.sock\n'
  section dvr 127.0.0.1 "$command_port" "$live_port" "$event_port" "$listen_a" A 1
  section dvr.1 127.0.0.9 "$b_command" "$b_live" "$b_event" "$listen_b" B 2
} >"$WORK/bench.ini"
mkdir -p "$WORK/export"
"$APPS/dvrlink-db/dvrlink-db" init --connection "Provider=SQLite;Data Source=$WORK/host.db" --config "$WORK/bench.ini" >/dev/null
mkfifo "$WORK/events"
(cd "$WORK" && exec "$APPS/dvrlink/dvrlink" --config bench.ini >events 2>service.err) &
PIDS+=($!)
python3 "$HERE/onvif_latency.py" --control "127.0.0.1:$control_port" --events "$WORK/events" \
  --direct "A-1-$listen_a" --onvif "B-2-$listen_b" --count "$N"
echo "dvrlink-onvif memory: $(grep -E '^(VmRSS|VmHWM)' /proc/"$BRIDGE"/status | tr -s ' \t' ' ' | paste -sd, -)"
