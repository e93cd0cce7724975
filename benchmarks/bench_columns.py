#!/usr/bin/env python3
"""Frames as columns: MdfFile.to_numpy and to_arrow against asammdf's
columnar read, message iteration and a plain read of the file.

    python3 benchmarks/bench_columns.py [LOG.mf4] [--frames N] [--runs R]
        [--baseline-python PYTHON]

Without a log it uses the mixed log of the message benchmark
(benchmarks/write_big_log.py --mix: one unsorted data group, 70% classic
CAN, 20% CAN FD with 64-byte payloads in a VLSD channel group, 10% LIN),
1 million frames, in build/bench/. Every case runs R times, each in a
fresh process of the main environment, interleaved; the table shows
medians, the peak RSS (VmHWM) of the process, each case's time over
to_numpy's, how many times faster than asammdf it is and its time over
the plain read's, and the load average. With --baseline-python (an
interpreter with another build of the package installed, e.g. the one this
work started from) the package's own cases also run in it, interleaved
with the others, as rows labelled "before", and each "now" row gives its
time over the "before" one:

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
import time

from bench_messages import (bench_log, case_asammdf, case_object,
                            interleaved, over_before, peak_rss_mib)


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


# The cases of this package, run again under --baseline-python.
OURS = ("numpy", "numeric", "arrow", "batches", "messages")


def report(results, log, runs):
    """Medians: each case's time over to_numpy's, asammdf's time over the
    case's, the case's over the plain read's, over "before" where there is
    one, and the peak RSS."""
    def median(label, key="seconds"):
        return statistics.median(r[key] for r in results[label])
    print("log: %s (%.1f MB), %d runs per case, medians; load average %s"
          % (log, os.path.getsize(log) / 1e6, runs,
             " ".join("%.2f" % x for x in os.getloadavg())))
    numpy, read = median("numpy"), median("read")
    asammdf = median("asammdf") if "asammdf" in results else float("nan")
    print("%-16s %9s %9s %8s %11s %8s %11s %9s" % (
        "case", "count", "seconds", "x numpy", "vs asammdf", "x read",
        "now/before", "peak MiB"))
    for label in results:
        seconds = median(label)
        print("%-16s %9d %9.3f %8.2f %10.1fx %8.1f %11s %9.0f" % (
            label, results[label][0]["count"], seconds, seconds / numpy,
            asammdf / seconds, seconds / read, over_before(results, label),
            median(label, "rss")))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("log", nargs="?")
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--baseline-python",
                        help="also run this package's cases with this "
                        "interpreter, as \"before\"")
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        seconds, count = CASES[args.case](args.log)
        print(json.dumps({"seconds": seconds, "count": count,
                          "rss": peak_rss_mib()}))
        return

    log = args.log or bench_log("mixed", args.frames, "--mix")
    results = interleaved(__file__, CASES, OURS, args.baseline_python,
                          args.runs, log)
    report(results, log, args.runs)


if __name__ == "__main__":
    main()
