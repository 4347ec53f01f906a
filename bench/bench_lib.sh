# Shell helpers shared by the benchmark scripts; source it after setting
# BENCH_NAME (the script's name, used in messages).

# Prints the absolute path of $BUILD/apps after checking that each named
# program is built there; exits 2 with a message naming the missing one.
bench_apps() {  # PROGRAM...
  local apps program
  apps=$(cd "${BUILD:-build}/apps" 2>/dev/null && pwd) || { echo "$BENCH_NAME: ${BUILD:-build}/apps is missing: build first" >&2; exit 2; }
  for program in "$@"; do
    [ -x "$apps/$program/$program" ] || { echo "$BENCH_NAME: $apps/$program/$program is missing: build first" >&2; exit 2; }
  done
  echo "$apps"
}

# A loopback port below 32768 (the component keeps ports as 16-bit signed
# numbers) on which nothing listens.
free_port() {
  local port
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % 12000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  echo "$BENCH_NAME: no free port found" >&2
  return 1
}

# Waits up to 10 s for the file to hold the pattern while the process lives.
wait_for() {  # FILE PATTERN PID
  for _ in $(seq 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.05
  done
  echo "$BENCH_NAME: '$2' did not appear in $1" >&2
  cat "$1" >&2 2>/dev/null || true
  return 1
}

# Makes the temporary folder WORK and the list PIDS of started programs; when
# the script ends, each is sent SIGTERM and waited for, and WORK is removed.
bench_work() {
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/$BENCH_NAME.XXXXXX")
  PIDS=()
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}
bench_cleanup() {
  trap - EXIT INT TERM
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}

# dvrlink-onvif's configuration for dvrsim's ONVIF face on 127.0.0.1 (account
# admin/admin, all zones UTC), its DVR link ports on BIND.
bridge_ini() {  # ONVIF-PORT BIND COMMAND-PORT EVENT-PORT LIVE-PORT
  cat <<INI
[device]
url = http://127.0.0.1:$1/onvif/device_service
user = admin
password = admin
time_zone = UTC
[link]
bind = $2
command_port = $3
event_port = $4
live_port = $5
computer_time_zone = UTC
INI
}

# The IPv4 address N places after ADDRESS (127.0.0.2 + 300 = 127.0.1.46).
address_plus() {  # ADDRESS N
  local a b c d
  IFS=. read -r a b c d <<<"$1"
  local n=$(((a << 24 | b << 16 | c << 8 | d) + $2))
  echo "$((n >> 24 & 255)).$((n >> 16 & 255)).$((n >> 8 & 255)).$((n & 255))"
}

# Writes a service configuration for COUNT DVRs: DVR i at FIRST_ADDRESS + i
# (all on the same command, live and event ports), host clients on
# FIRST_LISTEN + i, configuration row i + 1; default logging, no time sync.
write_bench_ini() {  # FILE COUNT FIRST_ADDRESS COMMAND LIVE EVENT FIRST_LISTEN EXTERNAL_TRIGGER [CONNECTION]
  local file=$1 count=$2 i section
  {
    echo "[host]"
    echo "program_folder = ."
    echo "connection_string = ${9:-Provider=SQLite;Data Source=host.db}"
    echo "component_id = BENCH"
    echo "export_folder = export"
    echo "listen_address = 127.0.0.1"
    echo "automation_socket = dvrlink.sock"
    for ((i = 0; i < count; i++)); do
      section=dvr.$i
      [ "$i" -gt 0 ] || section=dvr
      cat <<INI

[$section]
vendor = 1
address = $(address_plus "$3" "$i")
command_port = $4
live_port = $5
event_port = $6
listen_port = $(($7 + i))
debug = 0
number = $i
name = Bench DVR $i
global_address_id = \$$((10000000000001 + i))
time_sync = 0
time_sync_hours = 24
time_zone = Eastern Standard Time
key = B
external_trigger = $8
config_id = $((i + 1))
INI
    done
  } >"$file"
}
