#!/usr/bin/env python3
"""Turns the micro-benchmark JSON and the harness's JSON lines into one markdown table."""

import argparse
import json
import sys

REPORT_FRAME_LINE_S = 30 * 10 / 256000.0


def load_micro(path):
    """Benchmark name -> run (the median aggregate when repeated, else the single run), with
    the repetitions themselves under "repetitions"."""
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    runs, repetitions = {}, {}
    for b in data["benchmarks"]:
        name = b["run_name"]
        if b.get("error_occurred"):
            runs[name] = {"error": b.get("error_message", "error")}
            continue
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median" and "error" not in runs.get(name, {}):
                runs[name] = b
        else:
            repetitions.setdefault(name, []).append(b)
            if name not in runs:
                runs[name] = b
    for name, run in runs.items():
        run["repetitions"] = repetitions.get(name, [])
    return data.get("context", {}), runs


def spread(run, key):
    """ "a–b" over the repetitions of a counter, or "" for a single run."""
    values = [r[key] for r in run.get("repetitions", []) if key in r]
    if len(values) < 2:
        return ""
    return f"{min(values):.1f}–{max(values):.1f}"


def load_harness(path):
    """One object per measure; the backlog runs, one per size, as a list under "backlog"."""
    measures = {"backlog": []}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith("{"):
                m = json.loads(line)
                if m["measure"] == "backlog":
                    measures["backlog"].append(m)
                else:
                    measures[m["measure"]] = m
    return measures


def seconds(run, key="cpu_time"):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run.get("time_unit", "ns")]
    return run[key] * scale


def fmt_time(s):
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.1f} s"


def fmt_ratio(x):
    return f"{x:,.0f}×" if x >= 10 else f"{x:.1f}×"


def verdict(ok):
    if ok is None:
        return "—"
    return "met" if ok else "**missed**"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--micro", required=True)
    ap.add_argument("--harness", required=True)
    args = ap.parse_args()

    _, micro = load_micro(args.micro)
    h = load_harness(args.harness)
    rows = []

    def add(name, figure, target, ok, note=""):
        rows.append((name, figure, target, verdict(ok), note))

    def find(bench):
        """A run by its name, or by its name followed by "/" and its options."""
        if bench in micro:
            return micro[bench]
        for run_name, run in micro.items():
            if run_name.startswith(bench + "/"):
                return run
        return None

    def micro_row(bench, name, note):
        run = find(bench)
        if run is None or "error" in run:
            add(name, "not measured" if run is None else run["error"], "> 1× line", False, note)
            return
        cpu = seconds(run)
        wall = seconds(run, "real_time")
        line_s = run.get("line_s_per_frame", REPORT_FRAME_LINE_S)
        ratio = line_s / cpu
        figure = f"{fmt_time(cpu)} CPU ({fmt_time(wall)} wall) = {fmt_ratio(ratio)} line rate"
        add(name, figure, "> 1× line rate", ratio > 1.0, note)

    micro_row("BM_ReportFrame", "Report frame (30 B): decode + interpret + record",
              "1 record; line frame 1.17 ms")
    micro_row("BM_BlockFrame", "Block message frame (24 B): decode + interpret + records",
              "3 records; line frame 0.94 ms")
    micro_row("BM_ReportFrameLogged", "Report frame with frame log and display on",
              "log file opened, appended, closed per frame")
    micro_row("BM_BuildEventFrame", "Record message: build + frame + write (66 B)",
              "per record, vs the 30 B report frame")
    micro_row("BM_ReadAckFrame", "ReadFrame + decode of the server's ack (39 B)",
              "per record, vs the 30 B report frame")
    micro_row("BM_ReadEventFrame", "ReadFrame + decode of a record message (66 B)",
              "vs the 30 B report frame")
    micro_row("BM_ReadDriverSettings", "Settings reader, realistic file (section main)",
              "once at start-up; vs the 30 B report frame")
    micro_row("BM_ReadServerEndpoint", "Server endpoint read (section ServerHost)",
              "before every connection attempt")

    pty = h.get("pty_round_trip")
    floor = f"; bare pty round trip p50 {pty['p50'] * 1000:.0f} µs" if pty else ""

    def latency_row(measure, name, limit, note):
        """A latency figure against its p99 limit in ms (None: no target)."""
        m = h.get(measure)
        target = f"p99 ≤ {limit:g} ms" if limit is not None else "—"
        if not m:
            add(name, "not measured", target, False if limit is not None else None)
            return
        figure = (f"p50 {m['p50']:.2f} / p99 {m['p99']:.2f} / max {m['max']:.2f} ms "
                  f"(n={m['count']:.0f}, lost {m['lost']:.0f})")
        ok = None if limit is None else (m["p99"] <= limit and m["lost"] == 0)
        add(name, figure, target, ok, note(m))

    latency_row("reply_latency", "Reply latency, frame written → reply byte read", 12.0,
                lambda m: f"real driver on a pty{floor}")
    latency_row("block_reply_latency", "Reply latency, block message frame of 16 records", 15.0,
                lambda m: "each frame's 16 records are stored before its reply")
    latency_row("reply_latency_spooling",
                "Reply latency with the server down (every record spooled)", 15.0,
                lambda m: f"{m['spool_files']:.0f} spool files written")
    latency_row("e2e_latency", "End to end, frame written → record read by the server", 15.0,
                lambda m: "same run as the reply latency")
    latency_row("block_e2e_latency",
                "End to end, block frame written → its 16th record read by the server", None,
                lambda m: "same run as the block frame reply latency")

    idle = h.get("idle")
    if idle:
        wakeups = (idle.get("main_thread_wakeups_per_second", 0) +
                   idle.get("other_threads_wakeups_per_second", 0))
        # The scheduler's run times are exact; utime + stime count 10 ms clock ticks.
        precise = idle.get("run_percent", -1) >= 0
        share = idle["run_percent"] if precise else idle["cpu_percent"]
        main_share = idle["main_thread_run_percent" if precise else "main_thread_cpu_percent"]
        other_share = idle["other_threads_run_percent" if precise else "other_threads_cpu_percent"]
        source = "scheduler run times" if precise else "utime + stime"
        add("Idle CPU (port open, session introduced)",
            f"{share:.3f} % of one core over {idle['seconds']:.0f} s, {wakeups:.0f} wake-ups/s",
            "≤ 0.2 %", share <= 0.2,
            f"main thread {main_share:.3f} % "
            f"({idle.get('main_thread_wakeups_per_second', 0):.0f} wake-ups/s), session thread "
            f"{other_share:.3f} % "
            f"({idle.get('other_threads_wakeups_per_second', 0):.0f} wake-ups/s), from {source}; "
            f"{idle['polls']:.0f} server polls answered")
        add("Idle resident memory (VmRSS, window offscreen)",
            f"{idle['rss_kb'] / 1024:.1f} MB (peak VmHWM {idle['hwm_kb'] / 1024:.1f} MB)",
            "≤ 60 MB", idle["rss_kb"] / 1024 <= 60.0, "")
    else:
        add("Idle CPU", "not measured", "≤ 0.2 %", False)
        add("Idle resident memory", "not measured", "≤ 60 MB", False)

    one = find("BM_StoreFrame/records:1/one_by_one:0")
    batch = find("BM_StoreFrame/records:16/one_by_one:0")
    single = find("BM_StoreFrame/records:16/one_by_one:1")
    if all(r and "error" not in r for r in (one, batch, single)):
        add("Durable store of a report frame's record (write, flush, rename, directory flush)",
            f"p50 {one['p50_us'] / 1000:.2f} ms / p99 {one['p99_us'] / 1000:.2f} ms", "—", None,
            f"median of {len(one['repetitions'])} runs of 300 frames; "
            f"p99 range {spread(one, 'p99_us')} µs")
        add("Durable store of a 16-record block frame, flushed as one batch",
            f"p50 {batch['p50_us'] / 1000:.2f} ms / p99 {batch['p99_us'] / 1000:.2f} ms "
            f"= {batch['p50_us'] / one['p50_us']:.1f}× one record",
            "below 16 stores of one record", batch["p50_us"] < single["p50_us"],
            f"16 stores of one record each: p50 {single['p50_us'] / 1000:.2f} ms "
            f"({single['p50_us'] / batch['p50_us']:.1f}× the batch)")
    else:
        add("Durable store of a frame's records", "not measured", "—", False)
    take = find("BM_AcknowledgeAndTakeNext/2000")
    if take and "error" not in take:
        add("Acknowledgement (file deleted) and the next record taken, per record",
            f"p50 {take['p50_us']:.1f} µs / p99 {take['p99_us']:.1f} µs", "—", None,
            f"session thread's share of a drain; median of {len(take['repetitions'])} runs")
    loads = {n: find(f"BM_LoadBacklog/{n}") for n in (1000, 100000)}
    if all(r and "error" not in r for r in loads.values()):
        small, large = loads[1000]["us_per_file"], loads[100000]["us_per_file"]
        add("Listing and ordering a spool left from an outage, per file",
            f"{small:.1f} µs for 1,000 files, {large:.1f} µs for 100,000 "
            f"({seconds(loads[100000], 'real_time'):.2f} s in all)",
            "100 000 within 2× of 1 000 per file", large <= 2 * small,
            "on the spool's own thread at start; files are read when sent")

    drain = h.get("drain")
    if drain:
        files = int(drain["files"])
        rate = drain["records_per_second"]
        add("Drain after an outage (from the server's accept to an empty spool)",
            f"{drain['seconds_from_accept']:.2f} s for {files} files = {rate:.0f} records/s",
            "≥ 200 records/s (one file per 200 ms tick drained 5/s)",
            rate >= 200 and drain["in_order"] == 1,
            f"{drain['records_received']:.0f} records received, "
            f"{'in the order of the files' if drain['in_order'] == 1 else 'OUT OF ORDER'}")
    else:
        add("Drain after an outage", "not measured", "≥ 200 records/s", False)

    backlogs = sorted(h["backlog"], key=lambda m: m["files"])
    if backlogs:
        def sizes(fmt):
            return ", ".join(f"{fmt(m)} at {int(m['files']):,}" for m in backlogs)
        largest = backlogs[-1]
        add("Start with a spool left from an outage: first reply to the station",
            sizes(lambda m: f"{m['first_reply_ms']:.0f} ms") + " files",
            "≤ 1 s at every size", all(m["first_reply_ms"] <= 1000 for m in backlogs),
            "frames sent from the start on; the backlog is listed meanwhile; first record at "
            "the server after " + sizes(lambda m: f"{m['first_record_s']:.2f} s"))
        add("Resident memory with a spool left from an outage",
            sizes(lambda m: f"{m['rss_kb'] / 1024:.0f} MB") + " files",
            "well under 100 MB at 1,000,000", largest["files"] < 1000000 or
            largest["rss_kb"] <= 80 * 1024,
            "VmRSS of the driver while it drains; peak " +
            sizes(lambda m: f"{m['peak_rss_kb'] / 1024:.0f} MB"))
        smallest = backlogs[0]
        add("Drain rate with a spool left from an outage",
            sizes(lambda m: f"{m['records_per_second']:.0f} records/s") + " files",
            "the largest within 2× of the smallest",
            largest["records_per_second"] * 2 >= smallest["records_per_second"],
            "over 10 s after the first record reached the loopback server")

    print("| Measure | Figure | Target | Result | Notes |")
    print("|---|---|---|---|---|")
    for name, figure, target, result, note in rows:
        print(f"| {name} | {figure} | {target} | {result} | {note} |")

    for measure, title in (("reply_latency", "Reply latency"),
                           ("e2e_latency", "End-to-end latency"),
                           ("block_reply_latency", "Block frame reply latency")):
        m = h.get(measure)
        if m and "histogram" in m:
            print()
            print(f"{title} by whole millisecond (ms: frames): " +
                  ", ".join(f"{k}: {v}" for k, v in m["histogram"].items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
