#!/usr/bin/env python3
"""Iterating MdfFile against building the same messages in Python.

    python3 benchmarks/bench_messages.py [LOG.mf4] [--frames N] [--runs R]
        [--envs main,py3.9,...]

Without a log it writes the mixed log with the test writer
(benchmarks/write_big_log.py --mix: one unsorted data group, 70% classic
CAN, 20% CAN FD with 64-byte payloads in a VLSD channel group, 10% LIN),
1 million frames, to build/bench/mixed-N.mf4. Every case runs R times, each
in a fresh process, interleaved; the table shows medians and the peak RSS
(VmHWM) of the process:

  object   iterating MdfFile(path): every frame as a can.Message
  floor    can.Message(**kw) for the same frames from prebuilt keyword
           arguments (the cost of building the messages in Python)
  pycan    python-can's own MF4 reader (can.MF4Reader; CAN frames only)
  asammdf  asammdf's columnar read of every channel of every group

object and floor run on every interpreter environment (build/venv/, after
bash scripts/setup.sh); pycan and asammdf where asammdf is installed.
The ratio is the case's time over the floor's on the same interpreter.
"""
import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)


def peak_rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def message_keywords(message):
    """The keyword arguments can.Message needs to build `message`."""
    keywords = dict(timestamp=message.timestamp,
                    arbitration_id=message.arbitration_id,
                    dlc=message.dlc, data=bytes(message.data),
                    channel=message.channel)
    if message.is_error_frame:
        keywords["is_error_frame"] = True
        return keywords
    keywords.update(is_rx=message.is_rx,
                    is_extended_id=message.is_extended_id)
    if message.is_remote_frame:
        keywords["is_remote_frame"] = True
    elif message.channel.startswith("CAN"):
        keywords.update(is_fd=message.is_fd,
                        error_state_indicator=message.error_state_indicator,
                        bitrate_switch=message.bitrate_switch)
    return keywords


def case_object(log):
    from python_can_brenix_mf4 import MdfFile
    began = time.perf_counter()
    count = 0
    with MdfFile(log) as reader:
        for _ in reader:
            count += 1
    return time.perf_counter() - began, count


def case_floor(log):
    import can
    from python_can_brenix_mf4 import MdfFile
    with MdfFile(log) as reader:
        prebuilt = [message_keywords(m) for m in reader]
    Message = can.Message
    began = time.perf_counter()
    for keywords in prebuilt:
        Message(**keywords)
    return time.perf_counter() - began, len(prebuilt)


def case_pycan(log):
    import can
    began = time.perf_counter()
    count = 0
    with can.MF4Reader(log) as reader:
        for _ in reader:
            count += 1
    return time.perf_counter() - began, count


def case_asammdf(log):
    from asammdf import MDF
    began = time.perf_counter()
    count = 0
    mdf = MDF(log)
    for index, group in enumerate(mdf.groups):
        if group.channel_group.flags & 1:  # VLSD channel group: no channels
            continue
        for channel in range(len(group.channels)):
            signal = mdf.get(group=index, index=channel, raw=True)
            if channel == 0:
                count += len(signal)
    mdf.close()
    return time.perf_counter() - began, count


CASES = {"object": case_object, "floor": case_floor, "pycan": case_pycan,
         "asammdf": case_asammdf}


def child(case, log):
    seconds, frames = CASES[case](log)
    print(json.dumps({"seconds": seconds, "frames": frames,
                      "rss": peak_rss_mib()}))


def python_of(env):
    return os.path.join(ROOT, "build", "venv", env, "bin", "python")


def bench_log(name, frames, *options):
    """build/bench/NAME-FRAMES.mf4, written by benchmarks/write_big_log.py
    with `options` when it is missing; its path."""
    log = os.path.join(ROOT, "build", "bench", "%s-%d.mf4" % (name, frames))
    if not os.path.exists(log):
        os.makedirs(os.path.dirname(log), exist_ok=True)
        subprocess.run([python_of("main"), os.path.join(
            ROOT, "benchmarks", "write_big_log.py"), log, "--frames",
            str(frames), *options], check=True)
    return log


def has_module(python, name):
    return subprocess.run([python, "-c", "import " + name],
                          capture_output=True).returncode == 0


def run_script(script, python, case, log, *options):
    """One case of a benchmark script in a fresh process of `python`: the
    JSON line it prints last."""
    result = subprocess.run([python, os.path.abspath(script), "--case",
                             case, *options, log],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit("%s %s failed:\n%s" % (python, case, result.stderr))
    return json.loads(result.stdout.splitlines()[-1])


def run(python, case, log):
    return run_script(__file__, python, case, log)


def median_of(results, label, key="seconds"):
    return statistics.median(r[key] for r in results[label])


def over_before(results, label):
    """A label's median time over its "before" one's, as text ("" where
    there is none)."""
    before = "before " + label
    if before not in results:
        return ""
    return "%.2f" % (median_of(results, label) / median_of(results, before))


def interleaved(script, cases, ours, baseline_python, runs, log, *options):
    """Every case of a benchmark script `runs` times, each in a fresh
    process of the main environment, interleaved; the cases in `ours` also
    with `baseline_python` (where given) as "before <case>". Each round
    runs them in an order of its own (shuffled, the same for the same
    round), so that no case always runs right after the same other one (a
    process that has just given back much memory slows the first touches
    of the next one on some machines). The results by label."""
    plan = []  # (label, interpreter, case)
    for case in cases:
        plan.append((case, python_of("main"), case))
        if baseline_python and case in ours:
            plan.append(("before " + case, baseline_python, case))
    results = {label: [] for label, _, _ in plan}
    for round_ in range(runs):
        order = list(plan)
        random.Random(round_).shuffle(order)
        for label, python, case in order:
            results[label].append(run_script(script, python, case, log,
                                             *options))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("log", nargs="?")
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--envs", help="comma-separated environments "
                        "(default: every one in build/venv/envs)")
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        return child(args.case, args.log)

    log = args.log or bench_log("mixed", args.frames, "--mix")
    if args.envs:
        envs = args.envs.split(",")
    else:
        with open(os.path.join(ROOT, "build", "venv", "envs")) as listed:
            envs = listed.read().split()
    wanted = args.cases.split(",")

    print("log: %s (%.1f MB), %d runs per case" % (
        log, os.path.getsize(log) / 1e6, args.runs))
    print("%-8s %-8s %9s %10s %10s %8s %10s" % (
        "python", "case", "frames", "seconds", "frames/s", "ratio",
        "peak MiB"))
    for env in envs:
        python = python_of(env)
        cases = [c for c in ("object", "floor") if c in wanted]
        if has_module(python, "asammdf"):
            cases += [c for c in ("pycan", "asammdf") if c in wanted]
        results = {c: [] for c in cases}
        for _ in range(args.runs):
            for case in cases:
                results[case].append(run(python, case, log))
        version = subprocess.run(
            [python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
            capture_output=True, text=True).stdout.strip()
        floor = statistics.median(r["seconds"] for r in results["floor"]) \
            if "floor" in results else None
        for case, runs in results.items():
            seconds = statistics.median(r["seconds"] for r in runs)
            frames = runs[0]["frames"]
            rss = statistics.median(r["rss"] for r in runs)
            ratio = "%.2f" % (seconds / floor) if floor else "-"
            print("%-8s %-8s %9d %10.3f %10.0f %8s %10.0f" % (
                version, case, frames, seconds, frames / seconds, ratio, rss))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
