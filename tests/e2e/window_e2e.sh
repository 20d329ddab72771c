#!/usr/bin/env bash
# The real driver program on a virtual X display with a window manager and a notification area:
# the main window appears, hides to the tray on minimise, comes back from the tray menu, asks for
# the close code before it ends, refuses a wrong code, ends with status 0 on the right code
# without touching its settings, and ends with status 0 on SIGTERM, also while it asks for the
# code. Every window carries exactly its own title. Usage: window_e2e.sh PATH/TO/drvtirval2000n
set -u

driver=${1:?usage: window_e2e.sh PATH/TO/drvtirval2000n}
title='Драйвер Тирвал 2007'

# The command line needs no display.
if [ -z "${WINDOW_E2E_DISPLAY_READY:-}" ]; then
  env -u DISPLAY -u WAYLAND_DISPLAY "$driver" --version | grep -Eqx 'drvtirval2000n [0-9.]+' ||
    { echo "FAIL: --version"; exit 1; }
  env -u DISPLAY "$driver" --help | grep -q '^Usage: drvtirval2000n' || { echo "FAIL: --help"; exit 1; }
  env -u DISPLAY "$driver" --port=COM1 > /dev/null 2>&1
  status=$?
  [ "$status" -eq 2 ] || { echo "FAIL: a bad argument gave status $status, not 2"; exit 1; }
fi

for tool in xvfb-run openbox xdotool trayer xprop python3; do
  if ! command -v "$tool" > /dev/null 2>&1; then
    echo "SKIP: $tool is not installed"
    exit 77
  fi
done

# Start over inside a private X server.
if [ -z "${WINDOW_E2E_DISPLAY_READY:-}" ]; then
  export WINDOW_E2E_DISPLAY_READY=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

# For a driver built with ASan: leaks inside system libraries are not ours.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")/.." && pwd)/lsan.supp"

work=$(mktemp -d)
helpers=()
driver_pid=
cleanup() {
  if [ -n "$driver_pid" ] && kill -0 "$driver_pid" 2> /dev/null; then kill -KILL "$driver_pid"; fi
  for pid in "${helpers[@]}"; do kill "$pid" 2> /dev/null; done
  wait 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  if [ -f "$work/driver.log" ]; then
    echo "--- driver output"
    cat "$work/driver.log"
  fi
  exit 1
}

# shellcheck source=x11_windows.sh
source "$(dirname "${BASH_SOURCE[0]}")/x11_windows.sh"

driver_ended() { ! kill -0 "$driver_pid" 2> /dev/null; }

driver_windows() { xdotool search --onlyvisible --class drvtirval2000n; }
more_driver_windows_than() { [ "$(driver_windows | wc -l)" -gt "$1" ]; }

# Opens the driver's tray menu with the right button and picks an item by keys.
tray_menu() {
  local icon x y width height before
  icon=$(xdotool search --onlyvisible --class drvtirval2000n | while read -r id; do
    xwininfo -id "$id" | grep -q 'Width: 2[0-9]$' && echo "$id"
  done | head -n 1)
  [ -n "$icon" ] || fail "no tray icon"
  eval "$(xdotool getwindowgeometry --shell "$icon" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  before=$(driver_windows | wc -l)
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
  # Keys sent before the menu is mapped go to whatever has the focus; on a loaded machine the
  # menu can take well over a second to appear.
  wait_until more_driver_windows_than "$before" || fail "the tray menu did not open"
  sleep 0.2
  xdotool key "$@"
}

launch_driver() {
  rm -f "$work/code"
  (cd "$work" && DRVTIRVAL_CLOSE_CODE_FILE="$work/code" QT_QPA_PLATFORM=xcb \
    exec "$driver" > "$work/driver.log" 2>&1) &
  driver_pid=$!
}

start_driver() {
  launch_driver
  wait_until visible_window "$title" || fail "the main window did not appear"
  wait_until test -s "$work/code" || fail "no close code in $work/code"
  # The close code is a secret: nobody but the driver's user may read it.
  [ "$(stat -c %a "$work/code")" = 600 ] || fail "the close code file is $(stat -c %a "$work/code")"
}

# Exit status of the driver once it has ended.
driver_status() {
  wait_until driver_ended || fail "the driver did not end"
  wait "$driver_pid"
  local status=$?
  driver_pid=
  return $status
}

openbox > /dev/null 2>&1 &
helpers+=($!)
wait_until xprop -root _NET_SUPPORTING_WM_CHECK || fail "openbox did not start"
# The notification area: a tray host that takes the icon by XEmbed.
start_tray() {
  trayer --edge bottom --align right --widthtype request --height 24 --SetDockType true \
    > "$work/trayer.log" 2>&1 &
  helpers+=($!)
  wait_until xdotool search --class trayer
}
if ! start_tray && ! start_tray; then
  cat "$work/trayer.log"
  fail "trayer did not start"
fi

printf '[main]\r\nComPort=COM255\r\nSendTorven8=0\r\n' > "$work/drvtirval2000n.ini"
cp "$work/drvtirval2000n.ini" "$work/settings.before"

echo "-- start, minimise to the tray, restore from the tray menu"
start_driver
main_window=$(visible_window "$title" | head -n 1)
expect_title "$title"
wait_until managed "$main_window" || fail "the main window has no taskbar entry"
xdotool windowminimize "$main_window"
wait_until no_visible_window "$title" || fail "minimising left the window visible"
wait_until unmanaged "$main_window" || fail "minimising left the taskbar entry"
tray_menu Down Return
wait_until visible_window "$title" || fail "'Восстановить' did not bring the window back"
wait_until managed "$main_window" || fail "'Восстановить' did not bring the taskbar entry back"

echo "-- 'Закрыть' while hidden asks for the code; a wrong code is refused"
xdotool windowminimize "$(visible_window "$title" | head -n 1)"
wait_until no_visible_window "$title" || fail "minimising left the window visible"
tray_menu Up Return
wait_until visible_window 'Закрытый доступ' || fail "no close-code dialog"
expect_title 'Закрытый доступ'
focus_window 'Закрытый доступ'
xdotool type 1
xdotool key Tab space
wait_until visible_window advsm || fail "no message box for the wrong code"
expect_title advsm
focus_window advsm
xdotool key space
wait_until no_visible_window advsm || fail "the message box stayed"
kill -0 "$driver_pid" || fail "the driver ended on a wrong code"

echo "-- the right code ends the driver with status 0 and leaves the settings alone"
tray_menu Up Return
wait_until visible_window 'Закрытый доступ' || fail "no close-code dialog"
focus_window 'Закрытый доступ'
xdotool type "$(head -c 5 "$work/code")"
xdotool key Tab space
driver_status || fail "the driver ended with status $? after the right code"
cmp -s "$work/drvtirval2000n.ini" "$work/settings.before" || fail "the settings file changed"

echo "-- SIGTERM ends the driver with status 0"
start_driver
kill -TERM "$driver_pid"
driver_status || fail "the driver ended with status $? on SIGTERM"

echo "-- SIGTERM while the close-code dialog is open ends it too"
start_driver
tray_menu Up Return
wait_until visible_window 'Закрытый доступ' || fail "no close-code dialog"
kill -TERM "$driver_pid"
driver_status || fail "the driver ended with status $? on SIGTERM during the dialog"
cmp -s "$work/drvtirval2000n.ini" "$work/settings.before" || fail "the settings file changed"

echo "-- SIGTERM while start-up reports a busy port ends the driver before its session starts"
# A message server that only counts the connections made to it, once its input closes.
coproc server {
  python3 -c '
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(16)
print(s.getsockname()[1], flush=True)
sys.stdin.read()
s.setblocking(False)
count = 0
try:
    while True:
        s.accept()
        count += 1
except BlockingIOError:
    pass
print(count, flush=True)
'
}
helpers+=("$server_PID")
read -r server_port <&"${server[0]}" || fail "the counting server did not start"
printf '[main]\r\nComPort=COM7\r\nSendTorven8=1\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=%s\r\n[Devices]\r\nCOM7=%s\r\n' \
  "$server_port" "$work/no-such-device" > "$work/drvtirval2000n.ini"
launch_driver
wait_until visible_window advsm || fail "no message box for the busy port"
expect_title advsm
no_visible_window "$title" || fail "the main window showed before start-up ended"
kill -TERM "$driver_pid"
driver_status || fail "the driver ended with status $? on SIGTERM during start-up"
# The driver has ended: whatever it connected is queued at the server by now.
exec {server[1]}>&-
read -r connections <&"${server[0]}" || fail "the counting server did not answer"
[ "$connections" = 0 ] || fail "the driver made $connections connection(s) to the server on its way out"

echo "PASS"
