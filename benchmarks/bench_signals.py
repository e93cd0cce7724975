#!/usr/bin/env python3
"""Signals from a CAN database: MdfFile.decode_signals against a cantools
decode_message loop and asammdf's bus-logging extraction.

    python3 benchmarks/bench_signals.py [--frames N] [--runs R]
        [--loop-frames L] [--database plain|vehicle]
        [--baseline-python PYTHON]

It writes, with the test writer, a log of N classic CAN data frames
(default 1 million, one unsorted data group, 8-byte random payloads)
whose ids are those of a generated database, in build/bench/, with the
database as a DBC file next to it:

  plain     20 messages of 8 signals of 8 bits each, little and big
            endian, signed and unsigned, scaled
  vehicle   50 messages shaped as a vehicle network's: a 16-bit scaled
            value, a 12-bit big-endian one, a signed temperature with an
            offset, four flags, a state and a mode with value tables and
            a counter (10 signals); every fifth message multiplexed by a
            2-bit selector whose every value selects three signals of
            its own (14 signals). Value tables are decoded to labels on
            both sides (cantools' default, decode_choices=True here).
 Every case runs R times in a fresh process of the main
environment, interleaved; the table shows medians, the peak RSS (VmHWM),
and how many times faster than the cantools loop and than asammdf each
case is. With --baseline-python (an interpreter with another build of the
package installed, e.g. the one this work started from), the package's
own cases also run in it, interleaved with the others, as rows labelled
"before", and each "now" row gives its time over the "before" one.

  pandas    MdfFile(log).decode_signals(dbc): one pandas.DataFrame per
            message, from the file (reading included)
  numpy     the same with as_="numpy"
  columns   decode_signals(columns, db, as_="numpy") over the columns of
            to_numpy already in memory (reading not included, as in the
            cantools loop)
  batches   decode_signals(batch, dbc, as_="numpy") over the batches of
            iter_batches(rows=100_000), the database given by its path
            each time (reading included)
  cantools  db.decode_message(id, data) for every frame, from frames
            already in memory (reading not included); timed on the first
            L frames (default 100,000) and scaled to all of them
  asammdf   MDF(log).extract_bus_logging({"CAN": [(dbc, 0)]}) (reading
            included), where asammdf is installed

Imports are not timed, and neither is pandas' own first use: its first
table with text (column names, categories) imports pyarrow's pandas
support, tens of milliseconds once per process, so every case makes a
small table before its timing.
"""
import argparse
import json
import os
import statistics
import time

from bench_messages import (bench_log, has_module, interleaved, over_before,
                            peak_rss_mib, python_of)

MESSAGES, SIGNALS = 20, 8
VEHICLE_MESSAGES = 50
# Value tables decoded to labels in the package's cases (the vehicle
# database's, as cantools' decode_message does by default).
CHOICES = False


def database(kind="plain"):
    if kind == "vehicle":
        return vehicle_database()
    from cantools.database.can import Database, Message, Signal
    from cantools.database.conversion import BaseConversion
    messages = []
    for number in range(MESSAGES):
        signals = []
        for k in range(SIGNALS):
            little = (number + k) % 2 == 0
            signals.append(Signal(
                "S%d_%d" % (number, k), 8 * k if little else 8 * k + 7, 8,
                byte_order="little_endian" if little else "big_endian",
                is_signed=k % 3 == 0,
                conversion=BaseConversion.factory(scale=0.5, offset=-10)))
        messages.append(Message(0x100 + number, "M%d" % number, 8, signals))
    return Database(messages=messages)


def vehicle_database():
    """The vehicle-like database (see the module's description)."""
    from cantools.database.can import Database, Message, Signal
    from cantools.database.conversion import BaseConversion

    def signal(name, start, length, order="little_endian", signed=False,
               scale=1, offset=0, choices=None, **mux):
        return Signal(name, start, length, byte_order=order,
                      is_signed=signed, conversion=BaseConversion.factory(
                          scale=scale, offset=offset, choices=choices),
                      **mux)

    states = {0: "Off", 1: "On", 2: "Error", 3: "Unavailable"}
    modes = {k: "Mode%d" % k for k in range(8)}
    messages = []
    for number in range(VEHICLE_MESSAGES):
        name = "V%d" % number
        counter = signal(name + "_Counter", 56, 8)
        if number % 5 == 4:
            signals = [signal(name + "_Mux", 0, 2, is_multiplexer=True)]
            for value in range(4):
                mux = dict(multiplexer_signal=name + "_Mux",
                           multiplexer_ids=[value])
                signals += [
                    signal("%s_A%d" % (name, value), 8, 16, scale=0.1,
                           **mux),
                    signal("%s_B%d" % (name, value), 31, 16, "big_endian",
                           signed=True, scale=0.01, **mux),
                    signal("%s_F%d" % (name, value), 40, 1, **mux)]
            signals.append(counter)
        else:
            signals = [
                signal(name + "_Speed", 0, 16, scale=0.01),
                signal(name + "_Temperature", 16, 8, signed=True,
                       offset=-40),
                *[signal("%s_Flag%d" % (name, k), 24 + k, 1)
                  for k in range(4)],
                signal(name + "_State", 28, 2, choices=states),
                signal(name + "_Mode", 30, 3, choices=modes),
                signal(name + "_Level", 47, 12, "big_endian", scale=0.5),
                counter]
        messages.append(Message(0x100 + number, name, 8, signals))
    return Database(messages=messages)


def write_database(path, kind):
    with open(path, "w") as file:
        file.write(database(kind).as_dbc_string())


def warm_pandas():
    """pandas' one-time lazy imports, before a case's timing."""
    try:
        import pandas
    except ImportError:
        return
    pandas.DataFrame({"a": pandas.Categorical(["x"])})


def case_pandas(log, as_="pandas"):
    import cantools  # noqa: F401 (imports are not timed, as in the others)
    import pandas  # noqa: F401
    from python_can_brenix_mf4 import MdfFile
    began = time.perf_counter()
    with MdfFile(log) as reader:
        tables = reader.decode_signals(log[:-4] + ".dbc", as_=as_,
                                       decode_choices=CHOICES)
    seconds = time.perf_counter() - began
    return seconds, sum(len(t["timestamp"]) for t in tables.values())


def case_numpy(log):
    return case_pandas(log, "numpy")


def case_columns(log):
    import cantools
    from python_can_brenix_mf4 import MdfFile, decode_signals
    db = cantools.database.load_file(log[:-4] + ".dbc")
    with MdfFile(log) as reader:
        cols = reader.to_numpy(columns=["timestamp", "timestamp_ns",
                                        "channel", "arbitration_id",
                                        "is_extended_id", "dlc", "data"])
    began = time.perf_counter()
    tables = decode_signals(cols, db, as_="numpy", decode_choices=CHOICES)
    seconds = time.perf_counter() - began
    return seconds, sum(len(t["timestamp"]) for t in tables.values())


def case_batches(log):
    import cantools  # noqa: F401 (imports are not timed, as in the others)
    from python_can_brenix_mf4 import MdfFile, decode_signals
    began = time.perf_counter()
    count = 0
    with MdfFile(log) as reader:
        for batch in reader.iter_batches(rows=100_000):
            tables = decode_signals(batch, log[:-4] + ".dbc", as_="numpy",
                                    decode_choices=CHOICES)
            count += sum(len(t["timestamp"]) for t in tables.values())
    return time.perf_counter() - began, count


def case_cantools(log, subset):
    import cantools
    from python_can_brenix_mf4 import MdfFile
    db = cantools.database.load_file(log[:-4] + ".dbc")
    with MdfFile(log) as reader:
        cols = reader.to_numpy(columns=["arbitration_id", "dlc", "data"])
    total = len(cols["dlc"])
    frames = [(int(i), bytes(d[:n])) for i, n, d in
              zip(cols["arbitration_id"][:subset], cols["dlc"][:subset],
                  cols["data"][:subset])]
    decode = db.decode_message
    began = time.perf_counter()
    for frame_id, data in frames:
        decode(frame_id, data)
    seconds = time.perf_counter() - began
    return seconds * total / len(frames), total


def case_asammdf(log):
    from asammdf import MDF
    began = time.perf_counter()
    decoded = MDF(log).extract_bus_logging({"CAN": [(log[:-4] + ".dbc", 0)]})
    seconds = time.perf_counter() - began
    samples = sum(group.channel_group.cycles_nr for group in decoded.groups)
    return seconds, samples


# The cases of this package, run again under --baseline-python.
OURS = ("pandas", "numpy", "columns", "batches")


def report(results, log, runs, loop_frames):
    """Medians, peak RSS, and the speed-ups over the cantools loop and
    asammdf (and over "before" where there is one)."""
    def median(label, key="seconds"):
        return statistics.median(r[key] for r in results[label])
    print("log: %s (%.1f MB), %d runs per case, medians; cantools timed "
          "on %d frames and scaled; load average %s" % (
              log, os.path.getsize(log) / 1e6, runs, loop_frames,
              " ".join("%.2f" % x for x in os.getloadavg())))
    cantools = median("cantools")
    asammdf = median("asammdf") if "asammdf" in results else float("nan")
    print("%-16s %9s %9s %12s %12s %12s %9s" % (
        "case", "count", "seconds", "vs cantools", "vs asammdf",
        "now/before", "peak MiB"))
    for label in results:
        seconds = median(label)
        print("%-16s %9d %9.3f %11.1fx %11.2fx %12s %9.0f" % (
            label, results[label][0]["count"], seconds, cantools / seconds,
            asammdf / seconds, over_before(results, label),
            median(label, "rss")))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("log", nargs="?")
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--loop-frames", type=int, default=100_000)
    parser.add_argument("--database", choices=("plain", "vehicle"),
                        default="plain")
    parser.add_argument("--baseline-python",
                        help="also run this package's cases with this "
                        "interpreter, as \"before\"")
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    global CHOICES
    CHOICES = args.database == "vehicle"
    cases = {"pandas": case_pandas, "numpy": case_numpy,
             "columns": case_columns, "batches": case_batches,
             "cantools": lambda log: case_cantools(log, args.loop_frames),
             "asammdf": case_asammdf}
    if args.case:
        warm_pandas()
        seconds, count = cases[args.case](args.log)
        print(json.dumps({"seconds": seconds, "count": count,
                          "rss": peak_rss_mib()}))
        return

    if args.database == "vehicle":
        log = args.log or bench_log("signals-vehicle", args.frames, "--ids",
                                    str(VEHICLE_MESSAGES), "--seed", "18")
    else:
        log = args.log or bench_log("signals", args.frames, "--ids",
                                    str(MESSAGES), "--seed", "18")
    if not os.path.exists(log[:-4] + ".dbc"):
        write_database(log[:-4] + ".dbc", args.database)
    if not has_module(python_of("main"), "asammdf"):
        del cases["asammdf"]
    results = interleaved(__file__, cases, OURS, args.baseline_python,
                          args.runs, log, "--loop-frames",
                          str(args.loop_frames), "--database", args.database)
    report(results, log, args.runs, args.loop_frames)


if __name__ == "__main__":
    main()
