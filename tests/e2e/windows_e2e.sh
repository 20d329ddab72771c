#!/usr/bin/env bash
# The Windows driver program under Wine on a virtual X display, between the Linux station and
# message-server simulators. COM9 of the Wine prefix is one end of a pseudo-terminal pair; the
# station uses the other. Frames are answered and their records reach the server; while the
# server is down the records wait in spool files, which drain once it is back; the main window is
# titled "Драйвер Тирвал 2007"; minimising hides it and its taskbar entry, and the tray icon's menu
# brings it back or, while it is hidden, asks for the close code; a close sent to the window from
# outside (taskkill's WM_CLOSE) asks for the close code and a wrong code is refused; the window's
# close (Alt+F4) with the right code ends the program with status 0, the settings untouched; the
# end of the Windows session ends it with status 0 too. Pictures of the screen with the main
# window and with the close-code dialog go to SCREENSHOT_DIR (windows_*.png).
#
# Usage: windows_e2e.sh DRIVER_EXE HOST_BIN_DIR SCREENSHOT_DIR WINE_PREFIX
#   HOST_BIN_DIR holds the Linux drvtirval-station and drvtirval-server; WINE_PREFIX is made on
#   first use (about 20 seconds) and kept for later runs.
# WINDOWS_E2E_KEEP=1 keeps the run's directory (settings, logs, spool) for a look afterwards.
# Exit 77 (skipped) when Wine, the virtual display's tools, the program or the simulators are
# missing; with WINDOWS_E2E_REQUIRED=1 that is a failure.
set -u

exe=${1:?usage: windows_e2e.sh DRIVER_EXE HOST_BIN_DIR SCREENSHOT_DIR WINE_PREFIX}
host_bin=${2:?usage: windows_e2e.sh DRIVER_EXE HOST_BIN_DIR SCREENSHOT_DIR WINE_PREFIX}
shots=${3:?usage: windows_e2e.sh DRIVER_EXE HOST_BIN_DIR SCREENSHOT_DIR WINE_PREFIX}
prefix=${4:?usage: windows_e2e.sh DRIVER_EXE HOST_BIN_DIR SCREENSHOT_DIR WINE_PREFIX}
title='Драйвер Тирвал 2007'
dialog='Закрытый доступ'

# shellcheck source=wine_test_setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine_test_setup.sh"
[ -f "$exe" ] || skip "$exe is not built"
for program in drvtirval-station drvtirval-server; do
  [ -x "$host_bin/$program" ] || skip "$host_bin/$program is not built (the Linux build)"
done
for tool in wine wineserver xvfb-run openbox xdotool xprop xwininfo import socat iconv; do
  command -v "$tool" > /dev/null 2>&1 || skip "$tool is not installed"
done

# Start over inside a private X server.
if [ -z "${WINDOWS_E2E_DISPLAY_READY:-}" ]; then
  export WINDOWS_E2E_DISPLAY_READY=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

mkdir -p "$shots" "$(dirname "$prefix")"
exe=$(absolute "$exe")
host_bin=$(absolute "$host_bin")
shots=$(absolute "$shots")
prefix=$(absolute "$prefix")
use_wine_prefix "$prefix"
port_name=COM9
com_link=$WINEPREFIX/dosdevices/com9

work=$(mktemp -d)
helpers=()
driver_pid=
server_pid=
cleanup() {
  if [ -n "$driver_pid" ] && kill -0 "$driver_pid" 2> /dev/null; then kill -KILL "$driver_pid"; fi
  [ -n "$server_pid" ] && kill "$server_pid" 2> /dev/null
  for pid in "${helpers[@]}"; do kill "$pid" 2> /dev/null; done
  # The prefix's server and its desktop process belong to this display, which goes now.
  wineserver -k 2> /dev/null
  wait 2> /dev/null
  rm -f "$com_link"
  if [ -n "${WINDOWS_E2E_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- files of the run"
  (cd "$work" && find . -type f ! -name '*.log' ! -name '*.out' | sort)
  for log in "$work"/*.log "$work"/*.out "$work"/error.txt; do
    [ -f "$log" ] || continue
    echo "--- $(basename "$log") (last lines)"
    tail -n 20 "$log"
  done
  exit 1
}

# Wine starts slowly on a busy machine: waits are bounded at 60 s.
wait_tries=600
# shellcheck source=x11_windows.sh
source "$(dirname "${BASH_SOURCE[0]}")/x11_windows.sh"

# Where a window's client area lies on the screen: "X", "Y", "Width" or "Height".
geometry() { xwininfo -id "$1" | sed -n "s/^ *\(Absolute upper-left \)\{0,1\}$2: *//p"; }
# The driver's open popup menu: a window of the program without a title, a menu's size.
popup_menu() {
  local id
  for id in $(xdotool search --onlyvisible --class '^drvtirval2000n\.exe$'); do
    [ -z "$(xdotool getwindowname "$id")" ] && [ "$(geometry "$id" Height)" -lt 100 ] && echo "$id"
  done | head -n 1
}
menu_open() { [ -n "$(popup_menu)" ]; }
# Opens the driver's tray menu with the right button and picks its first item ("Восстановить")
# or its last ("Закрыть") with the left. Without a tray of the desktop's own, Wine shows the
# icons of the prefix in a window of its own, "Wine System Tray"; the driver's is the first.
tray_menu() {
  local tray menu x y height width
  tray=$(visible_window 'Wine System Tray' | head -n 1)
  [ -n "$tray" ] || fail "no notification area"
  xdotool mousemove $(($(geometry "$tray" X) + 10)) \
    $(($(geometry "$tray" Y) + $(geometry "$tray" Height) / 2)) click 3
  wait_until menu_open || fail "the tray icon opened no menu"
  menu=$(popup_menu)
  x=$(geometry "$menu" X) y=$(geometry "$menu" Y)
  width=$(geometry "$menu" Width) height=$(geometry "$menu" Height)
  # Two items with a separator between them: the first in the top fifth, the last in the bottom.
  case $1 in
    first) xdotool mousemove $((x + width / 2)) $((y + height / 5)) click 1 ;;
    last) xdotool mousemove $((x + width / 2)) $((y + height * 4 / 5)) click 1 ;;
  esac
}
driver_ended() { ! kill -0 "$driver_pid" 2> /dev/null; }
# Exit status of the driver once it has ended.
driver_status() {
  wait_until driver_ended || fail "the driver did not end"
  wait "$driver_pid"
  local status=$?
  driver_pid=
  return $status
}
screenshot() {
  import -window root "$shots/$1" || fail "no screenshot $1"
  echo "screenshot: $shots/$1"
}
spool_files() { find "$work/spool" -name '*.dd8' | wc -l; }
spool_holds() { [ "$(spool_files)" -eq "$1" ]; }
events_in() { grep -c '^event ' "$1" 2> /dev/null || true; }
server_has_events() { [ "$(events_in "$1")" -ge "$2" ]; }
# The object numbers the server received, sorted.
objects_in() { sed -n 's/^event .*object=\([0-9]*\).*/\1/p' "$1" | sort -n | tr '\n' ' '; }

start_server() {
  "$host_bin/drvtirval-server" --port "$1" > "$work/$2" 2>&1 &
  server_pid=$!
  wait_until grep -q '^listening on ' "$work/$2" || fail "the message-server simulator did not start"
}
stop_server() {
  kill -TERM "$server_pid"
  wait "$server_pid"
  server_pid=
}

# Sends one report per object number given and waits for the station to end: status 0 means
# every frame was answered 05.
send_reports() {
  local log=$1
  shift
  : > "$work/reports.script"
  for object in "$@"; do
    echo "report --object $object --code 130 --zone 3 --partition 0" >> "$work/reports.script"
  done
  timeout -k 5 120 "$host_bin/drvtirval-station" --device "$work/station-tty" \
    --script "$work/reports.script" > "$work/$log" 2>&1 ||
    fail "the station ended with status $? ($log)"
}

launch_driver() {
  rm -f "$work/code"
  (cd "$work" && DRVTIRVAL_CLOSE_CODE_FILE="$work/code" exec wine "$exe" > "$work/driver.log" 2>&1) &
  driver_pid=$!
}

start_driver() {
  launch_driver
  wait_until visible_window "$title" || fail "the main window did not appear"
  wait_until test -s "$work/code" || fail "no close code in $work/code"
}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "-- making the Wine prefix $WINEPREFIX"
  timeout -k 10 300 wineboot --init > "$work/wineboot.log" 2>&1 || fail "wineboot failed"
  wineserver -w
fi
# A server left from an earlier run would show this run's windows on its display.
wineserver -k 2> /dev/null
wineserver -w 2> /dev/null

echo "-- the command line"
wine "$exe" --version 2> /dev/null | tr -d '\r' | grep -Eqx 'drvtirval2000n [0-9.]+' ||
  fail "--version"
wine "$exe" --help 2> /dev/null | tr -d '\r' | grep -q '^Usage: drvtirval2000n' || fail "--help"
wine "$exe" --port=COM1 > /dev/null 2>&1
status=$?
[ "$status" -eq 2 ] || fail "a bad argument gave status $status, not 2"

openbox > "$work/openbox.log" 2>&1 &
helpers+=($!)
wait_until xprop -root _NET_SUPPORTING_WM_CHECK || fail "openbox did not start"

# The line: the driver's COM9 at one end, the station's device at the other.
mkdir -p "$WINEPREFIX/dosdevices"
rm -f "$com_link"
socat pty,raw,echo=0,link="$com_link" pty,raw,echo=0,link="$work/station-tty" \
  > "$work/socat.log" 2>&1 &
helpers+=($!)
wait_until test -e "$work/station-tty" -a -e "$com_link" || fail "socat made no line"

start_server 0 server1.out
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server1.out" | head -n 1)
mkdir "$work/spool" "$work/log"
# The settings file is Windows-1251 text.
iconv -f UTF-8 -t CP1251 > "$work/drvtirval2000n.ini" << EOF
; Проверка под Wine: станция и сервер сообщений - имитаторы.
[main]
ComPort=$port_name
BaudRate=9600
FirstNumber=4
PathForSoob=spool\\
Attention=00:01:00
Log=1
SendTorven8=1

[ServerHost]
Address=127.0.0.1
Port=$port
EOF
cp "$work/drvtirval2000n.ini" "$work/settings.before"

echo "-- start: the window with its title, frames answered and delivered"
start_driver
expect_title "$title"
send_reports station1.out 101 102 103
grep -Eq '^summary frames 3 sent [0-9]+ acknowledged 3 ' "$work/station1.out" ||
  fail "the station's first three frames were not all answered 05"
wait_until server_has_events "$work/server1.out" 3 || fail "the server did not receive the three records"
[ "$(objects_in "$work/server1.out")" = "40101 40102 40103 " ] ||
  fail "the server received objects $(objects_in "$work/server1.out")"
wait_until spool_holds 0 || fail "delivered records stayed in the spool"
compgen -G "$work/log/drvtirval*.log" > /dev/null || fail "no frame log in $work/log"
focus_window "$title"
screenshot windows_main_window.png
# The settings page, through its page button (the second of the toolbar band), and back.
main_window=$(visible_window "$title" | head -n 1)
page_button() {
  xdotool mousemove $(($(geometry "$main_window" X) + $1)) $(($(geometry "$main_window" Y) + 88)) \
    click 1
}
page_button 133
sleep 0.5
screenshot windows_main_window_settings.png
page_button 44

echo "-- the server down: frames answered, records kept in spool files"
stop_server
send_reports station2.out 201 202 203 204
grep -Eq '^summary frames 4 sent [0-9]+ acknowledged 4 ' "$work/station2.out" ||
  fail "the frames sent while the server was down were not all answered 05"
# Every record is in its file before its frame is answered.
spool_holds 4 || fail "the spool holds $(spool_files) files, not 4"

echo "-- the server back: the spool drains"
start_server "$port" server2.out
wait_until spool_holds 0 || fail "the spool still holds $(spool_files) files"
wait_until server_has_events "$work/server2.out" 4 || fail "the server did not receive the spooled records"
[ "$(objects_in "$work/server2.out")" = "40201 40202 40203 40204 " ] ||
  fail "the server received objects $(objects_in "$work/server2.out") from the spool"

echo "-- minimise to the tray, restore from the tray menu"
main_window=$(visible_window "$title" | head -n 1)
wait_until managed "$main_window" || fail "the main window has no taskbar entry"
xdotool windowminimize "$main_window"
wait_until no_visible_window "$title" || fail "minimising left the window visible"
wait_until unmanaged "$main_window" || fail "minimising left the taskbar entry"
tray_menu first
wait_until visible_window "$title" || fail "'Восстановить' did not bring the window back"
wait_until managed "$main_window" || fail "'Восстановить' did not bring the taskbar entry back"

echo "-- 'Закрыть' from the tray menu while hidden asks for the code; Cancel keeps the driver"
xdotool windowminimize "$main_window"
wait_until no_visible_window "$title" || fail "minimising left the window visible"
tray_menu last
wait_until visible_window "$dialog" || fail "'Закрыть' showed no close-code dialog"
focus_window "$dialog"
xdotool key Tab Tab space
wait_until no_visible_window "$dialog" || fail "'Отмена' left the dialog open"
no_visible_window advsm || fail "a cancel showed a message"
kill -0 "$driver_pid" || fail "the driver ended on a cancel"
tray_menu first
wait_until visible_window "$title" || fail "'Восстановить' did not bring the window back"

echo "-- a close from outside asks for the code; a wrong code is refused"
wine taskkill /im "$(basename "$exe")" > "$work/taskkill.log" 2>&1
wait_until visible_window "$dialog" || fail "taskkill's close showed no close-code dialog"
expect_title "$dialog"
focus_window "$dialog"
xdotool type 1
screenshot windows_close_code_dialog.png
xdotool key Tab space
wait_until visible_window advsm || fail "no message box for the wrong code"
expect_title advsm
focus_window advsm
xdotool key space
wait_until no_visible_window advsm || fail "the message box stayed"
kill -0 "$driver_pid" || fail "the driver ended on a wrong code"
no_visible_window "$dialog" || fail "the close-code dialog stayed after the wrong code"

echo "-- the window's close with the right code ends the driver with status 0"
focus_window "$title"
xdotool key --clearmodifiers alt+F4
wait_until visible_window "$dialog" || fail "the window's close showed no close-code dialog"
focus_window "$dialog"
xdotool type "$(head -c 5 "$work/code")"
xdotool key Tab space
driver_status || fail "the driver ended with status $? after the right code"
cmp -s "$work/drvtirval2000n.ini" "$work/settings.before" || fail "the settings file changed"

echo "-- the end of the Windows session ends the driver with status 0"
# With its port open and its session connected, so that a shutdown that waited for the session
# thread, which may wait for the main thread, would hang here.
introductions=$(grep -c '^MsgVersion' "$work/server2.out")
start_driver
connected_again() { [ "$(grep -c '^MsgVersion' "$work/server2.out")" -gt "$introductions" ]; }
wait_until connected_again || fail "the driver did not connect to the server"
# WM_QUERYENDSESSION and WM_ENDSESSION to every window of the prefix, as a log-off sends them;
# a program that refused the end, or hung in it, would still run. (Afterwards wineboot ends
# whatever still runs, as Windows does, so the status alone does not tell a clean end.)
wine wineboot --end-session > "$work/end-session.log" 2>&1
driver_status || fail "the driver ended with status $? at the end of the session"
cmp -s "$work/drvtirval2000n.ini" "$work/settings.before" || fail "the settings file changed"

echo "PASS"
