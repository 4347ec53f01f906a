#!/usr/bin/env bash
# Latency of DVR alarms through dvrlink: from the control command that makes
# dvrsim send an alarm position event to the host-event line (alert 10309) the
# service writes for it, with external triggering on, so every event also
# stores a dvr_alarms row. Starts dvrsim and a dvrlink service with one
# instance (default logging) in a temporary folder on free loopback ports and
# runs bench/alarm_latency.py against them (Python 3, standard library only):
#   1. N events one at a time: p50, p99 and max latency;
#   2. N events with up to 64 in flight: the sustained rate and the latency.
# First with a SQLite host database, then with PostgreSQL: a schema of its own
# in the DVRLINK_TEST_PG database when that is set, else a throwaway server of
# tests/pg/pg_server.sh (skipped when PostgreSQL is not installed), reached
# over TCP and then again through its Unix socket. A DVRLINK_TEST_PG whose
# Host is a folder measures its server's Unix socket.
#
#   BUILD=<build dir> bench/alarm_latency.sh [N]      (N defaults to 1000)
set -euo pipefail
BUILD=${BUILD:-build}
N=${1:-1000}
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
BENCH_NAME=alarm_latency
# shellcheck source=bench/bench_lib.sh
. "$(dirname "$0")/bench_lib.sh"
APPS=$(bench_apps dvrlink dvrsim dvrlink-db) || exit 2
case $N in '' | *[!0-9]* | 0) echo "alarm_latency: N must be a whole number above 0" >&2; exit 2 ;; esac
command -v python3 >/dev/null || { echo "alarm_latency: python3 is needed for the measurement" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/alarm_latency.XXXXXX")
PIDS=()
PG_DIR=""
PG_SCHEMAS=()
PSQL_ARGS=()
cleanup() {
  trap - EXIT INT TERM
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  local schema
  for schema in "${PG_SCHEMAS[@]}"; do
    "${PSQL_ARGS[@]}" -c "DROP SCHEMA $schema CASCADE" >/dev/null 2>&1 || true
  done
  if [ -n "$PG_DIR" ]; then "$ROOT/tests/pg/pg_server.sh" stop "$PG_DIR" >/dev/null 2>&1 || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM


# Stops the processes started since index FIRST of PIDS.
stop_from() {  # FIRST
  local i
  for ((i = $1; i < ${#PIDS[@]}; i++)); do kill -TERM "${PIDS[i]}" 2>/dev/null || true; done
  for ((i = $1; i < ${#PIDS[@]}; i++)); do wait "${PIDS[i]}" 2>/dev/null || true; done
  PIDS=("${PIDS[@]:0:$1}")
}

run_backend() {  # LABEL CONNECTION
  local label=$1 connection=$2 dir=$WORK/$1 first=${#PIDS[@]}
  local command_port live_port event_port listen_port control_port status=0
  mkdir -p "$dir/export"
  command_port=$(free_port); live_port=$(free_port); event_port=$(free_port); listen_port=$(free_port)
  "$APPS/dvrsim/dvrsim" --bind 127.0.0.1 --command-port "$command_port" --live-port "$live_port" \
    --event-port "$event_port" --control-port 0 >"$dir/sim.out" 2>"$dir/sim.log" &
  PIDS+=($!)
  wait_for "$dir/sim.out" '^ports ' "${PIDS[-1]}"
  control_port=$(sed -n 's/^ports .*control=\([0-9]*\).*$/\1/p' "$dir/sim.out")

  cat >"$dir/bench.ini" <<INI
[host]
program_folder = .
connection_string = $connection
component_id = BENCH
export_folder = export
listen_address = 127.0.0.1
automation_socket = dvrlink.sock

[dvr]
vendor = 1
address = 127.0.0.1
command_port = $command_port
live_port = $live_port
event_port = $event_port
listen_port = $listen_port
debug = 0
number = 0
name = Bench DVR
global_address_id = \$10000000000001
time_sync = 0
time_sync_hours = 24
time_zone = Eastern Standard Time
key = B
external_trigger = 1
config_id = 1
INI
  # The DVR and camera rows the alerts look up.
  "$APPS/dvrlink-db/dvrlink-db" init --connection "$connection" --config "$dir/bench.ini" >/dev/null

  # The service's standard output (the host-sink lines) goes to the
  # measuring program through a FIFO.
  mkfifo "$dir/events"
  "$APPS/dvrlink/dvrlink" --config "$dir/bench.ini" >"$dir/events" 2>"$dir/service.err" &
  PIDS+=($!)
  python3 "$HERE/alarm_latency.py" --control "127.0.0.1:$control_port" --events "$dir/events" \
    --count "$N" --label "$label" --service-pid "${PIDS[-1]}" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "alarm_latency: service log:" >&2
    tail -n 20 "$dir/service.err" >&2 || true
  fi
  stop_from "$first"
  return "$status"
}

run_backend SQLite "Provider=SQLite;Data Source=$WORK/host.db"

# PostgreSQL: each run in a schema of its own (rows of an earlier run would
# make the alerts duplicates), in the DVRLINK_TEST_PG database or a
# throwaway server's.
setting() {  # CONNECTION KEY
  tr ';' '\n' <<<"$1" | sed -n "s/^[[:space:]]*$2[[:space:]]*=[[:space:]]*//Ip" | head -n 1
}
run_postgres() {  # LABEL CONNECTION
  local schema=alarm_latency_$$_${#PG_SCHEMAS[@]}
  PSQL_ARGS=(env PGPASSWORD="$(setting "$2" password)" "$PSQL" -X -q -v ON_ERROR_STOP=1
    -h "$(setting "$2" host)" -p "$(setting "$2" port)" -U "$(setting "$2" 'user id')" -d "$(setting "$2" database)")
  "${PSQL_ARGS[@]}" -c "CREATE SCHEMA $schema" >/dev/null
  PG_SCHEMAS+=("$schema")
  run_backend "$1" "$2;Search Path=$schema"
}
PSQL=$(command -v psql || printf '%s\n' /usr/lib/postgresql/*/bin/psql | sort -V | tail -n 1)
if [ ! -x "$PSQL" ]; then
  echo "== PostgreSQL skipped: psql is not installed"
elif [ -n "${DVRLINK_TEST_PG:-}" ]; then
  run_postgres PostgreSQL "$DVRLINK_TEST_PG"
else
  PG_DIR=$(mktemp -d /tmp/alarm_latency_pg.XXXXXX)
  if CONNECTION=$("$ROOT/tests/pg/pg_server.sh" start "$PG_DIR" 2>"$WORK/pg.err"); then
    run_postgres PostgreSQL "$CONNECTION"
    # The same server through its Unix socket (a host name that is a folder):
    # what a service next to its database gets without the loopback TCP.
    run_postgres PostgreSQL-socket "${CONNECTION/Host=127.0.0.1/Host=$PG_DIR/socket}"
  else
    echo "== PostgreSQL skipped: no server could be started ($(tail -n 1 "$WORK/pg.err"))"
  fi
fi
