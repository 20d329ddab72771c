#!/usr/bin/env bash
# Runs scripts/demo for a bounded time in a clean directory and checks that the message-server
# simulator received the alarms the station simulator sent, with the object numbers, codes and
# zones the station meant.
#   demo_test.sh BIN_DIR
# Exit 77 (skipped) when the driver is not built.
set -euo pipefail
bin_dir=$(cd "${1:?usage: demo_test.sh BIN_DIR}" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
[ -x "$bin_dir/drvtirval2000n" ] || {
  echo "skipped: $bin_dir/drvtirval2000n is not built (DRV_BUILD_UI=OFF?)"
  exit 77
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  echo "---- demo output" >&2; cat "$work/demo.out" >&2 || true
  for file in "$work"/drvtirval-demo.*/{station,server,driver}.out; do
    [ -f "$file" ] && { echo "---- $file (last lines)" >&2; tail -n 20 "$file" >&2; }
  done
  exit 1
}

cd "$work"
# The time-out is a safety bound around the demo's own --duration, not a measurement.
status=0
TMPDIR=$work timeout -k 10 180 env -u DISPLAY "$source_dir/scripts/demo" \
  --duration 15 --bin-dir "$bin_dir" >demo.out 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "scripts/demo ended with status $status"

scratches=("$work"/drvtirval-demo.*)
[ ${#scratches[@]} -eq 1 ] && [ -d "${scratches[0]}" ] || fail "no scratch directory"
scratch=${scratches[0]}
grep -q "Scratch directory: $scratch" demo.out || fail "the demo did not say where its files are"

shown=$(grep -c '^event ' demo.out || true)
[ "$shown" -gt 0 ] || fail "the demo showed no event lines"
received=$(grep -c '^event ' "$scratch/server.out" || true)
echo "events shown: $shown, received by the server: $received"

# Every report the server received must be one the station sent: object number completed with
# FirstNumber 4 and the partition, code = qualifier + three-digit event number, and the zone.
unexpected=$(awk '
  FNR == NR {
    if ($0 ~ /^message [0-9]+: report /) {
      for (i = 1; i <= NF; i++) f[$i] = $(i + 1)
      code = sprintf("%d%03d", f["--qualifier"], f["--code"])
      sent["object=" (f["--object"] + (4 + f["--partition"]) * 10000) " code=" substr(code, 1, 4) \
           " zone=" f["--zone"]] = 1
    }
    next
  }
  /^event / {
    object = ""; code = ""; zone = ""
    for (i = 1; i <= NF; i++) {
      if ($i ~ /^object=/) object = $i
      if ($i ~ /^code=/) code = $i
      if ($i ~ /^zone=/) zone = $i
    }
    if (length(code) == 9 && !((object " " code " " zone) in sent)) print
  }' "$scratch/station.out" "$scratch/server.out")
[ -z "$unexpected" ] || fail "the server received reports the station did not send: $unexpected"

grep -q '^station: summary .* acknowledged [1-9]' demo.out || fail "no station summary with acknowledged frames"
compgen -G "$scratch/log/drvtirval*.log" >/dev/null || fail "no frame log in $scratch/log"

# The end of --duration (as Ctrl-C) leaves none of the three programs running.
pids=$(sed -n 's/^Processes: server \([0-9]*\), station \([0-9]*\), driver \([0-9]*\)\.$/\1 \2 \3/p' demo.out)
[ -n "$pids" ] || fail "the demo did not name its processes"
for pid in $pids; do
  if kill -0 "$pid" 2>/dev/null; then
    ps -o pid,args -p "$pid" >&2 || true
    fail "process $pid of the demo is still running"
  fi
done
echo "demo test passed"
