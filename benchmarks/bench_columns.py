#!/usr/bin/env python3
"""Frames as columns: MdfFile.to_numpy and to_arrow against asammdf's
columnar read, message iteration and a plain read of the file.

    python3 benchmarks/bench_columns.py [LOG.mf4] [--frames N] [--runs R]

Without a log it uses the mixed log of the message benchmark
(benchmarks/write_big_log.py --mix: one unsorted data group, 70% classic
CAN, 20% CAN FD with 64-byte payloads in a VLSD channel group, 10% LIN),
1 million frames, in build/bench/. Every case runs R times, each in a
fresh process of the main environment, interleaved; the table shows
medians, the peak RSS (VmHWM) of the process and each case's time over
to_numpy's:

  numpy     MdfFile.to_numpy(): every frame as numpy columns
  numeric   MdfFile.to_numpy() of every column but the strings "channel"
            and "kind" (116 of the 211 bytes per row)
  arrow     MdfFile.to_arrow(): the same as a pyarrow.Table
  batches   MdfFile.iter_batches(100_000), each batch dropped when the
            next comes (its peak RSS stays flat in the file size)
  asammdf   asammdf's columnar read of every channel of the same groups
  messages  iterating MdfFile: every frame as a can.Message
  read      reading the file's bytes into memory (the floor)
"""
import argparse
import json
import os
import statistics
import subprocess
import time

from bench_messages import (bench_log, case_asammdf, case_object,
                            peak_rss_mib, python_of)


def case_numpy(log):
    from python_can_brenix_mf4 import MdfFile
    began = time.perf_counter()
    with MdfFile(log) as reader:
        columns = reader.to_numpy()
    return time.perf_counter() - began, len(columns["timestamp"])


def case_numeric(log):
    from python_can_brenix_mf4 import MdfFile
    from python_can_brenix_mf4._columns import COLUMNS
    began = time.perf_counter()
    with MdfFile(log) as reader:
        columns = reader.to_numpy(columns=[
            name for name in COLUMNS if name not in ("channel", "kind")])
    return time.perf_counter() - began, len(columns["timestamp"])


def case_arrow(log):
    from python_can_brenix_mf4 import MdfFile
    began = time.perf_counter()
    with MdfFile(log) as reader:
        table = reader.to_arrow()
    return time.perf_counter() - began, table.num_rows


def case_batches(log):
    from python_can_brenix_mf4 import MdfFile
    began = time.perf_counter()
    count = 0
    with MdfFile(log) as reader:
        for batch in reader.iter_batches(100_000):
            count += len(batch["timestamp"])
    return time.perf_counter() - began, count


def case_read(log):
    began = time.perf_counter()
    with open(log, "rb") as file:
        data = file.read()
    return time.perf_counter() - began, len(data)


CASES = {"numpy": case_numpy, "numeric": case_numeric, "arrow": case_arrow,
         "batches": case_batches, "asammdf": case_asammdf,
         "messages": case_object, "read": case_read}


def run(case, log, script=__file__, *options):
    """One case in a fresh process of the main environment: the JSON line
    it prints last."""
    result = subprocess.run([python_of("main"), os.path.abspath(script),
                             "--case", case, *options, log],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit("%s failed:\n%s" % (case, result.stderr))
    return json.loads(result.stdout.splitlines()[-1])


def report(results, baseline, log, runs, note=""):
    """The table of medians, each case's time over the baseline's."""
    floor = statistics.median(r["seconds"] for r in results[baseline])
    print("log: %s (%.1f MB), %d runs per case, medians%s" % (
        log, os.path.getsize(log) / 1e6, runs, note))
    print("%-9s %10s %9s %12s %10s" % ("case", "count", "seconds",
                                       "x " + baseline, "peak MiB"))
    for case, found in results.items():
        seconds = statistics.median(r["seconds"] for r in found)
        print("%-9s %10d %9.3f %12.2f %10.0f" % (
            case, found[0]["count"], seconds, seconds / floor,
            statistics.median(r["rss"] for r in found)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("log", nargs="?")
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        seconds, count = CASES[args.case](args.log)
        print(json.dumps({"seconds": seconds, "count": count,
                          "rss": peak_rss_mib()}))
        return

    log = args.log or bench_log("mixed", args.frames, "--mix")
    results = {case: [] for case in CASES}
    for _ in range(args.runs):
        for case in CASES:
            results[case].append(run(case, log))
    report(results, "numpy", log, args.runs)


if __name__ == "__main__":
    main()
