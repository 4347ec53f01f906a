#!/usr/bin/env bash
# Runs crosscheck.js (the npm package `onvif` against dvrsim's ONVIF face).
#   tests/onvif/npm/run.sh BUILD-DIR
# The package comes from $DVRLINK_NPM_DIR (default BUILD-DIR/npm-onvif), where
# ./dvrlink.sh test installs it with npm ci; without it the test is skipped
# (exit 77).
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
npm_dir=${DVRLINK_NPM_DIR:-$build/npm-onvif}
if ! command -v node >/dev/null || [ ! -f "$npm_dir/node_modules/onvif/package.json" ]; then
  echo "skipped: node or the npm package onvif in $npm_dir is missing (./dvrlink.sh test installs them)"
  exit 77
fi
out=$(mktemp -d /tmp/dvrlink-npm.XXXXXX)
"$build/apps/dvrsim/dvrsim" --bind 127.0.0.7 --command-port 0 --event-port 0 --live-port 0 --control-port 0 \
  --onvif 0 --onvif-password 'np-Pa55' --onvif-replay rtsp://127.0.0.7:8554/recording >"$out/ports" 2>"$out/log" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$out"' EXIT
for _ in $(seq 50); do
  grep -q onvif= "$out/ports" && break
  sleep 0.1
done
onvif=$(sed -n 's/.* onvif=\([0-9]*\).*/\1/p' "$out/ports")
control=$(sed -n 's/.* control=\([0-9]*\).*/\1/p' "$out/ports")
if [ -z "$onvif" ]; then
  cat "$out/log"
  exit 1
fi
NODE_PATH="$npm_dir/node_modules" node "$here/crosscheck.js" 127.0.0.7 "$onvif" "$control" admin 'np-Pa55' ||
  { cat "$out/log"; exit 1; }
