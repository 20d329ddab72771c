#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix made new for the run, on a virtual X display:
# - a silent install for all users puts the programs, the guide and the licence in Program Files,
#   the Start-menu entries (driver, guide, working folder) whose "Start in" is the working folder
#   in ProgramData, the example settings there with CR LF line ends, log\ and spool\, and the
#   uninstall entry with version, publisher, icon and the (quiet) uninstall commands;
# - the installed driver, started from its Start-menu shortcut, answers a station on COM9 (a
#   pseudo-terminal) and keeps the records in the spool while no server listens;
# - setup refuses while the driver runs;
# - a second install over the first, walked through its pages (pictures in SCREENSHOT_DIR,
#   installer_*.png), keeps the edited settings and the spool, and adds "start at logon";
# - the registered silent uninstall removes the programs, shortcuts and the uninstall entry and
#   leaves the settings, the spool and the logs;
# - a silent install for the user alone into the folder of /D= uses the user's folders and
#   registry, and its uninstaller refuses while the driver runs.
# The program file and the installer carry the same icon, and their version.
#
# Usage: installer_test.sh SETUP_EXE VERSION HOST_BIN_DIR SCREENSHOT_DIR WINE_PREFIX WINDRES
#   HOST_BIN_DIR holds the Linux drvtirval-station; WINE_PREFIX is removed and made again.
# INSTALLER_TEST_KEEP=1 keeps the prefix and the run's directory for a look afterwards.
# Exit 77 (skipped) when a tool, the installer or the station is missing; with
# WINDOWS_E2E_REQUIRED=1 that is a failure.
set -u

usage='usage: installer_test.sh SETUP_EXE VERSION HOST_BIN_DIR SCREENSHOT_DIR WINE_PREFIX WINDRES'
setup=${1:?$usage}
version=${2:?$usage}
host_bin=${3:?$usage}
shots=${4:?$usage}
prefix=${5:?$usage}
windres=${6:?$usage}
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
title='Драйвер Тирвал 2007'

# shellcheck source=../e2e/wine_test_setup.sh
source "$source_dir/tests/e2e/wine_test_setup.sh"
[ -f "$setup" ] || skip "$setup is not built (makensis missing?)"
[ -x "$host_bin/drvtirval-station" ] || skip "$host_bin/drvtirval-station is not built (the Linux build)"
for tool in wine wineserver winepath xvfb-run openbox xdotool xprop import socat python3 "$windres"; do
  command -v "$tool" > /dev/null 2>&1 || skip "$tool is not installed"
done

if [ -z "${INSTALLER_TEST_DISPLAY_READY:-}" ]; then
  export INSTALLER_TEST_DISPLAY_READY=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

mkdir -p "$shots" "$(dirname "$prefix")"
setup=$(absolute "$setup")
host_bin=$(absolute "$host_bin")
shots=$(absolute "$shots")
prefix=$(absolute "$prefix")
use_wine_prefix "$prefix" 'winemenubuilder.exe=d' # no menu entries of the prefix in the Linux desktop
# English pages, UTF-8 file names.
export LC_ALL=C.UTF-8

work=$(mktemp -d)
helpers=()
cleanup() {
  for pid in "${helpers[@]}"; do kill "$pid" 2> /dev/null; done
  wineserver -k > /dev/null 2>&1
  wait 2> /dev/null
  if [ -n "${INSTALLER_TEST_KEEP:-}" ]; then
    echo "kept: $work and $prefix"
  else
    rm -rf "$work" "$prefix"
  fi
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  for log in "$work"/*.out; do
    [ -f "$log" ] || continue
    echo "--- $(basename "$log") (last lines)"
    tail -n 20 "$log"
  done
  exit 1
}

wait_tries=600
# shellcheck source=../e2e/x11_windows.sh
source "$source_dir/tests/e2e/x11_windows.sh"

# A Windows path in the prefix as a Linux one.
unix_path() { winepath -u "$1" 2> /dev/null | tr -d '\r'; }
# A registry key's values as `reg query` prints them (one Wine process per key, not per value).
read_key() { wine reg query "$1" 2> /dev/null | tr -d '\r' > "$work/key.txt"; }
key_value() { sed -n "s/^ *$1 *REG_[A-Z_]* *//p" "$work/key.txt"; }
reg_key_exists() { wine reg query "$1" > /dev/null 2>&1; }
expect_value() {
  local found
  found=$(key_value "$1")
  [ "$found" = "$2" ] || fail "$1 is '$found', not '$2'"
}
# A shortcut's target and "Start in".
expect_shortcut() {
  [ -f "$1" ] || fail "no shortcut $1"
  local fields
  fields=$(python3 "$source_dir/tests/win/lnk_fields.py" "$1") || fail "cannot read $1"
  grep -qxF "target=$2" <<< "$fields" || fail "$(basename "$1") points elsewhere: $fields"
  grep -qxF "workdir=$3" <<< "$fields" || fail "$(basename "$1") starts elsewhere: $fields"
}
spool_files() { find "$1" -name '*.dd8' | wc -l; }
driver_window() { visible_window "$title"; }
no_driver_window() { no_visible_window "$title"; }
stop_driver() {
  wine taskkill /f /im drvtirval2000n.exe > "$work/taskkill.out" 2>&1
  wait_until no_driver_window || fail "the driver did not end"
}
# The pictures of a program file's icons, as windres prints them: one line each, sorted (NSIS
# orders them its own way).
icons_of() {
  "$windres" -i "$1" -O rc 2> /dev/null |
    awk '/^[0-9]+ 3 \/\* RT_ICON \*\//{on=1; icon=""; next}
         on && /^END/{print icon; on=0; next}
         on && !/^BEGIN/{icon = icon $0}' | sort
}
screenshot() {
  import -window root "$shots/$1" || fail "no screenshot $1"
  echo "screenshot: $shots/$1"
}

# The example settings as Windows gets them: the source file with CR LF line ends.
sed 's/$/\r/' "$source_dir/packaging/drvtirval2000n.ini.example" > "$work/example.ini"
program_files=(drvtirval2000n.exe drvtirval-station.exe drvtirval-server.exe drvtirval-decode.exe
  drvtirval-spool.exe drvtirval2000n.ini.example OPERATOR_GUIDE.html LICENSE.txt uninstall.exe)
expect_program_folder() {
  local file
  for file in "${program_files[@]}"; do
    [ -f "$1/$file" ] || fail "$file is not in $1"
  done
  cmp -s "$1/drvtirval2000n.ini.example" "$work/example.ini" ||
    fail "$1/drvtirval2000n.ini.example is not the example with CR LF line ends"
}

echo "-- a new prefix (${SECONDS} s)"
rm -rf "$prefix"
timeout -k 10 300 wineboot --init > "$work/wineboot.out" 2>&1 || fail "wineboot failed"
wineserver -w

echo "-- silent install for all users (${SECONDS} s)"
wine "$setup" /S > "$work/setup1.out" 2>&1
status=$?
[ "$status" -eq 0 ] || fail "setup /S ended with status $status"
program_dir="C:\\Program Files\\drvtirval2000n"
work_dir='C:\ProgramData\drvtirval2000n'
pf="$WINEPREFIX/drive_c/Program Files/drvtirval2000n"
wd="$WINEPREFIX/drive_c/ProgramData/drvtirval2000n"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
startup_link="$menu/StartUp/$title.lnk"
expect_program_folder "$pf"
grep -q '<meta charset="utf-8">' "$pf/OPERATOR_GUIDE.html" && grep -q '<table>' "$pf/OPERATOR_GUIDE.html" ||
  fail "OPERATOR_GUIDE.html is not the guide's page with its tables"
cmp -s "$wd/drvtirval2000n.ini" "$work/example.ini" ||
  fail "the working folder has no settings file made from the example"
[ -d "$wd/log" ] && [ -d "$wd/spool" ] || fail "the working folder has no log or spool folder"
expect_shortcut "$menu/drvtirval2000n/$title.lnk" "$program_dir\\drvtirval2000n.exe" "$work_dir"
expect_shortcut "$menu/drvtirval2000n/Operator guide.lnk" "$program_dir\\OPERATOR_GUIDE.html" "$work_dir"
expect_shortcut "$menu/drvtirval2000n/Working folder.lnk" "$work_dir" "$work_dir"
[ ! -e "$startup_link" ] || fail "a silent install without /AUTOSTART made $startup_link"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\drvtirval2000n'
read_key "$key"
expect_value DisplayVersion "$version"
expect_value Publisher "drvtirval2000n authors"
expect_value InstallLocation "$program_dir"
expect_value DisplayIcon "$program_dir\\drvtirval2000n.exe,0"
expect_value UninstallString "\"$program_dir\\uninstall.exe\" /AllUsers"
expect_value QuietUninstallString "\"$program_dir\\uninstall.exe\" /AllUsers /S"
[[ $(key_value DisplayName) == drvtirval2000n* ]] || fail "DisplayName '$(key_value DisplayName)'"
size=$(key_value EstimatedSize)
[[ $size =~ ^0x[0-9a-f]+$ ]] && [ $((size)) -gt 0 ] || fail "EstimatedSize '$size'"
reg_key_exists 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\drvtirval2000n' &&
  fail "an install for all users made the user's uninstall entry"

echo "-- the program file and the installer: one icon, the version (${SECONDS} s)"
icons_of "$pf/drvtirval2000n.exe" > "$work/exe-icons.rc"
icons_of "$setup" > "$work/setup-icons.rc"
[ -s "$work/exe-icons.rc" ] || fail "drvtirval2000n.exe has no icon"
cmp -s "$work/exe-icons.rc" "$work/setup-icons.rc" || fail "the installer's icon is not the program's"
for file in "$pf/drvtirval2000n.exe" "$setup"; do
  "$windres" -i "$file" -O rc 2> /dev/null | grep -qF "VALUE \"ProductVersion\", \"$version\"" ||
    fail "$(basename "$file") has no ProductVersion $version"
done

echo "-- the driver from its Start-menu shortcut answers the station on COM9 (${SECONDS} s)"
# As an operator sets it up: the station's port, and a message server that is not there, so that
# the records stay in the spool.
LC_ALL=C sed -i 's/^ComPort=.*\r$/ComPort=COM9\r/; s/^Port=.*\r$/Port=1\r/' "$wd/drvtirval2000n.ini"
grep -q $'^ComPort=COM9\r$' "$wd/drvtirval2000n.ini" || fail "could not set the port"
cp "$wd/drvtirval2000n.ini" "$work/edited.ini"
com_link=$WINEPREFIX/dosdevices/com9
socat pty,raw,echo=0,link="$com_link" pty,raw,echo=0,link="$work/station-tty" \
  > "$work/socat.out" 2>&1 &
helpers+=($!)
wait_until test -e "$work/station-tty" -a -e "$com_link" || fail "socat made no line"
wine start "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\drvtirval2000n\\$title.lnk" \
  > "$work/start.out" 2>&1 || fail "start of the shortcut failed"
wait_until driver_window || fail "the driver's window did not appear"
: > "$work/reports.script"
for object in 101 102; do
  echo "report --object $object --code 130 --zone 3 --partition 0" >> "$work/reports.script"
done
timeout -k 5 120 "$host_bin/drvtirval-station" --device "$work/station-tty" \
  --script "$work/reports.script" > "$work/station.out" 2>&1 || fail "the station ended with status $?"
grep -Eq '^summary frames 2 sent [0-9]+ acknowledged 2 ' "$work/station.out" ||
  fail "the station's frames were not answered 05"
[ "$(spool_files "$wd/spool")" -eq 2 ] || fail "the working folder's spool holds $(spool_files "$wd/spool") files, not 2"
compgen -G "$wd/log/drvtirval*.log" > /dev/null || fail "no frame log in the working folder's log folder"

echo "-- setup refuses while the driver runs (${SECONDS} s)"
wine "$setup" /S > "$work/setup-refused.out" 2>&1
status=$?
[ "$status" -eq 2 ] || fail "setup /S while the driver runs ended with status $status, not 2"
stop_driver

echo "-- setup refuses while the driver runs without a window (${SECONDS} s)"
(cd "$wd" && exec wine "$pf/drvtirval2000n.exe" --no-window > /dev/null 2> "$work/no-window.err") &
no_window_pid=$!
# Its hidden window exists before it says that it starts.
wait_until grep -q ' starts in ' "$work/no-window.err" ||
  fail "the driver without a window did not start: $(cat "$work/no-window.err")"
wine "$setup" /S > "$work/setup-refused-no-window.out" 2>&1
status=$?
[ "$status" -eq 2 ] || fail "setup /S while the driver runs without a window ended with status $status, not 2"
wine taskkill /f /im drvtirval2000n.exe > "$work/taskkill.out" 2>&1
wait_until eval '! kill -0 $no_window_pid' || fail "the driver without a window did not end"

echo "-- a second install over the first, through its pages (${SECONDS} s)"
openbox > "$work/openbox.out" 2>&1 &
helpers+=($!)
wait_until xprop -root _NET_SUPPORTING_WM_CHECK || fail "openbox did not start"
# /AUTOSTART ticks "Start at logon" on the components page.
wine "$setup" /AUTOSTART > "$work/setup2.out" 2>&1 &
setup_pid=$!
# A page's title may show for a moment while the one before it ends (on a loaded machine, the
# finish page's while the files are installed): the page counts once it has taken the focus and
# still has its title after its controls are drawn.
page_focused() {
  local id
  id=$(visible_window "drvtirval2000n Setup$1" | head -n 1)
  [ -n "$id" ] || return 1
  xdotool windowactivate --sync "$id" > /dev/null 2>&1 || xdotool windowfocus --sync "$id" || return 1
  sleep 0.5 # the page's controls are drawn after its title
  visible_window "drvtirval2000n Setup$1"
}
page() {
  wait_until page_focused "$1" || fail "no page 'drvtirval2000n Setup$1'"
  screenshot "$2"
  xdotool key Return
}
page '' installer_1_welcome.png
page ': License Agreement' installer_2_license.png
page ': Installation Mode' installer_3_mode.png
page ': Installation Options' installer_4_components.png
page ': Installation Folder' installer_5_folder.png
# The finish page keeps the Modern UI's blank subcaption.
page ' ' installer_6_finish.png
wait "$setup_pid"
status=$?
[ "$status" -eq 0 ] || fail "the second install ended with status $status"
expect_program_folder "$pf"
cmp -s "$wd/drvtirval2000n.ini" "$work/edited.ini" || fail "the second install changed the settings"
[ "$(spool_files "$wd/spool")" -eq 2 ] || fail "the second install changed the spool"
expect_shortcut "$startup_link" "$program_dir\\drvtirval2000n.exe" "$work_dir"

echo "-- the Start menu and the taskbar in a Wine desktop, pictures only (${SECONDS} s)"
wine explorer /desktop=drvtirval,1024x768 start \
  "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\drvtirval2000n\\$title.lnk" \
  > "$work/desktop.out" 2>&1 &
helpers+=($!)
wait_until visible_window 'drvtirval - Wine desktop' || fail "no Wine desktop"
# Inside the desktop nothing is a window of X: the open menu is told by its colour. The Start
# button, "Programs" and "drvtirval2000n" are where a 1024x768 desktop puts them.
pixel() { import -window root -crop "1x1+$1+$2" -depth 8 txt:- 2> /dev/null | grep -o '#[0-9A-F]\{6\}' | head -n 1; }
start_menu_open() { [ "$(pixel 60 700)" != "$(pixel 60 600)" ]; }
for _ in $(seq 30); do
  start_menu_open && break
  xdotool mousemove 30 757 click 1
  sleep 1
done
# The picture is for people to look at; a desktop too slow to draw on a loaded machine costs
# the picture, not the run.
if start_menu_open; then
  for x in 60 170 300; do
    xdotool mousemove "$x" 693
    sleep 1
  done
  screenshot installer_7_start_menu.png
  xdotool key Escape Escape Escape
else
  echo "NOTE: the Wine desktop's Start menu did not open; no picture of it this time"
fi
wine taskkill /f /im drvtirval2000n.exe > "$work/taskkill.out" 2>&1
wine taskkill /f /im explorer.exe > /dev/null 2>&1

echo "-- the registered silent uninstall keeps the settings, the spool and the logs (${SECONDS} s)"
read_key "$key"
quiet=$(key_value QuietUninstallString)
uninstaller=${quiet#\"}
uninstaller=${uninstaller%%\"*}
read -ra arguments <<< "${quiet##*\"}"
wine "$uninstaller" "${arguments[@]}" > "$work/uninstall.out" 2>&1 || fail "the uninstaller failed"
# It runs from a copy in the temporary folder, which goes on after the first has ended.
# The uninstall entry goes last.
key_gone() { ! reg_key_exists "$1"; }
wait_until key_gone "$key" || fail "the uninstall entry is still there"
[ ! -e "$pf" ] || fail "the program folder is still there: $(ls "$pf")"
[ ! -e "$menu/drvtirval2000n" ] || fail "the Start-menu folder is still there"
[ ! -e "$startup_link" ] || fail "the Startup shortcut is still there"
cmp -s "$wd/drvtirval2000n.ini" "$work/edited.ini" || fail "the uninstall changed the settings"
[ "$(spool_files "$wd/spool")" -eq 2 ] || fail "the uninstall changed the spool"
compgen -G "$wd/log/drvtirval*.log" > /dev/null || fail "the uninstall removed the frame logs"

echo "-- silent install for the user alone, into the folder of /D= (${SECONDS} s)"
user_dir='C:\drvtirval-user'
wine "$setup" /S /CurrentUser "/D=$user_dir" > "$work/setup3.out" 2>&1
status=$?
[ "$status" -eq 0 ] || fail "setup /S /CurrentUser ended with status $status"
local_app_data=$(wine cmd /c echo %LOCALAPPDATA% 2> /dev/null | tr -d '\r')
app_data=$(wine cmd /c echo %APPDATA% 2> /dev/null | tr -d '\r')
user_work_dir="$local_app_data\\drvtirval2000n"
uwd=$(unix_path "$user_work_dir")
user_menu=$(unix_path "$app_data\\Microsoft\\Windows\\Start Menu\\Programs")
expect_program_folder "$(unix_path "$user_dir")"
cmp -s "$uwd/drvtirval2000n.ini" "$work/example.ini" || fail "no settings file in $user_work_dir"
expect_shortcut "$user_menu/drvtirval2000n/$title.lnk" "$user_dir\\drvtirval2000n.exe" "$user_work_dir"
user_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\drvtirval2000n'
read_key "$user_key"
expect_value InstallLocation "$user_dir"
expect_value QuietUninstallString "\"$user_dir\\uninstall.exe\" /CurrentUser /S"
reg_key_exists "$key" && fail "an install for the user made the uninstall entry for all users"
cmp -s "$wd/drvtirval2000n.ini" "$work/edited.ini" || fail "an install for the user changed the settings for all users"

echo "-- its uninstaller refuses while the driver runs (${SECONDS} s)"
# No port: the driver starts with it stopped.
LC_ALL=C sed -i 's/^ComPort=.*\r$/ComPort=COM255\r/' "$uwd/drvtirval2000n.ini"
wine start "$app_data\\Microsoft\\Windows\\Start Menu\\Programs\\drvtirval2000n\\$title.lnk" \
  > "$work/start2.out" 2>&1 || fail "start of the user's shortcut failed"
wait_until driver_window || fail "the driver's window did not appear"
# _?= runs the uninstaller where it is and waits for it (the folder takes no quotes).
wine "$user_dir\\uninstall.exe" /CurrentUser /S "_?=$user_dir" > "$work/uninstall-refused.out" 2>&1
status=$?
[ "$status" -eq 2 ] || fail "the uninstaller ended with status $status while the driver ran, not 2"
[ -f "$(unix_path "$user_dir")/drvtirval2000n.exe" ] || fail "the refused uninstall removed the driver"
stop_driver
wine "$user_dir\\uninstall.exe" /CurrentUser /S > "$work/uninstall2.out" 2>&1 ||
  fail "the user's uninstaller failed"
wait_until key_gone "$user_key" || fail "the user's uninstall entry is still there"
[ ! -e "$(unix_path "$user_dir")" ] || fail "$user_dir is still there"
[ ! -e "$user_menu/drvtirval2000n" ] || fail "the user's Start-menu folder is still there"
[ -f "$uwd/drvtirval2000n.ini" ] || fail "the uninstall removed the user's settings"

echo "PASS"
