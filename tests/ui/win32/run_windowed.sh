#!/usr/bin/env bash
# Runs a Windows test program that opens windows: under Wine, in a prefix of its own (made on
# first use, about 20 seconds), on a virtual X display of its own with a window manager. Wine
# draws windows only on a display, and without a window manager it waits up to two seconds for
# an answer to every activation. The prefix's server and desktop process belong to the display
# and are ended with it; tests that share the prefix must not run at the same time.
#   run_windowed.sh WINE_PREFIX PROGRAM [ARGUMENT...]
# Exit 77 (skipped) without Wine, xvfb-run or openbox.
set -u
for tool in wine wineserver xvfb-run openbox xprop; do
  command -v "$tool" > /dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
if [ -z "${RUN_WINDOWED_DISPLAY_READY:-}" ]; then
  export RUN_WINDOWED_DISPLAY_READY=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
export WINEPREFIX=$1
shift
export WINEDEBUG=-all
# No installer dialogs for Mono and Gecko, which nothing here needs.
export WINEDLLOVERRIDES='mscoree,mshtml='
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot --init > /dev/null 2>&1
  wineserver -w
fi

openbox > /dev/null 2>&1 &
manager=$!
ending() {
  wineserver -k 2> /dev/null
  kill "$manager" 2> /dev/null
}
trap ending EXIT
# 10 s is a bound against a hang, not a requirement.
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK > /dev/null 2>&1 && break
  sleep 0.1
done
wine "$@"
