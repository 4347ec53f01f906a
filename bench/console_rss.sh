#!/usr/bin/env bash
# Resident memory of the service with the status console on and off, for N
# DVRs (default 16): N dvrsim processes on 127.0.0.2.., a seeded SQLite
# database, the service started twice from the same configuration (once with
# [host] console, once without); VmRSS read after every instance connected and
# a settling pause, then with the console's page open in a headless Chromium
# (when puppeteer-core is in BUILD/npm) for a minute of requests.
#   BUILD=build bench/console_rss.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(cd "${BUILD:-build}" && pwd)
N=${1:-16}
dir=$(mktemp -d /tmp/dvrlink-rss.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$dir/export"
{
  printf '[host]\nprogram_folder = .\nconnection_string = Provider=SQLite;Data Source=host.db\n'
  printf 'component_id = RSS\nexport_folder = export\nlisten_address = 127.0.0.1\nautomation_socket = s.sock\n'
  printf 'CONSOLE_LINE\n'
} >"$dir/head.ini"
body=""
for i in $(seq 0 $((N - 1))); do
  address=127.0.0.$((i + 2))
  "$BUILD/apps/dvrsim/dvrsim" --bind "$address" --command-port 7000 --event-port 7002 --live-port 7001 \
    --control-port 7003 >/dev/null 2>&1 &
  pids+=($!)
  body+=$(printf '\n[dvr.%d]\nvendor = 1\naddress = %s\ncommand_port = 7000\nlive_port = 7001\nevent_port = 7002\nlisten_port = %d\ndebug = 0\nnumber = %d\nname = DVR %d\nglobal_address_id = $100000000000%02d\ntime_sync = 1\ntime_sync_hours = 24\ntime_zone = Eastern Standard Time\nkey = R\nexternal_trigger = 1\nconfig_id = %d\n' \
    "$i" "$address" $((25000 + i)) "$i" "$i" $((i + 1)) $((i + 1)))
done
sleep 0.5
run() {  # LABEL CONSOLE_LINE
  sed "s|CONSOLE_LINE|$2|" "$dir/head.ini" >"$dir/svc.ini"
  printf '%s\n' "$body" >>"$dir/svc.ini"
  rm -f "$dir/host-events.jsonl"
  "$BUILD/apps/dvrlink-db/dvrlink-db" init --config "$dir/svc.ini" >/dev/null
  (cd "$dir" && exec "$BUILD/apps/dvrlink/dvrlink" --config svc.ini >/dev/null 2>"$dir/err") &
  local svc=$!
  for _ in $(seq 100); do
    [ "$(cat "$dir/host-events.jsonl" 2>/dev/null | grep -c '"code":10322')" -ge "$N" ] && break
    sleep 0.1
  done
  sleep 3
  local rss
  rss=$(awk '/VmRSS/ {print $2}' "/proc/$svc/status")
  echo "$1: VmRSS $rss kB ($N DVRs, $(grep -c '"code":10322' "$dir/host-events.jsonl") connected)"
  if [ -n "$2" ] && [ -d "$BUILD/npm/node_modules/puppeteer-core" ]; then
    node -e '
      const p = require(process.argv[1] + "/npm/node_modules/puppeteer-core");
      (async () => {
        const b = await p.launch({ executablePath: "/usr/bin/chromium", headless: true,
          args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync"], userDataDir: process.argv[2] + "/chromium" });
        const page = await b.newPage();
        await page.goto("http://127.0.0.1:8091/");
        await new Promise((r) => setTimeout(r, 60000));
        await b.close();
      })();' "$BUILD" "$dir"
    echo "$1, page open for 60 s: VmRSS $(awk '/VmRSS/ {print $2}' "/proc/$svc/status") kB"
  fi
  kill -TERM "$svc"
  wait "$svc" || true
}
run "console off" ""
run "console on" "console = 127.0.0.1:8091"
