"""Pieces of the fault runs: the three programs as child processes, the spool watcher, the read-only
switch for the spool directory, and the count of alarms from the programs' outputs.

Every wait here is bounded; the bounds are safety nets for a hung program, never measurements.
All traffic stays on 127.0.0.1.
"""

import errno
import fcntl
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_SERVER = os.path.join(HERE, "fake_server.py")

DRIVER = "drvtirval2000n"
SERVER = "drvtirval-server"
STATION = "drvtirval-station"
PROGRAMS = (DRIVER, SERVER, STATION)

# Object numbers go out as id + (FirstNumber + partition) * 10000; ids stay below 10000 so that
# the remainder names the alarm whatever FirstNumber is.
ID_MODULUS = 10000
MAX_ALARMS = ID_MODULUS - 1

# Seconds a program gets to come up or go down: a guard against a hang, generous because a start on
# a machine that other work keeps busy can take long.
START_BOUND = 30.0


def log(text):
    sys.stderr.write("[faults %s] %s\n" % (time.strftime("%H:%M:%S"), text))
    sys.stderr.flush()


class FaultRunError(Exception):
    """A run could not be carried out (a program did not start, a bound ran out)."""


def wait_until(predicate, bound, step=0.05):
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def free_port():
    """A port on 127.0.0.1 that nothing listens on now (the servers set SO_REUSEADDR)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def read_bytes(path):
    try:
        with open(path, "rb") as handle:
            return handle.read()
    except OSError:
        return b""


def read_text(path, encoding="utf-8"):
    try:
        with open(path, "rb") as handle:
            return handle.read().decode(encoding, "replace")
    except FileNotFoundError:
        return ""


class Child:
    """One program with its output going to a file, so that it never blocks on a full pipe."""

    def __init__(self, argv, cwd, output_path, env=None):
        self.argv = argv
        self.output_path = output_path
        self._output = open(output_path, "wb")
        self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                     stdout=self._output, stderr=subprocess.STDOUT)
        self.pid = self.proc.pid
        self.signalled_by_us = None

    def running(self):
        return self.proc.poll() is None

    def text(self):
        return read_text(self.output_path)

    def lines(self):
        return self.text().splitlines()

    def wait_for_line(self, pattern, bound=START_BOUND):
        regex = re.compile(pattern)

        def found():
            for line in self.lines():
                match = regex.search(line)
                if match:
                    return match
            if not self.running():
                return "exited"
            return None

        match = wait_until(found, bound)
        if match is None or match == "exited":
            raise FaultRunError("%s: no line matching %r (%s); output:\n%s" % (
                os.path.basename(self.argv[0]), pattern,
                "exited" if match == "exited" else "bound ran out", self.text()[-2000:]))
        return match

    def send(self, signum):
        if self.running():
            self.signalled_by_us = signum
            try:
                os.kill(self.pid, signum)
            except ProcessLookupError:
                pass

    def stop(self, signum=signal.SIGTERM, bound=START_BOUND):
        """Signals the program and waits for it; returns its exit status (negative: a signal)."""
        self.send(signum)
        try:
            self.proc.wait(timeout=bound)
        except subprocess.TimeoutExpired:
            self.signalled_by_us = signal.SIGKILL
            self.proc.kill()
            self.proc.wait(timeout=bound)
            self._output.close()
            return None  # did not end in time
        self._output.close()
        return self.proc.returncode

    def close(self):
        if self.running():
            self.stop(signal.SIGKILL)
        self._output.close()


class MemorySampler(threading.Thread):
    """Samples VmRSS of one process from /proc every 100 ms and keeps the peak; VmHWM, the
    kernel's own peak, is read too so that a spike between two samples is not missed."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak_kib = 0
        self.first_kib = None
        self.last_kib = None
        self._stop_event = threading.Event()

    def sample(self):
        try:
            with open("/proc/%d/status" % self.pid) as status:
                fields = dict(line.split(":", 1) for line in status if ":" in line)
        except (FileNotFoundError, ProcessLookupError, PermissionError):
            return
        if fields.get("State", "").strip().startswith("Z"):
            return
        for key in ("VmRSS", "VmHWM"):
            if key in fields:
                kib = int(fields[key].split()[0])
                self.peak_kib = max(self.peak_kib, kib)
                if key == "VmRSS":
                    if self.first_kib is None:
                        self.first_kib = kib
                    self.last_kib = kib

    def run(self):
        while not self._stop_event.wait(0.1):
            self.sample()

    def finish(self):
        """Stops sampling; call sample() first while the process is still there (its number may
        be given to another process once it has been reaped)."""
        self._stop_event.set()
        self.join(timeout=START_BOUND)


class SpoolWatcher(threading.Thread):
    """Counts the spool files every 50 ms and keeps the largest count: how far the spool grew
    while the server could not take the records."""

    def __init__(self, directory):
        super().__init__(daemon=True)
        self.directory = directory
        self.max_files = 0
        self._stop_event = threading.Event()

    def scan(self):
        self.max_files = max(self.max_files, len(spool_files(self.directory)))

    def run(self):
        while not self._stop_event.wait(0.05):
            self.scan()

    def finish(self):
        self._stop_event.set()
        self.join(timeout=START_BOUND)
        self.scan()


def spool_files(directory):
    try:
        return sorted(name for name in os.listdir(directory) if name.lower().endswith(".dd8"))
    except OSError:
        return []


class ReadOnlySwitch:
    """Makes a directory refuse new files, for root too. Tries, in order: the immutable attribute
    (chattr +i), a read-only bind mount, and for a non-root user plain permissions (chmod 555).
    Each way is checked by trying to create a file, so only a way that works is used."""

    def __init__(self, directory):
        self.directory = directory
        self.method = None
        self.applied = False

    def _refuses_new_files(self):
        probe = os.path.join(self.directory, ".write-probe")
        try:
            with open(probe, "wb"):
                pass
        except OSError as error:
            return error.errno in (errno.EPERM, errno.EACCES, errno.EROFS)
        os.unlink(probe)
        return False

    @staticmethod
    def _run(argv):
        try:
            return subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=START_BOUND).returncode == 0
        except (OSError, subprocess.TimeoutExpired):
            return False

    def _ways(self):
        d = self.directory
        ways = []
        if shutil.which("chattr"):
            ways.append(("chattr +i", ["chattr", "+i", d], ["chattr", "-i", d]))
        if os.geteuid() == 0 and shutil.which("mount"):
            ways.append(("read-only bind mount",
                         [["mount", "--bind", d, d], ["mount", "-o", "remount,ro,bind", d, d]],
                         ["umount", d]))
        if os.geteuid() != 0:
            ways.append(("chmod 555", ["chmod", "555", d], ["chmod", "755", d]))
        return ways

    def apply(self):
        for name, on, off in self._ways():
            steps = on if isinstance(on[0], list) else [on]
            if all(self._run(step) for step in steps):
                self.applied = True
                if self._refuses_new_files():
                    self.method = name
                    self._off = off
                    return name
                self._run(off)
                self.applied = False
            elif name == "read-only bind mount":
                self._run(off)
        return None

    def release(self):
        if self.applied:
            self._run(self._off)
            self.applied = False


# --- the station's script and its output ----------------------------------------------------

def report_zone(alarm_id):
    return alarm_id % 250 + 1


def alarm_records(alarm_id, block_zones):
    """The records an alarm becomes at the server, each named (id, zone): one for a report, one
    per zone for a block message."""
    if block_zones:
        return {(alarm_id, zone) for zone in range(1, block_zones + 1)}
    return {(alarm_id, report_zone(alarm_id))}


def station_script(path, ids, gap_ms, lead_ms=3000, block_zones=0, trail_ms=0):
    """One frame per alarm, its object number the alarm's id: a report, or a block message with
    one event for each of the zones 1..block_zones; then `trail_ms` of quiet, during which the
    station keeps its line open."""
    zones = ",".join(str(zone) for zone in range(1, block_zones + 1))
    with open(path, "w") as script:
        script.write("# fault run: %d alarms, %d ms apart\n" % (len(ids), gap_ms))
        script.write("sleep %d\n" % lead_ms)
        for alarm_id in ids:
            if block_zones:
                script.write("block object %d code 30 zones %s\n" % (alarm_id, zones))
            else:
                script.write("report --object %d --code 130 --zone %d --partition 0\n"
                             % (alarm_id, report_zone(alarm_id)))
            if gap_ms > 0:
                script.write("sleep %d\n" % gap_ms)
        if trail_ms > 0:
            script.write("sleep %d\n" % trail_ms)


MESSAGE_LINE = re.compile(r"^message (\d+): (?:report --object|block object) (\d+)")
FRAME_LINE = re.compile(r"^frame (\d+) try (\d+) reply (05|07|none)")
SUMMARY_LINE = re.compile(r"^summary((?: [a-z-]+ \d+)+)")


class StationReport:
    """What the station's output says: the alarm ids it offered, those it saw acknowledged with
    05 (at any try), those acknowledged only on a resend after a try went unanswered or refused,
    its transmissions in all and per alarm, and the counts of its own summary line (None when it
    printed none)."""

    def __init__(self, text):
        offered = {}
        self.acknowledged = set()
        self.answered_on_resend = set()
        missed = set()
        self.tries = 0
        self.tries_of = {}
        self.summary = None
        for line in text.splitlines():
            match = MESSAGE_LINE.match(line)
            if match:
                offered[int(match.group(1))] = int(match.group(2))
                continue
            match = FRAME_LINE.match(line)
            if match and int(match.group(1)) in offered:
                alarm_id = offered[int(match.group(1))]
                self.tries += 1
                self.tries_of[alarm_id] = self.tries_of.get(alarm_id, 0) + 1
                if match.group(3) == "05":
                    self.acknowledged.add(alarm_id)
                    if alarm_id in missed:
                        self.answered_on_resend.add(alarm_id)
                else:
                    missed.add(alarm_id)
                continue
            match = SUMMARY_LINE.match(line)
            if match:
                words = match.group(1).split()
                self.summary = {words[i]: int(words[i + 1]) for i in range(0, len(words), 2)}
        self.offered = set(offered.values())

    def summary_disagrees(self):
        """What the station's own counts say against its frame lines, or None when they agree:
        every frame ends at its first 05, so its 05 replies are the frames acknowledged."""
        if self.summary is None:
            return "the station printed no summary"
        said = (self.summary.get("frames"), self.summary.get("acknowledged"))
        seen = (len(self.offered), len(self.acknowledged))
        if said != seen:
            return ("the station's summary says %s frames, %s acknowledged; its frame lines "
                    "say %d, %d" % (said + seen))
        return None


EVENT_RECORD = re.compile(r"^event\b.*?\bobject=(-?\d+).*?\bzone=(\d+)")


def parse_server_events(texts):
    """How often each record, named (alarm id, zone), reached a server, over all server
    instances of a run."""
    counts = {}
    for text in texts:
        for line in text.splitlines():
            match = EVENT_RECORD.match(line)
            if match:
                key = (int(match.group(1)) % ID_MODULUS, int(match.group(2)))
                counts[key] = counts.get(key, 0) + 1
    return counts


RECORD_FIELDS = struct.Struct("<iB4s10Bd")  # object, code length and characters, 10 bytes, time
PLANTING_WAYS = ("written", "moved", "linked")


def plant_spool_file(directory, scratch, object_number, zone, moment_ms, way):
    """Puts a spool file of one event record into `directory` as another workstation's copy
    could arrive, and returns its name. `way`: "written" in place (created, written and closed
    under its spool name), "moved" in (written in `scratch`, a directory of the same file system,
    then renamed into place) or "linked" in (a hard link to a file in `scratch`). A name in use
    is never replaced; the next moment is taken. `moment_ms`, the moment in the month, names it."""
    fields = [0, 0, 0, 0, 0, 0, 0, 0, 0, zone]  # InfoA … Partition, Zone
    record = RECORD_FIELDS.pack(object_number, 3, b"130\0", *fields, 46000.5)
    data = struct.pack("<I", 0x03000042) + record
    while os.path.exists(os.path.join(directory, "%X.dd8" % (86400000 + moment_ms))):
        moment_ms += 1000
    name = "%X.dd8" % (86400000 + moment_ms)
    target = os.path.join(directory, name)
    source = os.path.join(scratch, name)

    def write(path, flags):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | flags, 0o644)
        try:
            os.write(fd, data)
            os.fsync(fd)
        finally:
            os.close(fd)

    if way == "written":
        write(target, os.O_EXCL)
    elif way == "moved":
        write(source, os.O_TRUNC)
        os.rename(source, target)
    elif way == "linked":
        write(source, os.O_TRUNC)
        os.link(source, target)
        os.unlink(source)
    else:
        raise ValueError(way)
    return name


def spooled_record(data):
    """(alarm id, zone) of the record in a spool file's bytes, or None."""
    if len(data) < 4 + 27:
        return None
    return (struct.unpack_from("<i", data, 4)[0] % ID_MODULUS, data[4 + 18])


MESSAGE_NUMBER = re.compile(r"\bnumber=(\d+)")


def missing_message_numbers(texts):
    """The driver numbers every queued message once, in order (polls carry 0); numbers that no
    server printed were queued or written and never arrived. As ranges, "14–24, 31"."""
    seen = set()
    for text in texts:
        for line in text.splitlines():
            match = MESSAGE_NUMBER.search(line)
            if match:
                seen.add(int(match.group(1)))
    if not seen:
        return ""
    missing = [n for n in range(0, max(seen)) if n not in seen]
    ranges = []
    for n in missing:
        if ranges and ranges[-1][1] == n - 1:
            ranges[-1][1] = n
        else:
            ranges.append([n, n])
    return ", ".join(str(a) if a == b else "%d–%d" % (a, b) for a, b in ranges)


def random_source(seed):
    return random.Random(seed)
