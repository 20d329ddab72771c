#!/usr/bin/env bash
# Runs Windows test programs with two COM ports joined like a null-modem cable: socat makes a
# pair of pseudo-terminals, and the Wine prefix maps COM41 and COM42 to them. The programs find
# the ports in DRV_TEST_COM_PAIR.
#   com_port_pair.sh WINE_RUN WINE_PREFIX PROGRAM...
set -euo pipefail
run=$1
prefix=$2
shift 2
command -v socat >/dev/null || { echo "socat is missing: skipped"; exit 77; }

# The prefix exists once a program has run in it.
"$run" cmd /c exit >/dev/null 2>&1 || true
mkdir -p "$prefix/dosdevices"

work=$(mktemp -d)
socat pty,raw,echo=0,link="$work/driver" pty,raw,echo=0,link="$work/station" 2>"$work/socat.log" &
socat_pid=$!
cleanup() {
  kill "$socat_pid" 2>/dev/null || true
  rm -f "$prefix/dosdevices/com41" "$prefix/dosdevices/com42"
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -e "$work/driver" ] && [ -e "$work/station" ] && break
  sleep 0.1
done
[ -e "$work/driver" ] && [ -e "$work/station" ] || { cat "$work/socat.log"; exit 1; }
ln -sfn "$(readlink -f "$work/driver")" "$prefix/dosdevices/com41"
ln -sfn "$(readlink -f "$work/station")" "$prefix/dosdevices/com42"

export DRV_TEST_COM_PAIR='\\.\COM41,\\.\COM42'
status=0
for program in "$@"; do
  "$run" "$program" || status=1
done
exit $status
