#!/usr/bin/env python3
"""Fleets of logs: frames per (file, channel, arbitration id) over a folder
of logs with python_can_brenix_mf4.dask.read_logs on a distributed
LocalCluster of one worker process against two, and with read_logs on one
thread against two.

    python3 benchmarks/bench_fleet.py [--logs N] [--frames F] [--runs R]

Writes N logs (default 24) of F frames each (default 400,000: 70% classic
CAN, 20% CAN FD of 64 bytes, 10% LIN; every third log compressed) into
build/bench/fleet/ once. Every case runs R times, each in a fresh process
of the main environment, interleaved; the time counts from the call to
the result (the cluster is started before). The table shows medians, the
peak RSS (VmHWM) of the process (the workers' own processes not counted;
the workers have imported the package before)
and each case's speed-up over its one-worker case:

  dask-1     dask read_logs + groupby size on LocalCluster(n_workers=1)
  dask-2     the same on LocalCluster(n_workers=2)
  threads-1  read_logs(threads=1) + the same groupby in pandas
  threads-2  read_logs(threads=2) + the same groupby in pandas
"""
import argparse
import importlib
import json
import os
import statistics
import subprocess
import sys
import time

from bench_messages import ROOT, peak_rss_mib, python_of

FOLDER = os.path.join(ROOT, "build", "bench", "fleet")


def write_fleet(logs, frames):
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from support.mf4writer import DataGroup, build_mf4, compress
    from write_big_log import mixed_traffic
    os.makedirs(FOLDER, exist_ok=True)
    stamp = os.path.join(FOLDER, "fleet.json")
    wanted = {"logs": logs, "frames": frames}
    try:
        with open(stamp) as file:
            if json.load(file) == wanted:
                return
    except (OSError, ValueError):
        pass
    for name in os.listdir(FOLDER):
        os.remove(os.path.join(FOLDER, name))
    for number in range(logs):
        data = build_mf4([DataGroup(mixed_traffic(frames, number),
                                    record_id_size=1)]).data
        if number % 3 == 2:
            data = compress(data)
        with open(os.path.join(FOLDER, "log_%03d.mf4" % number), "wb") as f:
            f.write(data)
    with open(stamp, "w") as file:
        json.dump(wanted, file)


KEYS = ["file", "channel", "arbitration_id"]


def case_dask(workers):
    import distributed
    from python_can_brenix_mf4.dask import read_logs
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                  processes=True, dashboard_address=None
                                  ) as cluster, distributed.Client(
                                      cluster) as client:
        # Each worker imports the package (and pandas, pyarrow) once.
        client.run(importlib.import_module, "python_can_brenix_mf4.dask")
        began = time.perf_counter()
        frames = read_logs(FOLDER, columns=["channel", "arbitration_id"])
        counts = frames.groupby(KEYS, observed=True).size().compute()
        return time.perf_counter() - began, int(counts.sum())


def case_threads(threads):
    from python_can_brenix_mf4 import read_logs
    began = time.perf_counter()
    frames = read_logs(FOLDER, columns=["channel", "arbitration_id"],
                       to="pandas", threads=threads)
    counts = frames.groupby(KEYS, observed=True).size()
    return time.perf_counter() - began, int(counts.sum())


CASES = {"dask-1": lambda: case_dask(1), "dask-2": lambda: case_dask(2),
         "threads-1": lambda: case_threads(1),
         "threads-2": lambda: case_threads(2)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--logs", type=int, default=24)
    parser.add_argument("--frames", type=int, default=400_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        seconds, rows = CASES[args.case]()
        print(json.dumps({"seconds": seconds, "rows": rows,
                          "rss": peak_rss_mib()}))
        return
    write_fleet(args.logs, args.frames)
    python = python_of("main")
    results = {case: [] for case in CASES}
    for _ in range(args.runs):
        for case in CASES:
            out = subprocess.run(
                [python, __file__, "--case", case], check=True,
                capture_output=True, text=True).stdout
            results[case].append(json.loads(out.strip().splitlines()[-1]))
    rows = {r["rows"] for runs in results.values() for r in runs}
    print("%d logs, %d frames in all, %d runs each (medians)"
          % (args.logs, rows.pop() if len(rows) == 1 else -1, args.runs))
    print("%-10s %9s %9s %9s" % ("case", "seconds", "RSS MiB", "speed-up"))
    for case, runs in results.items():
        seconds = statistics.median(r["seconds"] for r in runs)
        base = statistics.median(
            r["seconds"] for r in results[case.split("-")[0] + "-1"])
        print("%-10s %9.2f %9.0f %8.2fx" % (
            case, seconds, statistics.median(r["rss"] for r in runs),
            base / seconds))


if __name__ == "__main__":
    main()
