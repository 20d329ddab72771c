#!/usr/bin/env bash
# The health file as a monitoring centre reads it: Debian's prometheus-node-exporter with only its
# textfile collector, on the directory the driver writes its file to, scraped over HTTP while the
# station simulator sends frames. With the server up, frames and deliveries count up and the
# driver is connected; with the server down, the driver is not connected, the waiting records
# rise and grow old; with the server back, they are delivered and the waiting count falls to 0.
# promtool (Debian's prometheus) finds no fault in the file.
#   health_exporter_e2e.sh BIN_DIR
# Exit 77 (skipped) when the programs, the exporter, promtool or curl are missing.
set -u

bin=$(cd "${1:?usage: health_exporter_e2e.sh BIN_DIR}" && pwd)
for program in drvtirval2000n drvtirval-station drvtirval-server; do
  [ -x "$bin/$program" ] || { echo "SKIP: $bin/$program is not built"; exit 77; }
done
exporter=$(command -v prometheus-node-exporter || command -v node_exporter) ||
  { echo "SKIP: prometheus-node-exporter is not installed"; exit 77; }
for tool in promtool curl python3; do
  command -v "$tool" > /dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")/.." && pwd)/lsan.supp"

work=$(mktemp -d)
pids=()
server_pid=
driver_pid=
cleanup() {
  for pid in $driver_pid $server_pid "${pids[@]}"; do kill "$pid" 2> /dev/null; done
  wait 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  for file in driver.err exporter.log scrape; do
    [ -f "$work/$file" ] && { echo "--- $file (last lines)"; grep -v "^go_\|^process_\|^promhttp_\|^# " "$work/$file" | tail -n 40; }
  done
  exit 1
}

wait_until() {
  local tries=${wait_tries:-300}
  until "$@" > /dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# One scrape of the exporter into $work/scrape.
scrape() { curl -fsS "http://127.0.0.1:$exporter_port/metrics" > "$work/scrape.new" && mv "$work/scrape.new" "$work/scrape"; }
# The value of the sample whose name and labels start with $1, from the last scrape.
value() {
  awk -v key="$1" 'index($0, key) == 1 { print $NF; found = 1; exit } END { if (!found) print "none" }' "$work/scrape"
}
metric() { value "drvtirval_$1{driver=\"station1\"$2"; }
# Scrapes until `metric NAME LABELS` compares with `OP VALUE` as awk numbers.
scrape_until() {
  local name=$1 labels=$2 op=$3 bound=$4
  check() {
    scrape || return 1
    local v
    v=$(metric "$name" "$labels")
    [ "$v" != none ] && awk -v v="$v" -v b="$bound" "BEGIN { exit !(v $op b) }"
  }
  wait_until check
}

cd "$work" || exit 1
mkdir station1 textfile
server_port=$(free_port)
start_server() {
  "$bin/drvtirval-server" --port "$server_port" >> server.out 2>&1 &
  server_pid=$!
  wait_until grep -q "^listening on 127.0.0.1:$server_port" server.out ||
    fail "the server simulator did not start"
}
start_server
"$bin/drvtirval-station" --pty --link "$work/station-tty" --random 4 --retries 1000 > station.out 2>&1 &
pids+=($!)
wait_until test -L "$work/station-tty" || fail "the station simulator did not start"

mkdir station1/spool
printf '[main]\r\nComPort=COM1\r\nPathForSoob=spool/\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=%s\r\n[Devices]\r\nCOM1=%s\r\n[Health]\r\nFile=%s\r\nInterval=1\r\n' \
  "$server_port" "$work/station-tty" "$work/textfile/drvtirval2000n-station1.prom" \
  > station1/drvtirval2000n.ini
(cd station1 && exec "$bin/drvtirval2000n" --no-window 2> ../driver.err) &
driver_pid=$!
wait_until test -s textfile/drvtirval2000n-station1.prom || fail "no health file"

exporter_port=$(free_port)
"$exporter" --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$work/textfile" \
  --web.listen-address="127.0.0.1:$exporter_port" > exporter.log 2>&1 &
pids+=($!)
wait_until scrape || fail "the exporter did not answer"

echo "-- frames flow and are delivered"
scrape_until server_connected "}" == 1 || fail "server_connected is $(metric server_connected "}")"
scrape_until frames_total ',reply="05"}' '>=' 5 || fail "frames: $(metric frames_total ',reply="05"}')"
scrape_until records_delivered_total "}" '>=' 5 || fail "delivered: $(metric records_delivered_total "}")"
[ "$(value 'node_textfile_scrape_error ')" = 0 ] || fail "the exporter could not read the file"
[ "$(metric station_port_open "}")" = 1 ] || fail "station_port_open is not 1"
[ "$(metric station_link_up "}")" = 1 ] || fail "station_link_up is not 1"
grep -q "^drvtirval_info{driver=\"station1\",start_time=\"[0-9T:Z-]*\",version=\"[0-9.]*\"} 1$" scrape ||
  fail "no drvtirval_info sample"
promtool check metrics < textfile/drvtirval2000n-station1.prom > promtool.out 2>&1 ||
  fail "promtool: $(cat promtool.out)"
[ ! -s promtool.out ] || fail "promtool: $(cat promtool.out)"

echo "-- the server goes down: not connected, the records wait"
delivered=$(metric records_delivered_total "}")
kill -TERM "$server_pid"
wait "$server_pid"
server_pid=
scrape_until server_connected "}" == 0 || fail "server_connected stays $(metric server_connected "}")"
[ "$(metric server_introduced "}")" = 0 ] || fail "server_introduced stays 1"
scrape_until spool_records_waiting "}" '>=' 4 ||
  fail "waiting records: $(metric spool_records_waiting "}")"
scrape_until spool_oldest_record_age_seconds "}" '>' 0 || fail "the waiting records have no age"
frames=$(metric frames_total ',reply="05"}')
scrape_until frames_total ',reply="05"}' '>' "$frames" || fail "frames stopped counting"
[ "$(ls station1/spool | wc -l)" -ge 4 ] || fail "the spool directory holds no waiting files"

echo "-- the server is back: the records are delivered, none waits"
start_server
scrape_until server_connected "}" == 1 || fail "server_connected stays 0"
scrape_until spool_records_waiting "}" '<' 4 || fail "waiting records stay $(metric spool_records_waiting "}")"
scrape_until records_delivered_total "}" '>' "$((delivered + 4))" || fail "no delivery after the server came back"
[ "$(value "drvtirval_last_acknowledgement_timestamp_seconds{driver=\"station1\"}")" != none ] ||
  fail "no time of the last acknowledgement"

echo "-- SIGTERM: the last file shows the port closed"
kill -TERM "$driver_pid"
wait "$driver_pid" || fail "the driver ended with status $?"
driver_pid=
grep -qx 'drvtirval_station_port_open{driver="station1"} 0' textfile/drvtirval2000n-station1.prom ||
  fail "the last health file does not show the port closed"

echo "PASS"
