#!/usr/bin/env python3
"""The driver as its systemd unit starts it, with this test in the place of systemd.

The unit's ExecStart line runs as it stands (the installed program's path replaced by the one
under test) in an instance directory, with NOTIFY_SOCKET naming a datagram socket of the test and
WATCHDOG_USEC set from the unit's WatchdogSec. The station's port is missing at first: no READY
comes, and the status says why. Once the port appears (a pseudo-terminal) it is opened: READY=1
comes, and the port answers a frame. WATCHDOG=1 pings come while the main loop runs; stopped
(SIGSTOP), the driver stays silent for longer than the watchdog interval, which makes systemd
restart it; resumed, it pings again. SIGTERM brings STOPPING=1 and status 0. Every notification
comes from the driver's own process (NotifyAccess=main).

Usage: service_notify_e2e.py DRIVER UNIT_FILE
Every wait is bounded; the bounds catch a hung program and are no measurements.
"""

import os
import re
import select
import shlex
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

INSTALLED_PROGRAM = "/usr/bin/drvtirval2000n"
INSTANCE = "station1"
SKIP = 77


def fail(message, log_dir=None):
    print("FAIL: " + message)
    if log_dir:
        for name in ("driver.err", "error.txt"):
            path = os.path.join(log_dir, name)
            if os.path.exists(path):
                print("--- " + name)
                with open(path, "rb") as handle:
                    print(handle.read().decode("utf-8", "replace")[-3000:])
    sys.exit(1)


def unit_service_settings(path):
    """The [Service] section's settings; a key given twice keeps its values in order."""
    settings = {}
    section = None
    with open(path, encoding="utf-8") as handle:
        for raw in handle:
            line = raw.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("[") and line.endswith("]"):
                section = line[1:-1]
                continue
            if section == "Service" and "=" in line:
                key, value = line.split("=", 1)
                settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def time_span_us(text):
    """A systemd time span such as 10, 10s, 500ms, 1min 30s, in microseconds."""
    units = {"us": 1, "ms": 1000, "s": 1000000, "sec": 1000000, "": 1000000, "m": 60000000,
             "min": 60000000, "h": 3600000000}
    total = 0
    for number, unit in re.findall(r"(\d+)\s*([a-z]*)", text):
        if unit not in units:
            raise ValueError("unknown time unit in " + text)
        total += int(number) * units[unit]
    return total


class NotifySocket:
    """The service manager's end: datagrams with the sender's credentials."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.messages = []  # (monotonic time, sender pid, line)

    def receive(self, timeout):
        """Takes what arrives within `timeout` seconds; returns the new lines."""
        new = []
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.sock], [], [], left)
            if not ready:
                break
            data, ancillary, _, _ = self.sock.recvmsg(4096, socket.CMSG_SPACE(12))
            pid = None
            for level, kind, payload in ancillary:
                if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                    pid = struct.unpack("iII", payload[:12])[0]
            now = time.monotonic()
            for line in data.decode("utf-8", "replace").split("\n"):
                if line:
                    self.messages.append((now, pid, line))
                    new.append(line)
        return new

    def wait_for(self, predicate, bound):
        """Receives until a line matches, for at most `bound` seconds; the line or None."""
        deadline = time.monotonic() + bound
        while time.monotonic() < deadline:
            for line in self.receive(min(0.5, deadline - time.monotonic())):
                if predicate(line):
                    return line
        return None


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    driver, unit = os.path.abspath(sys.argv[1]), sys.argv[2]
    if not os.access(driver, os.X_OK):
        print("SKIP: %s is not built" % driver)
        return SKIP

    service = unit_service_settings(unit)
    if service.get("Type") != ["notify"]:
        fail("the unit is not Type=notify: %s" % service.get("Type"))
    if service.get("NotifyAccess") != ["main"]:
        fail("the unit does not take notifications from its main process only")
    if not service.get("WorkingDirectory", [""])[0].endswith("/%i"):
        fail("the unit's working directory is not the instance's: %s" % service.get("WorkingDirectory"))
    exec_start = shlex.split(service["ExecStart"][0].lstrip("-@:+!"))
    if exec_start[0] != INSTALLED_PROGRAM:
        fail("the unit starts %s, not %s" % (exec_start[0], INSTALLED_PROGRAM))
    command = [driver] + exec_start[1:]
    watchdog_us = time_span_us(service["WatchdogSec"][0])
    if watchdog_us <= 0:
        fail("the unit has no watchdog")
    interval = watchdog_us / 1e6

    work = tempfile.mkdtemp(prefix="drvtirval-notify-")
    instance = os.path.join(work, INSTANCE)
    os.mkdir(instance)
    link = os.path.join(instance, "station-tty")
    with open(os.path.join(instance, "drvtirval2000n.ini"), "wb") as handle:
        handle.write(("[main]\r\nComPort=COM1\r\nSendTorven8=0\r\n[Devices]\r\nCOM1=%s\r\n" % link)
                     .encode("ascii"))

    notify = NotifySocket(os.path.join(work, "notify"))
    env = {key: value for key, value in os.environ.items()
           if key not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "WATCHDOG_PID")}
    env["NOTIFY_SOCKET"] = os.path.join(work, "notify")
    env["WATCHDOG_USEC"] = str(watchdog_us)
    env["LSAN_OPTIONS"] = "suppressions=" + os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "lsan.supp")
    err = open(os.path.join(instance, "driver.err"), "wb")
    process = subprocess.Popen(command, cwd=instance, env=env, stdout=subprocess.DEVNULL,
                               stderr=err)
    master, slave = os.openpty()
    try:
        print("-- the port is missing: no READY, and the status says so")
        status = notify.wait_for(lambda line: line.startswith("STATUS="), 15)
        if status is None or "not open" not in status:
            fail("no status of a port that does not open: %s" % status, instance)
        # Longer than a retry of the port, so that a retry that wrongly made it ready is seen.
        notify.receive(7)
        if any(line == "READY=1" for _, _, line in notify.messages):
            fail("READY=1 while the port is missing", instance)
        if process.poll() is not None:
            fail("the driver ended (status %s) on a missing port" % process.returncode, instance)

        print("-- the port appears: READY=1, and the port answers")
        os.symlink(os.ttyname(slave), link)
        if notify.wait_for(lambda line: line == "READY=1", 30) is None:
            fail("no READY=1 once the port was there", instance)
        os.write(master, bytes([0x01, 0x03]))
        ready, _, _ = select.select([master], [], [], 10)
        reply = os.read(master, 1) if ready else b""
        if reply != b"\x05":
            fail("the port did not answer a frame with 05 after READY: %r" % reply, instance)
        status = [line for _, _, line in notify.messages if line.startswith("STATUS=")][-1]
        if "port COM1 open" not in status:
            fail("the status after READY: " + status, instance)

        print("-- WATCHDOG=1 while the main loop runs (interval %g s)" % interval)
        start = len(notify.messages)
        notify.receive(interval * 1.5)
        pings = [t for t, _, line in notify.messages[start:] if line == "WATCHDOG=1"]
        if len(pings) < 2:
            fail("%d watchdog pings in %g s" % (len(pings), interval * 1.5), instance)

        print("-- stopped, the driver stays silent for longer than the interval")
        process.send_signal(signal.SIGSTOP)
        stopped_at = time.monotonic()
        start = len(notify.messages)
        notify.receive(interval + 2)
        late = [line for t, _, line in notify.messages[start:]
                if line == "WATCHDOG=1" and t - stopped_at > 0.5]
        if late:
            fail("a stopped driver pinged the watchdog", instance)
        process.send_signal(signal.SIGCONT)
        if notify.wait_for(lambda line: line == "WATCHDOG=1", interval + 5) is None:
            fail("no ping after the driver was resumed", instance)

        print("-- SIGTERM: STOPPING=1 and status 0")
        process.send_signal(signal.SIGTERM)
        try:
            status = process.wait(30)
        except subprocess.TimeoutExpired:
            fail("the driver did not end on SIGTERM", instance)
        notify.receive(0.5)
        if status != 0:
            fail("the driver ended with status %d" % status, instance)
        if not any(line == "STOPPING=1" for _, _, line in notify.messages):
            fail("no STOPPING=1", instance)
        senders = {pid for _, pid, _ in notify.messages}
        if senders != {process.pid}:
            fail("notifications from %s, not only from the driver %d" % (senders, process.pid))
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGCONT)
            process.kill()
            process.wait()
        err.close()
        os.close(master)
        os.close(slave)
        subprocess.run(["rm", "-rf", work], check=False)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
