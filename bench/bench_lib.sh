# Shell helpers shared by the benchmark scripts; source it after setting
# BENCH_NAME (the script's name, used in messages).

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
