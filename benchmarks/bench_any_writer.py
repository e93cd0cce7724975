#!/usr/bin/env python3
"""A log written by python-can's MF4Writer: MdfFile(any_writer=True)
against python-can's own MF4 reader.

    python3 benchmarks/bench_any_writer.py [--frames N] [--runs R]

The log (build/bench/pycan-N.mf4, written once and kept) holds N messages
passed one by one to python-can's MF4Writer (its default compression:
transposed deflate, DZ blocks in a data list behind a header list): 80%
classic CAN data frames, 15% CAN FD with 12 to 64 bytes, 4% remote and 1%
error frames on two channels. Each case runs R times in a fresh process of
the main environment, interleaved; the table shows medians and the peak
RSS (VmHWM) of the process:

  object   iterating MdfFile(path, any_writer=True): every can.Message
  columns  MdfFile(path, any_writer=True).to_numpy(): every frame as columns
  pycan    iterating python-can's can.io.mf4.MF4Reader(path)

The ratio is python-can's time over the case's, for the wall-clock time
and for the CPU time of the process (user + system, time.process_time):
on a loaded machine the wall-clock time mostly measures the wait for a
CPU, the CPU time what the reading costs.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

from bench_messages import ROOT, peak_rss_mib


def write_log(path, frames):
    import can
    from can.io.mf4 import MF4Writer
    writer = MF4Writer(path)
    start = 1_700_000_000.0
    for i in range(frames):
        t = start + i * 0.0005
        channel = 1 + i % 2
        kind = i % 100
        if kind < 4:
            message = can.Message(timestamp=t, arbitration_id=0x700 + i % 16,
                                  is_remote_frame=True, dlc=i % 9,
                                  channel=channel)
        elif kind == 4:
            message = can.Message(timestamp=t, is_error_frame=True,
                                  channel=channel)
        elif kind < 20:
            message = can.Message(timestamp=t, arbitration_id=0x18FF0000 + i %
                                  64, is_extended_id=True, is_fd=True,
                                  bitrate_switch=True,
                                  data=bytes([i & 0xFF]) * (12 + i % 53),
                                  channel=channel)
        else:
            message = can.Message(timestamp=t, arbitration_id=0x100 + i % 200,
                                  data=(i * 2654435761 & 0xFFFFFFFFFFFFFFFF)
                                  .to_bytes(8, "little")[:i % 9],
                                  channel=channel)
        writer.on_message_received(message)
    writer.stop()


def case_object(log):
    from python_can_brenix_mf4 import MdfFile
    began, cpu = time.perf_counter(), time.process_time()
    count = 0
    with MdfFile(log, any_writer=True) as reader:
        for _ in reader:
            count += 1
    return time.perf_counter() - began, time.process_time() - cpu, count


def case_columns(log):
    from python_can_brenix_mf4 import MdfFile
    began, cpu = time.perf_counter(), time.process_time()
    with MdfFile(log, any_writer=True) as reader:
        count = len(reader.to_numpy()["timestamp"])
    return time.perf_counter() - began, time.process_time() - cpu, count


def case_pycan(log):
    from can.io.mf4 import MF4Reader
    began, cpu = time.perf_counter(), time.process_time()
    count = 0
    with MF4Reader(log) as reader:
        for _ in reader:
            count += 1
    return time.perf_counter() - began, time.process_time() - cpu, count


CASES = {"object": case_object, "columns": case_columns, "pycan": case_pycan}


def run(case, log):
    result = subprocess.run([sys.executable, os.path.abspath(__file__),
                             "--case", case, log], capture_output=True,
                            text=True)
    if result.returncode != 0:
        raise SystemExit("%s failed:\n%s" % (case, result.stderr))
    return json.loads(result.stdout.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("log", nargs="?", help=argparse.SUPPRESS)
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        seconds, cpu, frames = CASES[args.case](args.log)
        print(json.dumps({"seconds": seconds, "cpu": cpu, "frames": frames,
                          "rss": peak_rss_mib()}))
        return

    log = os.path.join(ROOT, "build", "bench", "pycan-%d.mf4" % args.frames)
    if not os.path.exists(log):
        os.makedirs(os.path.dirname(log), exist_ok=True)
        write_log(log + ".part", args.frames)
        os.replace(log + ".part", log)
    print("log: %s (%.1f MB), %d runs per case; load %s" % (
        log, os.path.getsize(log) / 1e6, args.runs,
        " ".join(open("/proc/loadavg").read().split()[:3])))
    results = {case: [] for case in CASES}
    for _ in range(args.runs):
        for case in CASES:
            results[case].append(run(case, log))
    pycan = statistics.median(r["seconds"] for r in results["pycan"])
    pycan_cpu = statistics.median(r["cpu"] for r in results["pycan"])
    print("%-8s %9s %9s %7s %9s %7s %10s %9s" % (
        "case", "frames", "wall s", "ratio", "CPU s", "ratio",
        "frames/CPU s", "peak MiB"))
    for case, runs in results.items():
        seconds = statistics.median(r["seconds"] for r in runs)
        cpu = statistics.median(r["cpu"] for r in runs)
        frames = runs[0]["frames"]
        rss = statistics.median(r["rss"] for r in runs)
        print("%-8s %9d %9.3f %7.1f %9.3f %7.1f %10.0f %9.0f" % (
            case, frames, seconds, pycan / seconds, cpu, pycan_cpu / cpu,
            frames / cpu, rss))


if __name__ == "__main__":
    main()
