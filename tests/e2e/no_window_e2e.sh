#!/usr/bin/env bash
# The driver program without a window (--no-window) and without any display server, between the
# station simulator on a pseudo-terminal and the message-server simulator: frames are answered
# and their records reach the server; the display list's lines and the busy port's message go to
# standard error, with the date and time; a port that is missing at the start is opened once it
# appears; a port whose line hangs up (the station simulator ends) is closed, and reopened once a
# station is back on the same path; SIGTERM ends the driver with status 0, SIGINT too. No
# settings file, or one that names no port, ends it at once with status 78.
#   no_window_e2e.sh BIN_DIR
# Exit 77 (skipped) when the programs are not built.
set -u

bin=$(cd "${1:?usage: no_window_e2e.sh BIN_DIR}" && pwd)
for program in drvtirval2000n drvtirval-station drvtirval-server; do
  [ -x "$bin/$program" ] || { echo "SKIP: $bin/$program is not built"; exit 77; }
done
command -v iconv > /dev/null || { echo "SKIP: iconv is not installed"; exit 77; }

# No display server of any kind: only Qt Core may run.
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
# For a driver built with ASan: leaks inside system libraries are not ours.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")/.." && pwd)/lsan.supp"

work=$(mktemp -d)
pids=()
driver_pid=
cleanup() {
  [ -n "$driver_pid" ] && kill -KILL "$driver_pid" 2> /dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null; done
  wait 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  for file in driver.err server.out station.out station2.out error.txt; do
    [ -f "$work/$file" ] && { echo "--- $file (last lines)"; tail -n 30 "$work/$file"; }
  done
  exit 1
}

# Polls `$@` every 0.1 s; the bound guards against a hang and is no requirement on speed.
wait_until() {
  local tries=${wait_tries:-150}
  until "$@" > /dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
driver_ended() { ! kill -0 "$driver_pid" 2> /dev/null; }
driver_status() {
  wait_until driver_ended || fail "the driver did not end"
  wait "$driver_pid"
  local status=$?
  driver_pid=
  return $status
}
events() { grep -c '^event ' "$work/server.out"; }
at_least() { [ "$("$1")" -ge "$2" ]; }

cd "$work" || exit 1
"$bin/drvtirval-server" --port 0 > server.out 2>&1 &
pids+=($!)
wait_until grep -q '^listening on ' server.out || fail "the server simulator did not start"
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' server.out | head -n 1)

mkdir spool
iconv -f UTF-8 -t CP1251 > drvtirval2000n.ini << EOF
[main]
ComPort=COM1
PathForSoob=spool/
SendTorven8=1
[ServerHost]
Address=127.0.0.1
Port=$port
[Devices]
COM1=$work/station-tty
EOF

echo "-- the port is missing at the start: reported, tried again, opened once the station is there"
"$bin/drvtirval2000n" --no-window > driver.out 2> driver.err &
driver_pid=$!
wait_until grep -q 'Порт уже занят. Смените его.' driver.err || fail "no busy-port line on standard error"
# Every line starts with the date and time, as the display list's lines do.
while IFS= read -r line; do
  [[ $line == [0-9]*[0-9]" "[0-9]*:[0-9][0-9]:[0-9][0-9]" "* ]] ||
    fail "a line without the date and time: '$line'"
done < driver.err
iconv -f CP1251 -t UTF-8 error.txt | tr -d '\r' | grep -qx 'Порт уже занят. Смените его.' ||
  fail "the busy-port message is not in error.txt"
kill -0 "$driver_pid" || fail "the driver ended on a missing port"

"$bin/drvtirval-station" --pty --link "$work/station-tty" --random 5 > station.out 2>&1 &
station_pid=$!
pids+=($station_pid)
wait_until grep -q 'port COM1 open' driver.err || fail "the port did not open once it was there"

echo "-- frames are answered and delivered"
wait_until at_least events 5 || fail "the server received $(events) event records"
grep -q 'Соединение установлено.' driver.err || fail "the session's line is not on standard error"
grep -q 'station link up' driver.err || fail "no station link line"
[ ! -s driver.out ] || fail "the driver wrote to standard output: $(head -c 200 driver.out)"

echo "-- the station's line hangs up: the port is closed, reopened once a station is back there"
port_opened() { grep -c 'port COM1 open' "$work/driver.err"; }
error_lines() { wc -l < "$work/error.txt"; }
errors_before=$(error_lines)
# Its pseudo-terminal goes away with it, and so does the link to it.
kill -TERM "$station_pid"
wait "$station_pid"
wait_until grep -q 'port COM1 failed; it is reopened every 5 s' driver.err ||
  fail "the port whose line hung up was not closed"
# Long enough for two tries of the missing port, which must stay quiet.
sleep 11
[ "$(port_opened)" -eq 1 ] || fail "the port opened again without a station"
[ "$(grep -c 'port COM1 failed' driver.err)" -eq 1 ] ||
  fail "more than one line for one hang-up: $(grep -c 'port COM1 failed' driver.err)"
kill -0 "$driver_pid" || fail "the driver ended when the line hung up"
events_before=$(events)
"$bin/drvtirval-station" --pty --link "$work/station-tty" --random 5 > station2.out 2>&1 &
station_pid=$!
pids+=($station_pid)
wait_until at_least port_opened 2 || fail "the port did not open again once the station was back"
wait_until at_least events $((events_before + 5)) ||
  fail "after the reopening the server received $(($(events) - events_before)) event records"
kill -TERM "$station_pid"
wait "$station_pid"
grep -q ' reply 05 ' station2.out || fail "the new station's frames were not answered"
[ "$(error_lines)" -eq "$errors_before" ] || fail "the retries wrote to error.txt"

echo "-- SIGTERM ends it with status 0"
kill -TERM "$driver_pid"
driver_status || fail "the driver ended with status $? on SIGTERM"

echo "-- SIGINT ends it with status 0 too"
"$bin/drvtirval2000n" --no-window > driver.out 2> driver.err &
driver_pid=$!
wait_until grep -q 'Соединение установлено.' driver.err || fail "the second run did not connect"
kill -INT "$driver_pid"
driver_status || fail "the driver ended with status $? on SIGINT"

echo "-- no port configured: status 78 at once, the reason on standard error and in error.txt"
for settings in none COM255; do
  mkdir "$work/$settings"
  [ "$settings" = COM255 ] && printf '[main]\r\nComPort=COM255\r\n' > "$work/$settings/drvtirval2000n.ini"
  status=0
  (cd "$work/$settings" && timeout 30 "$bin/drvtirval2000n" --no-window 2> stderr) || status=$?
  [ "$status" -eq 78 ] || fail "with settings '$settings' the driver ended with status $status, not 78"
  grep -q 'No port chosen' "$work/$settings/stderr" || fail "no reason on standard error"
  grep -q 'No port chosen' "$work/$settings/error.txt" || fail "no reason in error.txt"
done

echo "PASS"
