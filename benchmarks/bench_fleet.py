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
the workers have imported the package before), the CPU seconds spent in
the process (for dask: the client and the scheduler) and in the workers
over that time, and each case's speed-up over its one-worker case. The
CPU seconds tell what a second core can win when the machine is busy:
the workers' share divides among them, the client's does not.

  dask-1     dask read_logs + each file's groupby size on the worker that
             read it, gathered by the client; LocalCluster(n_workers=1)
  dask-2     the same on LocalCluster(n_workers=2)
  dask-groupby-1, -2  dask's own groupby(...).size() of the frames instead
             (for this many groups dask shuffles them between the workers)
  threads-1  read_logs(threads=1) + the same groupby in pandas
  threads-2  read_logs(threads=2) + the same groupby in pandas
"""
import argparse
import importlib
import json
import os
import resource
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


def count_per_file(frame):
    """Frames per (file, channel, arbitration id) of one partition: with
    one partition per file (read_logs without blocksize) these are the
    file's final counts, so that the workers aggregate and the client only
    gathers."""
    return frame.groupby(KEYS, observed=True, sort=False).size()


def cpu_seconds():
    """User and system CPU seconds of this process so far."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def case_dask(workers, per_file=True):
    import distributed
    import bench_fleet  # the workers find count_per_file under this name
    from python_can_brenix_mf4.dask import read_logs
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                  processes=True, dashboard_address=":0"
                                  ) as cluster, distributed.Client(
                                      cluster) as client:
        # Each worker imports the package (and pandas, pyarrow) once.
        client.run(importlib.import_module, "python_can_brenix_mf4.dask")
        work = sum(client.run(bench_fleet.cpu_seconds).values())
        own = cpu_seconds()
        began = time.perf_counter()
        frames = read_logs(FOLDER, columns=["channel", "arbitration_id"])
        if per_file:
            counts = frames.map_partitions(
                bench_fleet.count_per_file, meta=("size", "int64")).compute()
        else:
            counts = frames.groupby(KEYS, observed=True).size().compute()
        seconds = time.perf_counter() - began
        own = cpu_seconds() - own
        work = sum(client.run(bench_fleet.cpu_seconds).values()) - work
        return seconds, int(counts.sum()), own, work


def case_threads(threads):
    from python_can_brenix_mf4 import read_logs
    own = cpu_seconds()
    began = time.perf_counter()
    frames = read_logs(FOLDER, columns=["channel", "arbitration_id"],
                       to="pandas", threads=threads)
    counts = frames.groupby(KEYS, observed=True).size()
    return (time.perf_counter() - began, int(counts.sum()),
            cpu_seconds() - own, 0.0)


CASES = {"dask-1": lambda: case_dask(1), "dask-2": lambda: case_dask(2),
         "dask-groupby-1": lambda: case_dask(1, False),
         "dask-groupby-2": lambda: case_dask(2, False),
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
        seconds, rows, own, work = CASES[args.case]()
        print(json.dumps({"seconds": seconds, "rows": rows, "own": own,
                          "work": work, "rss": peak_rss_mib()}))
        return
    write_fleet(args.logs, args.frames)
    python = python_of("main")
    load = os.getloadavg()[0]
    results = {case: [] for case in CASES}
    for _ in range(args.runs):
        for case in CASES:
            out = subprocess.run(
                [python, __file__, "--case", case], check=True,
                capture_output=True, text=True).stdout
            results[case].append(json.loads(out.strip().splitlines()[-1]))
    print("load average before: %.1f, after: %.1f"
          % (load, os.getloadavg()[0]))
    rows = {r["rows"] for runs in results.values() for r in runs}
    print("%d logs, %d frames in all, %d runs each (medians)"
          % (args.logs, rows.pop() if len(rows) == 1 else -1, args.runs))
    print("%-14s %9s %9s %9s %9s %9s" % ("case", "seconds", "RSS MiB",
                                         "CPU own", "CPU work", "speed-up"))
    for case, runs in results.items():
        def median(key, of=runs):
            return statistics.median(r[key] for r in of)
        base = median("seconds", results[case.rsplit("-", 1)[0] + "-1"])
        print("%-14s %9.2f %9.0f %9.2f %9.2f %8.2fx" % (
            case, median("seconds"), median("rss"), median("own"),
            median("work"), base / median("seconds")))


if __name__ == "__main__":
    main()
