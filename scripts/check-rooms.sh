#!/usr/bin/env bash
# Checks that includes follow the rooms of the source tree. Each room has a
# rank; a file may include its own room and rooms of lower rank. An include of
# a higher room ("running back up") must carry a comment on the same line
# giving its reason, and there may be at most four of them. src/platform/
# (the runtime) may never include upwards.
#   scripts/check-rooms.sh [ROOT]      lists every upward include, exit 1 on a
#                                      violation
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

rank() {
  case $1 in
    support) echo 0 ;;
    platform) echo 1 ;;
    database | timezone) echo 2 ;;
    component | protocol | mainform | dvr | alarms | retrieval) echo 3 ;;
    link | host | onvif) echo 4 ;;  # the stand-ins and the device clients
    service) echo 5 ;;
    *) echo 6 ;;            # apps/<program>/
  esac
}

upward=0 bad=0
while IFS= read -r line; do
  file=${line%%:*}
  rest=${line#*:}
  rest=${rest#*:}
  target=$(sed -n 's/^[[:space:]]*#include "\([^/"]*\)\/.*/\1/p' <<<"$rest")
  [ -n "$target" ] || continue
  case $file in
    src/*) from=$(cut -d/ -f2 <<<"$file") ;;
    *) from=apps ;;
  esac
  [ "$(rank "$target")" -gt "$(rank "$from")" ] || continue
  upward=$((upward + 1))
  if [ "$from" = platform ]; then
    echo "error: $file includes $target, above the runtime: ${rest}"
    bad=1
  elif ! grep -q '//' <<<"$rest"; then
    echo "error: $file includes $target, a room above it, without a reason: ${rest}"
    bad=1
  else
    echo "upward: $file -> ${rest}"
  fi
done < <(grep -rn '#include "' src apps --include='*.cpp' --include='*.h')
echo "includes running back up: $upward (at most 4)"
[ "$upward" -le 4 ] || bad=1
exit $bad
