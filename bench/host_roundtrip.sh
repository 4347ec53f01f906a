#!/usr/bin/env bash
# Request/reply round trips of the host command protocol. Starts dvrsim and a
# dvrlink service with one instance (default logging) in a temporary folder on
# free loopback ports, then measures with `dvrctl --bench`:
#   1. N round trips of command 39 (version) by one client against the instance;
#   2. the same frame against dvrctl's frame echo server, in the same run, and
#      the ratio of the two rates (how much of a bare TCP round trip is left);
#   3. N round trips by each of 8 clients at once against the instance.
#
#   BUILD=<build dir> bench/host_roundtrip.sh [N]      (N defaults to 2000)
set -euo pipefail
BUILD=${BUILD:-build}
N=${1:-2000}
APPS=$BUILD/apps
DVRCTL=$APPS/dvrctl/dvrctl

for program in dvrlink dvrsim dvrctl dvrlink-db; do
  if [ ! -x "$APPS/$program/$program" ]; then
    echo "host_roundtrip: $APPS/$program/$program is missing: build first" >&2
    exit 2
  fi
done
case $N in '' | *[!0-9]* | 0) echo "host_roundtrip: N must be a whole number above 0" >&2; exit 2 ;; esac

WORK=$(mktemp -d "${TMPDIR:-/tmp}/host_roundtrip.XXXXXX")
PIDS=()
cleanup() {
  trap - EXIT INT TERM
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

BENCH_NAME=host_roundtrip
# shellcheck source=bench/bench_lib.sh
. "$(dirname "$0")/bench_lib.sh"

rate_of() { awk '/^rate:/ { print $2 }' <<<"$1"; }

COMMAND_PORT=$(free_port); LIVE_PORT=$(free_port); EVENT_PORT=$(free_port); LISTEN_PORT=$(free_port)
"$APPS/dvrsim/dvrsim" --bind 127.0.0.1 --command-port "$COMMAND_PORT" --live-port "$LIVE_PORT" \
  --event-port "$EVENT_PORT" --control-port 0 >"$WORK/sim.out" 2>"$WORK/sim.log" &
PIDS+=($!)
wait_for "$WORK/sim.out" '^ports ' "${PIDS[-1]}"

mkdir -p "$WORK/export"
"$APPS/dvrlink-db/dvrlink-db" init --connection "Provider=SQLite;Data Source=$WORK/host.db" >/dev/null
cat >"$WORK/bench.ini" <<INI
[host]
program_folder = .
connection_string = Provider=SQLite;Data Source=host.db
component_id = BENCH
export_folder = export
listen_address = 127.0.0.1
automation_socket = dvrlink.sock

[dvr]
vendor = 1
address = 127.0.0.1
command_port = $COMMAND_PORT
live_port = $LIVE_PORT
event_port = $EVENT_PORT
listen_port = $LISTEN_PORT
debug = 0
number = 0
name = Bench DVR
global_address_id = \$10000000000001
time_sync = 0
time_sync_hours = 24
time_zone = Eastern Standard Time
key = B
external_trigger = 0
config_id = 1
INI
"$APPS/dvrlink/dvrlink" --config "$WORK/bench.ini" >"$WORK/service.out" 2>"$WORK/service.err" &
PIDS+=($!)
wait_for "$WORK/service.err" 'instance(s) started' "${PIDS[-1]}"
# The DVR session comes up right after; the bench does not need it, but
# measures the instance in its usual state.
wait_for "$WORK/host-events.jsonl" '"code":10322' "${PIDS[-1]}" || true

"$DVRCTL" --echo-server 127.0.0.1:0 >"$WORK/echo.out" 2>&1 &
PIDS+=($!)
wait_for "$WORK/echo.out" '^listening on ' "${PIDS[-1]}"
ECHO_PORT=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$WORK/echo.out")

echo "== dvrlink instance 127.0.0.1:$LISTEN_PORT, command 39, 1 client"
SERVICE=$("$DVRCTL" --bench "$N" "127.0.0.1:$LISTEN_PORT" 39)
echo "$SERVICE"
echo "== frame echo server 127.0.0.1:$ECHO_PORT, command 39, 1 client"
ECHO=$("$DVRCTL" --bench "$N" "127.0.0.1:$ECHO_PORT" 39)
echo "$ECHO"
awk -v s="$(rate_of "$SERVICE")" -v e="$(rate_of "$ECHO")" \
  'BEGIN { printf "== ratio dvrlink/echo: %.3f (dvrlink %.1f, echo %.1f round trips/s)\n", s / e, s, e }'
echo "== dvrlink instance 127.0.0.1:$LISTEN_PORT, command 39, 8 clients at once"
"$DVRCTL" --bench "$N" --clients 8 "127.0.0.1:$LISTEN_PORT" 39
