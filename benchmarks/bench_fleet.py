#!/usr/bin/env python3
"""Fleets of logs: frames per (file, channel, arbitration id) over a folder
of logs with python_can_brenix_mf4.dask.read_logs on a distributed
LocalCluster of one worker process against two, with read_logs on one
thread against two, and, for the machine's own ceiling, with the same
work in one plain process against two at once.

    python3 benchmarks/bench_fleet.py [--logs N] [--frames F] [--runs R]
        [--config random|ids ...] [--case CASE ...]

Writes N logs (default 24) of F frames each (default 400,000: 70% classic
CAN, 20% CAN FD of 64 bytes, 10% LIN; every third log compressed) once,
in two configurations: "random" (build/bench/fleet/: random arbitration
ids, so that each log has about 110,000 (channel, id) groups and the
counts 2.7 million rows) and "ids" (build/bench/fleet-ids/: the CAN frames
take 200 standard ids of a set per log, as real buses have a few hundred:
a few hundred groups per log). Every case runs R times, each in a fresh
process of the main environment, interleaved; the time counts from the
call to the result (the cluster is started and the workers and the client
have imported dask.dataframe and the package before: a one-off cost of a
process, like the cluster's start). The table shows medians, the peak RSS
(VmHWM) of the process (the workers' own processes not counted), the CPU
seconds spent in the process (for dask: the client and the scheduler) and
in the workers over that time, and each case's speed-up over its
one-worker case. The CPU seconds tell what a second core can win when the
machine is busy: the workers' share divides among them, the client's does
not.

  dask-1     dask read_logs + each file's groupby size (as a table) on the
             worker that read it, computed into one table;
             LocalCluster(n_workers=1)
  dask-2     the same on LocalCluster(n_workers=2)
  dask-groupby-1, -2  dask's own groupby(...).size() of the frames instead
             (for this many groups dask shuffles them between the workers)
  threads-1  read_logs(threads=1) + the same groupby in pandas
  threads-2  read_logs(threads=2) + the same groupby in pandas
  processes-1  the machine's ceiling: one process reads each file and
             counts its groups as the dask workers do (the same functions),
             without dask
  processes-2  the same work in two processes at once, each half the files
             (every other one), started and importing before the clock
             starts; RSS and CPU are the larger and the sum of the two
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

FOLDERS = {"random": os.path.join(ROOT, "build", "bench", "fleet"),
           "ids": os.path.join(ROOT, "build", "bench", "fleet-ids")}
# CAN ids per log in the "ids" configuration.
IDS = 200


def few_ids(tables, seed):
    """`tables` with the ids of their CAN frames drawn from IDS standard
    ids of a set of the log's own (LIN ids are few already)."""
    import numpy as np
    from support.mf4writer import CAN_DATA
    rng = np.random.default_rng(seed + 2)
    ids = rng.choice(1 << 11, IDS, replace=False)
    for table in tables:
        if table.kind == CAN_DATA:
            table.columns["ID"] = rng.choice(ids, len(table))
            table.columns["IDE"] = np.zeros(len(table), np.uint8)
    return tables


def write_fleet(config, logs, frames):
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from support.mf4writer import DataGroup, build_mf4, compress
    from write_big_log import mixed_traffic
    folder = FOLDERS[config]
    os.makedirs(folder, exist_ok=True)
    stamp = os.path.join(folder, "fleet.json")
    wanted = {"logs": logs, "frames": frames}
    try:
        with open(stamp) as file:
            if json.load(file) == wanted:
                return
    except (OSError, ValueError):
        pass
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    for number in range(logs):
        traffic = mixed_traffic(frames, number)
        if config == "ids":
            traffic = few_ids(traffic, number)
        data = build_mf4([DataGroup(traffic, record_id_size=1)]).data
        if number % 3 == 2:
            data = compress(data)
        with open(os.path.join(folder, "log_%03d.mf4" % number), "wb") as f:
            f.write(data)
    with open(stamp, "w") as file:
        json.dump(wanted, file)


KEYS = ["file", "channel", "arbitration_id"]


def count_per_file(frame):
    """Frames per (file, channel, arbitration id) of one partition, as a
    table of those columns and `frames`: with one partition per file
    (read_logs without blocksize) these are the file's final counts, so
    that the workers aggregate and the result is only gathered. A table,
    not a Series on a MultiIndex: the result of a compute is the partitions
    concatenated on one worker, one after the other, and pandas joins the
    MultiIndex of 24 such Series 17 times slower than the columns of 24
    tables (2.5 s against 0.15 s for the 2.7 million groups of the
    "random" configuration)."""
    return frame.groupby(KEYS, observed=True, sort=False).size() \
        .reset_index(name="frames")


def cpu_seconds():
    """User and system CPU seconds of this process so far."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def case_dask(folder, workers, per_file=True):
    import dask.dataframe  # noqa: F401 - imported once per process
    import distributed
    import bench_fleet  # the workers find count_per_file under this name
    from python_can_brenix_mf4.dask import read_logs
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                  processes=True, dashboard_address=":0"
                                  ) as cluster, distributed.Client(
                                      cluster) as client:
        # Each worker imports the package, dask.dataframe (and pandas,
        # pyarrow) and this module once.
        for module in ("python_can_brenix_mf4.dask", "dask.dataframe",
                       "bench_fleet"):
            client.run(importlib.import_module, module)
        work = sum(client.run(bench_fleet.cpu_seconds).values())
        own = cpu_seconds()
        began = time.perf_counter()
        frames = read_logs(folder, columns=["channel", "arbitration_id"])
        if per_file:
            counts = frames.map_partitions(
                bench_fleet.count_per_file,
                meta=bench_fleet.count_per_file(frames._meta)).compute()[
                    "frames"]
        else:
            counts = frames.groupby(KEYS, observed=True).size().compute()
        seconds = time.perf_counter() - began
        own = cpu_seconds() - own
        work = sum(client.run(bench_fleet.cpu_seconds).values()) - work
        return seconds, int(counts.sum()), own, work


def case_threads(folder, threads):
    from python_can_brenix_mf4 import read_logs
    own = cpu_seconds()
    began = time.perf_counter()
    frames = read_logs(folder, columns=["channel", "arbitration_id"],
                       to="pandas", threads=threads)
    counts = frames.groupby(KEYS, observed=True).size()
    return (time.perf_counter() - began, int(counts.sum()),
            cpu_seconds() - own, 0.0)


def count_files(folder, share, shares):
    """Reads every `shares`-th file of `folder` from the `share`-th and
    counts its groups, as the dask workers do (the partitions of
    python_can_brenix_mf4.dask.read_logs without dask), once a line comes
    on stdin; prints the result."""
    import pandas
    from python_can_brenix_mf4 import dask as fleet_dask
    names = sorted(n for n in os.listdir(folder) if n.endswith(".mf4"))
    paths = [os.path.join(folder, n) for n in names]
    files = pandas.Series(pandas.Categorical(
        [], dtype=pandas.CategoricalDtype(paths)))
    chosen = fleet_dask._fleet.Options(None, ["channel", "arbitration_id"],
                                       None, None, None, None, None)
    options = {"passwords": None, "columns": chosen.columns,
               "filters": chosen.filters, "any_writer": False,
               "on_error": "raise", "storage_options": None}
    print("ready", flush=True)
    sys.stdin.readline()
    own = cpu_seconds()
    rows = 0
    for number in range(share, len(paths), shares):
        frame = fleet_dask._read_file((number, paths[number], None, 0, 1),
                                      options)
        frame = fleet_dask._name_files(frame, files)
        rows += int(count_per_file(frame)["frames"].sum())
    print(json.dumps({"rows": rows, "own": cpu_seconds() - own,
                      "rss": peak_rss_mib()}), flush=True)


def case_processes(folder, processes):
    children = [subprocess.Popen(
        [sys.executable, __file__, "--count-files", folder, str(share),
         str(processes)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
        text=True) for share in range(processes)]
    for child in children:
        if child.stdout.readline().strip() != "ready":
            raise RuntimeError("a counting process failed")
    began = time.perf_counter()
    for child in children:
        child.stdin.write("go\n")
        child.stdin.flush()
    results = [json.loads(child.communicate()[0]) for child in children]
    seconds = time.perf_counter() - began
    if any(child.returncode for child in children):
        raise RuntimeError("a counting process failed")
    return (seconds, sum(r["rows"] for r in results),
            sum(r["own"] for r in results), 0.0,
            max(r["rss"] for r in results))


CASES = {"dask-1": lambda f: case_dask(f, 1),
         "dask-2": lambda f: case_dask(f, 2),
         "dask-groupby-1": lambda f: case_dask(f, 1, False),
         "dask-groupby-2": lambda f: case_dask(f, 2, False),
         "threads-1": lambda f: case_threads(f, 1),
         "threads-2": lambda f: case_threads(f, 2),
         "processes-1": lambda f: case_processes(f, 1),
         "processes-2": lambda f: case_processes(f, 2)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--logs", type=int, default=24)
    parser.add_argument("--frames", type=int, default=400_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--config", nargs="+", choices=list(FOLDERS),
                        default=list(FOLDERS))
    parser.add_argument("--case", nargs="+", choices=list(CASES),
                        default=list(CASES))
    parser.add_argument("--run", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--count-files", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.count_files:
        folder, share, shares = args.count_files
        count_files(folder, int(share), int(shares))
        return
    if args.run:
        case, config = args.run
        seconds, rows, own, work, *rss = CASES[case](FOLDERS[config])
        print(json.dumps({"seconds": seconds, "rows": rows, "own": own,
                          "work": work,
                          "rss": rss[0] if rss else peak_rss_mib()}))
        return
    for config in args.config:
        write_fleet(config, args.logs, args.frames)
    python = python_of("main")
    load = os.getloadavg()[0]
    results = {(config, case): [] for config in args.config
               for case in args.case}
    for _ in range(args.runs):
        for config, case in results:
            out = subprocess.run(
                [python, __file__, "--run", case, config], check=True,
                capture_output=True, text=True).stdout
            results[config, case].append(
                json.loads(out.strip().splitlines()[-1]))
    print("load average before: %.1f, after: %.1f"
          % (load, os.getloadavg()[0]))
    for config in args.config:
        mine = {case: runs for (c, case), runs in results.items()
                if c == config}
        rows = {r["rows"] for runs in mine.values() for r in runs}
        print("\n%s: %d logs, %d frames in all, %d runs each (medians)"
              % (config, args.logs, rows.pop() if len(rows) == 1 else -1,
                 args.runs))
        print("%-14s %9s %9s %9s %9s %9s" % (
            "case", "seconds", "RSS MiB", "CPU own", "CPU work", "speed-up"))
        for case, runs in mine.items():
            def median(key, of=runs):
                return statistics.median(r[key] for r in of)
            one = mine.get(case.rsplit("-", 1)[0] + "-1")
            speed_up = ("%8.2fx" % (median("seconds", one) /
                                    median("seconds"))) if one else ""
            print("%-14s %9.2f %9.0f %9.2f %9.2f %9s" % (
                case, median("seconds"), median("rss"), median("own"),
                median("work"), speed_up))


if __name__ == "__main__":
    main()
