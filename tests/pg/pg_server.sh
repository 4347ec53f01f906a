#!/usr/bin/env bash
# Throwaway PostgreSQL server for the database tests.
#
#   pg_server.sh start DIR    initdb + start in DIR on a free port of 127.0.0.1
#                             (and a socket folder under DIR); prints the
#                             connection string on standard output
#   pg_server.sh stop DIR     stop the server and remove DIR
#   pg_server.sh pause DIR    stop the server, keeping its data
#   pg_server.sh resume DIR   start it again on the same port
#   pg_server.sh status DIR   exit 0 when the server answers
#   pg_server.sh freeze DIR   stop every process of the server (SIGSTOP): a
#                             hung server that still holds its connections
#   pg_server.sh thaw DIR     let them run again (SIGCONT)
#
# Uses the machine's PostgreSQL (initdb and pg_ctl under
# /usr/lib/postgresql/*/bin or on PATH). Run as root, the server runs as the
# `postgres` user through runuser. Authentication is "trust": the server
# listens on 127.0.0.1 only and lives as long as the test run.
set -euo pipefail

readonly DATABASE=dvrlink_test
readonly READY_SECONDS=30

die() {
  echo "pg_server.sh: $*" >&2
  exit 1
}

find_bin() {
  local tool=$1 dir
  # Newest installed version first.
  for dir in $(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V -r); do
    if [[ -x "$dir/$tool" ]]; then
      echo "$dir/$tool"
      return
    fi
  done
  command -v "$tool" 2>/dev/null || die "cannot find $tool (install the Debian package postgresql)"
}

# Runs a PostgreSQL program as the server's owner.
as_owner() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

port_in_use() {
  local port=$1
  if command -v ss >/dev/null 2>&1; then
    [[ -n $(ss -Hltn "sport = :$port" 2>/dev/null) ]]
  else
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null
  fi
}

free_port() {
  local port
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 40000))
    if ! port_in_use "$port"; then
      echo "$port"
      return
    fi
  done
  die "no free port found"
}

connection_string() {
  echo "Provider=PostgreSQL;Host=127.0.0.1;Port=$(cat "$DIR/port");Database=$DATABASE;User ID=postgres"
}

wait_ready() {
  local pg_isready deadline
  pg_isready=$(find_bin pg_isready)
  deadline=$((SECONDS + READY_SECONDS))
  until "$pg_isready" -q -h 127.0.0.1 -p "$(cat "$DIR/port")" -U postgres -d postgres; do
    if ((SECONDS >= deadline)); then
      tail -n 20 "$DIR/server.log" >&2 || true
      die "server in $DIR not ready after $READY_SECONDS s"
    fi
    sleep 0.2
  done
}

server_start() {
  as_owner "$(find_bin pg_ctl)" -D "$DIR/data" -l "$DIR/server.log" -w -t "$READY_SECONDS" start >/dev/null ||
    {
      tail -n 20 "$DIR/server.log" >&2 || true
      return 1
    }
}

server_running() {
  [[ -f "$DIR/data/postmaster.pid" ]] && as_owner "$(find_bin pg_ctl)" -D "$DIR/data" status >/dev/null 2>&1
}

cmd_start() {
  [[ ! -e "$DIR/data" ]] || die "$DIR already holds a server (stop it first)"
  mkdir -p "$DIR"
  DIR=$(cd "$DIR" && pwd)
  mkdir -p "$DIR/socket"
  if [[ $(id -u) -eq 0 ]]; then
    id postgres >/dev/null 2>&1 || die "no 'postgres' user to run the server as"
    chown postgres: "$DIR" "$DIR/socket"
    runuser -u postgres -- test -x "$DIR" ||
      die "the postgres user cannot enter $DIR (choose a folder whose parents it may traverse)"
  fi
  as_owner "$(find_bin initdb)" -D "$DIR/data" -U postgres --auth=trust -E UTF8 --locale=C >"$DIR/initdb.log" 2>&1 ||
    {
      cat "$DIR/initdb.log" >&2
      die "initdb failed"
    }
  local attempt port
  for attempt in 1 2 3; do
    port=$(free_port)
    echo "$port" >"$DIR/port"
    # Settings live in the data folder, so resume needs no options.
    cat >>"$DIR/data/postgresql.conf" <<CONF
# pg_server.sh
port = $port
listen_addresses = '127.0.0.1'
unix_socket_directories = '$DIR/socket'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 50
CONF
    if server_start; then break; fi
    ((attempt < 3)) || die "server would not start (see $DIR/server.log)"
    sed -i '/^# pg_server.sh$/,$d' "$DIR/data/postgresql.conf"
  done
  wait_ready
  as_owner "$(find_bin psql)" -X -q -h 127.0.0.1 -p "$port" -U postgres -d postgres \
    -c "CREATE DATABASE $DATABASE" >/dev/null
  connection_string
}

cmd_stop() {
  if [[ -d "$DIR/data" ]] && server_running; then
    as_owner "$(find_bin pg_ctl)" -D "$DIR/data" -m immediate -w -t "$READY_SECONDS" stop >/dev/null || true
  fi
  # Only remove what looks like ours.
  if [[ -e "$DIR" ]]; then
    [[ -f "$DIR/port" || ! -e "$DIR/data" ]] || die "$DIR does not look like a pg_server.sh folder; not removed"
    rm -rf "$DIR"
  fi
}

cmd_pause() {
  [[ -d "$DIR/data" ]] || die "no server in $DIR"
  if server_running; then
    as_owner "$(find_bin pg_ctl)" -D "$DIR/data" -m fast -w -t "$READY_SECONDS" stop >/dev/null
  fi
}

cmd_resume() {
  [[ -d "$DIR/data" ]] || die "no server in $DIR"
  if ! server_running; then
    server_start || die "server would not start again (see $DIR/server.log)"
  fi
  wait_ready
}

# The postmaster and every process it started.
server_pids() {
  local main
  main=$(head -n 1 "$DIR/data/postmaster.pid" 2>/dev/null) || die "no server in $DIR"
  echo "$main"
  pgrep -P "$main" || true
}

cmd_signal() {
  kill "-$1" $(server_pids)
}

cmd_status() {
  [[ -f "$DIR/port" ]] || exit 1
  "$(find_bin pg_isready)" -q -h 127.0.0.1 -p "$(cat "$DIR/port")" -U postgres -d postgres
}

[[ $# -eq 2 ]] || die "usage: pg_server.sh start|stop|pause|resume|status|freeze|thaw DIR"
DIR=$2
[[ -n "$DIR" && "$DIR" != "/" ]] || die "DIR must name a folder"
case "$1" in
  start) cmd_start ;;
  stop) cmd_stop ;;
  pause) cmd_pause ;;
  resume) cmd_resume ;;
  status) cmd_status ;;
  freeze) cmd_signal STOP ;;
  thaw) cmd_signal CONT ;;
  *) die "unknown verb '$1' (start, stop, pause, resume, status, freeze, thaw)" ;;
esac
