#!/usr/bin/env bash
# Runs a command on a virtual X display of its own, with a window manager: Wine draws windows
# only on a display, and without a window manager it waits up to two seconds for an answer to
# every activation.
#   on_virtual_display.sh COMMAND...
# Exit 77 (skipped) without xvfb-run or openbox.
set -u
for tool in xvfb-run openbox xprop; do
  command -v "$tool" > /dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
if [ -z "${ON_VIRTUAL_DISPLAY:-}" ]; then
  export ON_VIRTUAL_DISPLAY=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
openbox > /dev/null 2>&1 &
manager=$!
trap 'kill "$manager" 2> /dev/null' EXIT
# 10 s is a bound against a hang, not a requirement.
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK > /dev/null 2>&1 && break
  sleep 0.1
done
"$@"
