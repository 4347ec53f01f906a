#!/bin/bash
# Idle RSS of dvrlink and the time from its start to the last Initialize's
# return, against dvrsim answering or refusing.
#   bench/service_startup.sh N up|refuse    (run from a scratch folder;
#   BUILD=/path/to/build; prints "N MODE startup_ms=.. rss_kb=..")
B=${BUILD:-build}/apps
N=$1; MODE=$2
rm -rf run && mkdir -p run/export
$B/dvrlink-db/dvrlink-db init --connection "Provider=SQLite;Data Source=$PWD/run/host.db" >/dev/null
BENCH_NAME=service_startup
# shellcheck source=bench/bench_lib.sh
. "$(dirname "$0")/bench_lib.sh"
# The component keeps ports as 16-bit signed numbers: ports below 32768.
$B/dvrsim/dvrsim --bind 127.0.0.9 --command-port "$(free_port)" --event-port "$(free_port)" --live-port "$(free_port)" \
  --control-port 0 > run/sim.out 2>/dev/null &
SIM=$!
for i in $(seq 50); do [ -s run/sim.out ] && break; sleep 0.05; done
read -r _ c e l k < run/sim.out
C=${c#command=}; E=${e#event=}; L=${l#live=}; K=${k#control=}
if [ "$MODE" = refuse ]; then exec 3<>/dev/tcp/127.0.0.9/$K; echo "refuse on" >&3; head -n1 <&3 >/dev/null; fi
{
echo "[host]"; echo "program_folder = ."; echo "connection_string = Provider=SQLite;Data Source=host.db"
echo "component_id = M"; echo "export_folder = export"; echo "listen_address = 127.0.0.1"
for i in $(seq 0 $((N-1))); do
  sec="dvr.$i"; [ $i = 0 ] && sec=dvr
  cat <<INI
[$sec]
vendor = 1
address = 127.0.0.9
command_port = $C
live_port = $L
event_port = $E
listen_port = $((24000 + i))
debug = 0
number = $i
name = D$i
global_address_id = \$1000000000000$i
time_sync = 0
time_sync_hours = 24
time_zone = Eastern Standard Time
key = M
external_trigger = 0
config_id = $((i+1))
INI
done
} > run/m.ini
# The service writes "N of N instance(s) started" to standard error right
# after the last Initialize has returned (its DONE line written): read
# through a FIFO, with the shell's own clock, so that nothing polls or forks
# while the service starts.
mkfifo run/err.fifo
exec 4<>run/err.fifo
start=$EPOCHREALTIME
$B/dvrlink/dvrlink --config run/m.ini > run/out.txt 2>&4 &
SVC=$!
while read -r -t 10 -u 4 line; do
  echo "$line" >> run/err.txt
  case "$line" in *"instance(s) started"* | *"no instance started"*) end=$EPOCHREALTIME; break ;; esac
done
cat <&4 >> run/err.txt &
DRAIN=$!
[ -n "${end:-}" ] || { echo "service_startup: the service did not start:" >&2; cat run/err.txt >&2; }
sleep 1
rss=$(awk '/VmRSS/{print $2}' /proc/$SVC/status)
s=${start/./}; e=${end:-$EPOCHREALTIME}; e=${e/./}
echo "$N $MODE startup_ms=$(( (e - s) / 1000 )).$(( (e - s) % 1000 / 100 )) rss_kb=$rss"
kill -TERM $SVC; wait $SVC 2>/dev/null; kill $SIM $DRAIN; wait $SIM $DRAIN 2>/dev/null
