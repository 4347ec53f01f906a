#!/usr/bin/env bash
# Dvrlink's commands:
#   ./dvrlink.sh run      set up, build and start the product on loopback
#                         (--onvif: through dvrlink-onvif and dvrsim's ONVIF face)
#   ./dvrlink.sh test     set up, build and run every test, then the whole suite
#                         again under AddressSanitizer and UndefinedBehaviorSanitizer
#   ./dvrlink.sh package  build the Debian package (build/dvrlink_VERSION_ARCH.deb)
# All install what is missing first (Debian packages, by name; the browser
# test's puppeteer-core and the ONVIF cross-check's onvif client from npm,
# pinned, into build/npm and build/npm-onvif).
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)

PACKAGES=(
  cmake ninja-build ccache g++ clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libpq-dev postgresql libicu-dev tzdata nlohmann-json3-dev python3
  pkg-config libmicrohttpd-dev libsystemd-dev systemd help2man dpkg-dev chromium
  libcurl4-openssl-dev libxml2-dev libssl-dev openssl procps util-linux
  libgstreamer1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gir1.2-gst-rtsp-server-1.0 python3-gi ffmpeg
)
# Node.js and npm for the npm test tools: Debian's packages when the commands
# are missing (a Node.js installed otherwise brings its own npm).
COMMANDS=(node:nodejs npm:npm)

say() { printf '== %s\n' "$*"; }

ensure_packages() {
  local missing=() p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  for p in "${COMMANDS[@]}"; do
    command -v "${p%%:*}" >/dev/null || missing+=("${p#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing missing packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure_and_build() {  # DIR COMPILER BUILD_TYPE [extra cmake args...]
  local dir=$1 cxx=$2 type=$3
  shift 3
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DCMAKE_CXX_COMPILER="$cxx" "$@" >/dev/null
  elif [ $# -gt 0 ]; then
    cmake "$dir" "$@" >/dev/null
  fi
  cmake --build "$dir" -j"$(nproc)"
}

# Test tools from npm at the versions their lock files pin, into a folder
# of the build tree (nothing of them is committed).
install_npm_tools() {  # LOCK-FOLDER NPM-FOLDER
  local from=$1 npm_dir=$2
  if ! cmp -s "$from/package-lock.json" "$npm_dir/package-lock.json" || [ ! -d "$npm_dir/node_modules" ]; then
    say "installing test tools (npm, pinned) into $npm_dir"
    mkdir -p "$npm_dir"
    cp "$from/package.json" "$from/package-lock.json" "$npm_dir/"
    (cd "$npm_dir" && npm ci --no-audit --no-fund --ignore-scripts --loglevel=error)
  fi
}
# puppeteer-core for the console's browser test into DIR/npm; the npm
# package onvif for the ONVIF cross-check into DIR/npm-onvif.
install_browser_test_tools() {  # DIR
  install_npm_tools tests/console "$1/npm"
}
install_onvif_test_tools() {  # DIR
  install_npm_tools tests/onvif/npm "$1/npm-onvif"
  export DVRLINK_NPM_DIR="$ROOT/$1/npm-onvif"
}

PG_DIR=""
start_test_database() {
  if [ -x tests/pg/pg_server.sh ]; then
    PG_DIR=$(mktemp -d /tmp/dvrlink-pg.XXXXXX)
    say "starting a throwaway PostgreSQL server in $PG_DIR"
    DVRLINK_TEST_PG=$(tests/pg/pg_server.sh start "$PG_DIR")
    export DVRLINK_TEST_PG
    export DVRLINK_TEST_PG_CTL="$ROOT/tests/pg/pg_server.sh $PG_DIR"
  fi
}
stop_test_database() {
  if [ -n "$PG_DIR" ]; then
    tests/pg/pg_server.sh stop "$PG_DIR" || true
    PG_DIR=""
  fi
}

run_suite() {  # DIR
  ctest --test-dir "$1" -j"$(nproc)" --output-on-failure --timeout 300
}

cmd_test() {
  ensure_packages
  say "building (g++)"
  install_browser_test_tools build
  install_onvif_test_tools build
  configure_and_build build g++ RelWithDebInfo -DDVRLINK_BROWSER_TEST=ON -DDVRLINK_PACKAGE_TEST=ON
  trap stop_test_database EXIT
  start_test_database
  say "running the tests"
  run_suite build
  say "building with AddressSanitizer and UndefinedBehaviorSanitizer (clang++)"
  configure_and_build build-asan clang++ Debug -DDVRLINK_SANITIZE=ON -DDVRLINK_FUZZ=ON
  say "running the tests under the sanitizers"
  export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  run_suite build-asan
  if [ -f build/console-screenshot.png ]; then
    say "console screenshot (CI artifact): $ROOT/build/console-screenshot.png"
  fi
  # Bounded runs, each from its own seed corpus in tests/fuzz/corpus/TARGET
  # (what a run finds goes to a temporary folder): the command channel, the
  # automation endpoint's requests, the DVR link client's lines.
  local target runs corpus
  for target in process_data_arrival:20000 automation_request:10000 dvr_link_lines:3000; do
    runs=${target#*:}
    target=${target%%:*}
    say "fuzzing $target ($runs runs)"
    corpus=$(mktemp -d /tmp/dvrlink-fuzz.XXXXXX)
    build-asan/tests/fuzz/${target}_fuzz -runs="$runs" -max_len=2048 -seed=1 \
      "$corpus" "tests/fuzz/corpus/$target" 2>&1 | grep -E '^#[0-9]+.*DONE|^Done|ERROR|SUMMARY'
    rm -rf "$corpus"
  done
  stop_test_database
  say "all tests passed"
}

cmd_run() {
  ensure_packages
  say "building (g++)"
  configure_and_build build g++ RelWithDebInfo
  # Creates the demo database, starts dvrsim and dvrlink on loopback with
  # examples/demo.ini and shows the host events; Ctrl-C stops both. With
  # --onvif the DVR is dvrsim's ONVIF face behind dvrlink-onvif.
  exec scripts/run-demo.sh "$@"
}

cmd_package() {
  ensure_packages
  say "building (g++)"
  configure_and_build build g++ RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
  (cd build && cpack -G DEB)
  say "package: $(ls -t "$ROOT"/build/dvrlink_*.deb | head -n1)"
}

case "${1:-}" in
  test) cmd_test ;;
  run) shift; cmd_run "$@" ;;
  package) cmd_package ;;
  *)
    echo "usage: ./dvrlink.sh run [--onvif] | test | package" >&2
    exit 2
    ;;
esac
