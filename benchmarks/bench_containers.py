#!/usr/bin/env python3
"""Peak memory and time of reading compressed and encrypted logs against
the same plain log, this tree's core against another revision's side by
side (main by default), without Python: benchmarks/read_containers.cpp
reads each log merged by timestamp as the column path does, in fresh
processes, and reports its peak RSS (VmHWM).

    python3 benchmarks/bench_containers.py [--frames 1000000 10000000]
        [--rounds 3] [--baseline 144cbcf]

Logs (build/bench/containers-*.mf4, written when missing): the mixed log
of the other benchmarks (one unsorted data group) at each frame count and,
at the first count, its sorted form (one data group per frame kind and bus
channel, read far apart by the merge); each plain, compressed (W 11, L 4,
CRC footer, as loggers write) and encrypted. Prints medians per log and
build: seconds, peak RSS, the peak over the plain log's, and for
compressed logs the content bytes decoded per content byte.
"""
import argparse
import os
import statistics
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
sys.path.insert(0, os.path.join(ROOT, "tests"))
BENCH = os.path.join(ROOT, "build", "bench")
PASSWORD = "bench"


def build(name, source):
    """The core of `source` and read_containers against it."""
    folder = os.path.join(BENCH, name)
    subprocess.run(["cmake", "-S", source, "-B", folder, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["nice", "cmake", "--build", folder, "-j2", "--target",
                    "mf4_core"], check=True, stdout=subprocess.DEVNULL)
    program = os.path.join(folder, "read_containers")
    subprocess.run(["nice", "c++", "-O2", "-std=c++20",
                    "-I" + os.path.join(source, "src"),
                    os.path.join(ROOT, "benchmarks", "read_containers.cpp"),
                    os.path.join(folder, "libmf4_core.a"), "-lexpat",
                    "-lmbedcrypto", "-lz", "-o", program], check=True)
    return program


def baseline_source(revision):
    folder = os.path.join(BENCH, "baseline-src")
    subprocess.run(["rm", "-rf", folder], check=True)
    os.makedirs(folder)
    archive = subprocess.run(["git", "-C", ROOT, "archive", revision, "src",
                              "CMakeLists.txt"], check=True,
                             stdout=subprocess.PIPE).stdout
    subprocess.run(["tar", "-x", "-C", folder], input=archive, check=True)
    return folder


def logs(counts):
    """{name: path}, written when missing."""
    from support.mf4writer import compress, encrypt
    out = {}
    shapes = [(n, "mixed", ["--mix"]) for n in counts]
    shapes.insert(1, (counts[0], "sorted", ["--mix", "--shape", "sorted"]))
    for frames, shape, arguments in shapes:
        stem = os.path.join(BENCH, "containers-%s-%d" % (shape, frames))
        plain = stem + "-plain.mf4"
        if not os.path.exists(plain):
            subprocess.run([sys.executable, os.path.join(
                ROOT, "benchmarks", "write_big_log.py"), plain, "--frames",
                str(frames)] + arguments, check=True)
        wraps = {"compressed": compress,
                 "encrypted": lambda d: encrypt(d, PASSWORD)}
        out["%s %d plain" % (shape, frames)] = plain
        for kind, wrap in wraps.items():
            path = "%s-%s.mf4" % (stem, kind)
            if not os.path.exists(path):
                with open(plain, "rb") as f:
                    data = wrap(f.read())
                with open(path, "wb") as f:
                    f.write(data)
                del data
            out["%s %d %s" % (shape, frames, kind)] = path
    return out


def measure(program, path):
    done = subprocess.run([program, "--password", "default=" + PASSWORD,
                           path], check=True, stdout=subprocess.PIPE,
                          text=True).stdout
    return {k: float(v) for k, v in (p.split("=") for p in done.split())}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, nargs="+",
                        default=[1_000_000, 10_000_000])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--baseline", default="144cbcf")
    options = parser.parse_args()
    os.makedirs(BENCH, exist_ok=True)
    # One build folder per revision: the extracted sources carry their
    # commit's times, older than another revision's objects.
    builds = {"baseline": build("containers-" + options.baseline,
                                baseline_source(options.baseline)),
              "current": build("containers-current", ROOT)}
    paths = logs(options.frames)
    results = {}
    # Rounds interleave logs and builds: the machine's noise falls on all.
    for _ in range(options.rounds):
        for name, path in paths.items():
            for label, program in builds.items():
                results.setdefault((name, label), []).append(
                    measure(program, path))
    print(os.popen("uptime").read().strip())
    print("%-28s %-9s %9s %10s %12s %14s" % (
        "log", "build", "seconds", "peak MiB", "over plain", "decoded/byte"))
    for (name, label), runs in results.items():
        seconds = statistics.median(r["seconds"] for r in runs)
        peak = statistics.median(r["hwm_kib"] for r in runs) / 1024
        plain = results[(name.rsplit(" ", 1)[0] + " plain", label)]
        base = statistics.median(r["hwm_kib"] for r in plain) / 1024
        decoded = runs[0]["decoded"] / runs[0]["content"] \
            if runs[0]["content"] else 0
        rows = {r["rows"] for r in runs}
        print("%-28s %-9s %9.3f %10.1f %+12.1f %14s%s" % (
            name, label, seconds, peak, peak - base,
            "%.2f" % decoded if decoded else "",
            "" if len(rows) == 1 else "  rows differ: %s" % rows))


if __name__ == "__main__":
    main()
