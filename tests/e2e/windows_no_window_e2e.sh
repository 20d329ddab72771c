#!/usr/bin/env bash
# The Windows driver program without a window (--no-window) under Wine, between the Linux station
# and message-server simulators: no window is shown; the display list's lines go to the standard
# error it was given; frames are answered and delivered; the health file is written; a close
# request (taskkill without /F) ends it as an accepted close, with status 0 and the port shown
# closed in the last health file.
#
# Usage: windows_no_window_e2e.sh DRIVER_EXE HOST_BIN_DIR WINE_PREFIX
# Exit 77 (skipped) when Wine, the virtual display, the program or the simulators are missing;
# with WINDOWS_E2E_REQUIRED=1 that is a failure.
set -u

exe=${1:?usage: windows_no_window_e2e.sh DRIVER_EXE HOST_BIN_DIR WINE_PREFIX}
host_bin=${2:?usage: windows_no_window_e2e.sh DRIVER_EXE HOST_BIN_DIR WINE_PREFIX}
prefix=${3:?usage: windows_no_window_e2e.sh DRIVER_EXE HOST_BIN_DIR WINE_PREFIX}

# shellcheck source=wine_test_setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine_test_setup.sh"
[ -f "$exe" ] || skip "$exe is not built"
for program in drvtirval-station drvtirval-server; do
  [ -x "$host_bin/$program" ] || skip "$host_bin/$program is not built (the Linux build)"
done
for tool in wine wineserver xvfb-run xdotool socat; do
  command -v "$tool" > /dev/null 2>&1 || skip "$tool is not installed"
done

# A private X server: the program's hidden window needs a desktop, as on Windows.
if [ -z "${WINDOWS_E2E_DISPLAY_READY:-}" ]; then
  export WINDOWS_E2E_DISPLAY_READY=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

mkdir -p "$(dirname "$prefix")"
exe=$(absolute "$exe")
host_bin=$(absolute "$host_bin")
prefix=$(absolute "$prefix")
use_wine_prefix "$prefix"
com_link=$WINEPREFIX/dosdevices/com9

work=$(mktemp -d)
helpers=()
driver_pid=
cleanup() {
  [ -n "$driver_pid" ] && kill -KILL "$driver_pid" 2> /dev/null
  for pid in "${helpers[@]}"; do kill "$pid" 2> /dev/null; done
  wineserver -k 2> /dev/null
  wait 2> /dev/null
  rm -f "$com_link"
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  for log in "$work"/*.out "$work"/*.err "$work"/error.txt; do
    [ -f "$log" ] || continue
    echo "--- $(basename "$log") (last lines)"
    tail -n 20 "$log"
  done
  exit 1
}

# Wine starts slowly on a busy machine: waits are bounded at 60 s.
wait_tries=600
wait_until() {
  local tries=$wait_tries
  until "$@" > /dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
driver_ended() { ! kill -0 "$driver_pid" 2> /dev/null; }
events() { grep -c '^event ' "$work/server.out"; }
has_events() { [ "$(events)" -ge "$1" ]; }

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout -k 10 300 wineboot --init > "$work/wineboot.out" 2>&1 || fail "wineboot failed"
  wineserver -w
fi
wineserver -k 2> /dev/null
wineserver -w 2> /dev/null

mkdir -p "$WINEPREFIX/dosdevices"
rm -f "$com_link"
socat pty,raw,echo=0,link="$com_link" pty,raw,echo=0,link="$work/station-tty" \
  > "$work/socat.out" 2>&1 &
helpers+=($!)
wait_until test -e "$work/station-tty" -a -e "$com_link" || fail "socat made no line"

"$host_bin/drvtirval-server" --port 0 > "$work/server.out" 2>&1 &
helpers+=($!)
wait_until grep -q '^listening on ' "$work/server.out" || fail "the server simulator did not start"
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.out" | head -n 1)

mkdir "$work/spool"
printf '[main]\r\nComPort=COM9\r\nPathForSoob=spool\\\r\nSendTorven8=1\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=%s\r\n[Health]\r\nFile=station1.prom\r\nInterval=1\r\nName=station1\r\n' \
  "$port" > "$work/drvtirval2000n.ini"

echo "-- no window, lines on standard error, frames answered and delivered"
(cd "$work" && exec wine "$exe" --no-window > driver.out 2> driver.err) &
driver_pid=$!
wait_until grep -q 'Соединение установлено.' "$work/driver.err" || fail "no session line on standard error"
if xdotool search --onlyvisible --class '^drvtirval2000n\.exe$' > /dev/null 2>&1; then
  fail "a window of the driver is visible"
fi
timeout -k 5 120 "$host_bin/drvtirval-station" --device "$work/station-tty" --count 3 \
  report --object 101 --code 130 --zone 1 --partition 0 > "$work/station.out" 2>&1 ||
  fail "the station ended with status $?"
grep -Eq '^summary frames 3 sent [0-9]+ acknowledged 3 ' "$work/station.out" ||
  fail "the frames were not all answered 05"
wait_until has_events 3 || fail "the server received $(events) records"
wait_until grep -qx 'drvtirval_frames_total{driver="station1",reply="05"} 3' "$work/station1.prom" ||
  fail "the health file does not count the frames"

echo "-- a close request ends it with status 0"
wine taskkill /IM drvtirval2000n.exe > "$work/taskkill.out" 2>&1
wait_until driver_ended || fail "the driver did not end on a close request"
wait "$driver_pid"
status=$?
driver_pid=
[ "$status" -eq 0 ] || fail "the driver ended with status $status"
grep -qx 'drvtirval_station_port_open{driver="station1"} 0' "$work/station1.prom" ||
  fail "the last health file does not show the port closed"

echo "PASS"
