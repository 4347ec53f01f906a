#!/usr/bin/env bash
# The cost per DVR: one dvrlink service with N instances (default 256), each
# linked to its own DVR address 127.0.1.1, 127.0.1.2, ... served by one
# dvrsim listening on every loopback address, with external triggering on
# and a SQLite host database seeded with every DVR's rows. Measures
#   start-up: from the start of the process to the last instance's
#             Initialize DONE line (polled every 5 ms);
#   RSS:      of the service a second after that;
#   events/s: A alarm position events sent to dvrsim (default 100), each
#             reaching every instance's alarm subscription, so N x A alerts
#             (host event 10309, a dvr_alarms row each) across all of them,
#             from the first command to the last host-event line;
# and prints them with the figures per DVR and the load average.
#
#   BUILD=<build dir> bench/scale.sh [N [A]]
set -euo pipefail
BUILD=${BUILD:-build}
N=${1:-256}
A=${2:-100}
BENCH_NAME=scale
# shellcheck source=bench/bench_lib.sh
. "$(dirname "$0")/bench_lib.sh"
APPS=$(bench_apps dvrlink dvrsim dvrlink-db) || exit 2
case "$N$A" in '' | *[!0-9]*) echo "scale: N and A must be whole numbers above 0" >&2; exit 2 ;; esac

bench_work
now_ms() { echo $(($(date +%s%N) / 1000000)); }
count() { local n; n=$(grep -c "$2" "$1" 2>/dev/null); echo "${n:-0}"; }

COMMAND_PORT=$(free_port); LIVE_PORT=$(free_port); EVENT_PORT=$(free_port)
"$APPS/dvrsim/dvrsim" --bind 0.0.0.0 --command-port "$COMMAND_PORT" --live-port "$LIVE_PORT" \
  --event-port "$EVENT_PORT" --control-port 0 >"$WORK/sim.out" 2>"$WORK/sim.log" &
PIDS+=($!)
wait_for "$WORK/sim.out" '^ports ' "${PIDS[-1]}"
CONTROL_PORT=$(sed -n 's/^ports .*control=\([0-9]*\).*$/\1/p' "$WORK/sim.out")

# N consecutive host-client ports on which nothing listens.
FIRST_LISTEN=""
for _ in $(seq 50); do
  base=$((20000 + RANDOM % (32000 - 20000 - N)))
  taken=0
  for ((i = 0; i < N; i += 7)); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$((base + i))") 2>/dev/null; then taken=1; break; fi
  done
  [ "$taken" = 0 ] && { FIRST_LISTEN=$base; break; }
done
[ -n "$FIRST_LISTEN" ] || { echo "scale: no free run of $N ports" >&2; exit 1; }

mkdir -p "$WORK/export"
write_bench_ini "$WORK/bench.ini" "$N" 127.0.1.1 "$COMMAND_PORT" "$LIVE_PORT" "$EVENT_PORT" "$FIRST_LISTEN" 1 \
  "Provider=SQLite;Data Source=$WORK/host.db"
"$APPS/dvrlink-db/dvrlink-db" init --connection "Provider=SQLite;Data Source=$WORK/host.db" \
  --config "$WORK/bench.ini" >/dev/null

cd "$WORK"
start=$(now_ms)
"$APPS/dvrlink/dvrlink" --config bench.ini >/dev/null 2>service.err &
PIDS+=($!)
SERVICE=${PIDS[-1]}
until [ "$(count DebugIntegratedExtensionService.log DONE)" -ge "$N" ]; do
  kill -0 "$SERVICE" 2>/dev/null || { echo "scale: the service ended" >&2; tail service.err >&2; exit 1; }
  [ $(($(now_ms) - start)) -lt 60000 ] || { echo "scale: not started within 60 s" >&2; exit 1; }
  sleep 0.005
done
startup=$(($(now_ms) - start))
sleep 1
rss=$(awk '/VmRSS/ { print $2 }' "/proc/$SERVICE/status")

# Every instance's alarm subscription up (host event 10322).
for _ in $(seq 600); do
  [ "$(count host-events.jsonl '"code":10322')" -ge "$N" ] && break
  sleep 0.05
done
sessions=$(count host-events.jsonl '"code":10322')
[ "$sessions" -ge "$N" ] || { echo "scale: only $sessions of $N DVR sessions up" >&2; exit 1; }

exec 3<>"/dev/tcp/127.0.0.1/$CONTROL_PORT"
first=$(now_ms)
for ((i = 0; i < A; i++)); do
  printf 'alarm pos %d MOTION 2027%04d120000 2027%04d120030\n' $((i % 16)) $((101 + i / 16)) $((101 + i / 16)) >&3
  read -r _ <&3
done
want=$((N * A))
until [ "$(count host-events.jsonl '"code":10309')" -ge "$want" ]; do
  kill -0 "$SERVICE" 2>/dev/null || { echo "scale: the service ended" >&2; exit 1; }
  [ $(($(now_ms) - first)) -lt 300000 ] || { echo "scale: only $(count host-events.jsonl '"code":10309') of $want alerts" >&2; exit 1; }
  sleep 0.02
done
elapsed=$(($(now_ms) - first))
awk -v n="$N" -v a="$A" -v s="$startup" -v r="$rss" -v e="$elapsed" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" 'BEGIN {
  printf "%d DVRs: start-up %d ms (%.2f ms per DVR); RSS %.1f MB (%.1f KB per DVR)\n", n, s, s / n, r / 1024, r / n
  printf "%d alerts (%d events x %d DVRs) in %d ms: %.0f alerts/s; load average %s\n", n * a, a, n, e, n * a * 1000 / e, load
}'
