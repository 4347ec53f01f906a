#!/usr/bin/env bash
# The Debian package: built with cpack in the build folder, unpacked into a
# scratch root, its files, control data and programs checked, its systemd
# unit verified (systemd-analyze, when the machine has it), then removed.
#   tests/package/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
fail() { echo "package test: $*" >&2; echo "package test: 0 passed, 1 failed"; exit 1; }

(cd "$build" && cpack -G DEB >/dev/null) || fail "cpack failed"
deb=$(ls -t "$build"/dvrlink_*_*.deb | head -n1)
root=$(mktemp -d /tmp/dvrlink-pkgroot.XXXXXX)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x $deb failed"

for f in usr/bin/dvrlink usr/bin/dvrsim usr/bin/dvrctl usr/bin/dvrlink-db usr/bin/dvrlink-onvif etc/dvrlink/dvrlink.ini \
  lib/systemd/system/dvrlink.service usr/share/man/man1/dvrlink.1 usr/share/man/man1/dvrsim.1 \
  usr/share/man/man1/dvrctl.1 usr/share/man/man1/dvrlink-db.1 usr/share/man/man1/dvrlink-onvif.1 \
  usr/share/doc/dvrlink/configuration.md usr/share/doc/dvrlink/onvif.md; do
  [ -e "$root/$f" ] || fail "$f is not in the package"
done
for p in dvrlink dvrsim dvrctl dvrlink-db dvrlink-onvif; do
  v=$("$root/usr/bin/$p" --version) || fail "$p --version failed"
  [[ "$v" =~ ^$p\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "$p --version printed '$v'"
  grep -q "^\.SH SYNOPSIS\|^\.SH DESCRIPTION" "$root/usr/share/man/man1/$p.1" || fail "the man page of $p has no body"
done
depends=$(dpkg-deb -f "$deb" Depends)
for d in adduser libmicrohttpd12 libsystemd0 libsqlite3-0; do
  [[ "$depends" == *"$d"* ]] || fail "Depends lacks $d: $depends"
done
control=$(mktemp -d "$root/control.XXXXXX")
dpkg-deb -e "$deb" "$control"
grep -qx /etc/dvrlink/dvrlink.ini "$control/conffiles" || fail "dvrlink.ini is not a conffile"
for script in postinst prerm postrm; do
  [ -x "$control/$script" ] || fail "no $script"
  sh -n "$control/$script" || fail "$script does not parse"
done
grep -q "adduser --system" "$control/postinst" || fail "postinst creates no system user"

unit="$root/lib/systemd/system/dvrlink.service"
grep -qx "Type=notify" "$unit" || fail "the unit is not Type=notify"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" || fail "the unit does not reload with SIGHUP"
if command -v systemd-analyze >/dev/null; then
  # The unit as installed, its program taken from the scratch root.
  mkdir -p "$root/verify"
  sed "s|/usr/bin/dvrlink|$root/usr/bin/dvrlink|" "$unit" >"$root/verify/dvrlink.service"
  out=$(systemd-analyze verify --man=no "$root/verify/dvrlink.service" 2>&1) || fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
  echo "systemd-analyze verify: the unit is clean"
else
  echo "systemd-analyze verify skipped: systemd-analyze is not installed"
fi
rm -rf "$root"
[ ! -e "$root" ] || fail "the scratch root was not removed"
echo "package: $deb ($(stat -c %s "$deb") bytes)"
echo "package test: 1 passed, 0 failed"
