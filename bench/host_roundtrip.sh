#!/usr/bin/env bash
# Request/reply round trips of the host command protocol against the least a
# server can do. Starts dvrsim and a dvrlink service with one instance
# (default logging) in a temporary folder on free loopback ports, and
# bench/echo_server (one thread, poll(), every byte sent straight back); the
# same bench/frame_client then measures command 39 (GetVersion) against both:
#   1 client:  N round trips;
#   8 clients: N round trips each, all at once (one thread, one poll());
# each measurement R times, the instance and the echo server taking turns.
# Prints every run, then the medians and the ratio dvrlink/echo of each.
#
#   BUILD=<build dir, configured with -DDVRLINK_BENCH=ON> bench/host_roundtrip.sh [N [R]]
#   (N defaults to 20000, R to 5)
set -euo pipefail
BUILD=${BUILD:-build}
N=${1:-20000}
R=${2:-5}
APPS=$BUILD/apps

for program in apps/dvrlink/dvrlink apps/dvrsim/dvrsim apps/dvrlink-db/dvrlink-db bench/echo_server \
  bench/frame_client; do
  if [ ! -x "$BUILD/$program" ]; then
    echo "host_roundtrip: $BUILD/$program is missing: build with -DDVRLINK_BENCH=ON first" >&2
    exit 2
  fi
done
case "$N$R" in '' | *[!0-9]*) echo "host_roundtrip: N and R must be whole numbers above 0" >&2; exit 2 ;; esac

BENCH_NAME=host_roundtrip
# shellcheck source=bench/bench_lib.sh
. "$(dirname "$0")/bench_lib.sh"
bench_work

COMMAND_PORT=$(free_port); LIVE_PORT=$(free_port); EVENT_PORT=$(free_port); LISTEN_PORT=$(free_port)
"$APPS/dvrsim/dvrsim" --bind 127.0.0.1 --command-port "$COMMAND_PORT" --live-port "$LIVE_PORT" \
  --event-port "$EVENT_PORT" --control-port 0 >"$WORK/sim.out" 2>"$WORK/sim.log" &
PIDS+=($!)
wait_for "$WORK/sim.out" '^ports ' "${PIDS[-1]}"

mkdir -p "$WORK/export"
"$APPS/dvrlink-db/dvrlink-db" init --connection "Provider=SQLite;Data Source=$WORK/host.db" >/dev/null
write_bench_ini "$WORK/bench.ini" 1 127.0.0.1 "$COMMAND_PORT" "$LIVE_PORT" "$EVENT_PORT" "$LISTEN_PORT" 0
"$APPS/dvrlink/dvrlink" --config "$WORK/bench.ini" >"$WORK/service.out" 2>"$WORK/service.err" &
PIDS+=($!)
wait_for "$WORK/service.err" 'instance(s) started' "${PIDS[-1]}"
# The DVR session comes up right after; the bench does not need it, but
# measures the instance in its usual state.
wait_for "$WORK/host-events.jsonl" '"code":10322' "${PIDS[-1]}" || true

"$BUILD/bench/echo_server" 127.0.0.1:0 >"$WORK/echo.out" 2>&1 &
PIDS+=($!)
wait_for "$WORK/echo.out" '^listening on ' "${PIDS[-1]}"
ECHO_PORT=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$WORK/echo.out")

rate() {  # PORT CLIENTS
  "$BUILD/bench/frame_client" "127.0.0.1:$1" "$N" "$2" 39 | awk '/^rate:/ { print $2 }'
}
median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "== command 39, $N round trips per client, $R runs each; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for clients in 1 8; do
  service_rates="" echo_rates="" ratios=""
  for _ in $(seq "$R"); do
    s=$(rate "$LISTEN_PORT" "$clients")
    e=$(rate "$ECHO_PORT" "$clients")
    service_rates+=" $s" echo_rates+=" $e"
    ratios+=" $(awk -v s="$s" -v e="$e" 'BEGIN { printf "%.3f", s / e }')"
    echo "   $clients client(s): dvrlink $s, echo $e round trips/s"
  done
  printf '== %d client(s): dvrlink %.0f, echo %.0f round trips/s (medians); ratio %.3f (median of%s)\n' \
    "$clients" "$(median <<<"$service_rates")" "$(median <<<"$echo_rates")" "$(median <<<"$ratios")" "$ratios"
done
echo "== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
