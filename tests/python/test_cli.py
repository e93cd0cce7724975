"""The `mf4` command, run as a process on the samples and on writer logs,
and python-can's LogReader, logconvert and player after register()."""
import json
import os
import pathlib
import struct
import subprocess
import sys

import can
import numpy as np
import pytest

import python_can_brenix_mf4
from python_can_brenix_mf4 import MdfFile, _tools
from support.mf4writer import (CAN_DATA, LIN_FRAME, CanFrame, DataGroup,
                               build_mf4, random_traffic)
from support.mf4writer.samples import sample_log

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLES = ROOT / "samples"
SECRET = "brenix-demo"
SHAPES = ("plain", "compressed", "encrypted", "nested")


def mf4(*args, env=None, check=True):
    """Runs `python -m python_can_brenix_mf4 ARGS`; the CompletedProcess."""
    done = subprocess.run(
        [sys.executable, "-m", "python_can_brenix_mf4", *map(str, args)],
        capture_output=True, text=True, env=env, timeout=300)
    if check:
        assert done.returncode == 0, done.stderr
    return done


def sample(shape):
    return str(SAMPLES / (shape + ".mf4"))


@pytest.fixture(scope="module")
def truth():
    return sample_log().expected()


@pytest.fixture(scope="module")
def unfinalized(tmp_path_factory):
    """A logger's unfinalized file of two unsorted groups, and its log."""
    log = build_mf4([
        DataGroup(random_traffic(300, 1, kinds=(CAN_DATA, LIN_FRAME),
                                 mean_gap_ticks=50), record_id_size=1),
        DataGroup(random_traffic(200, 2, kinds=(CAN_DATA,), fd=True,
                                 mean_gap_ticks=70), record_id_size=2,
                  vlsd="cg")], finalized=False)
    path = tmp_path_factory.mktemp("cli") / "logger.mf4"
    log.write(path)
    return path, log


def content(message):
    return (message.timestamp, message.arbitration_id, message.is_extended_id,
            message.is_remote_frame, message.is_error_frame, message.is_fd,
            message.bitrate_switch, message.dlc, bytes(message.data))


@pytest.mark.parametrize("shape", SHAPES)
def test_info_json_against_the_writer(shape, truth):
    env = dict(os.environ, MF4_PASSWORDS="0001E240=" + SECRET)
    info = json.loads(mf4("info", "--json", sample(shape), env=env).stdout)
    assert info["frames"] == len(truth)
    counts = {}
    for frame in truth:
        counts[frame["channel"]] = counts.get(frame["channel"], 0) + 1
    assert {c: sum(k.values()) for c, k in info["counts"].items()} == counts
    ns = [round(frame["timestamp"] * 1e9) for frame in truth]
    assert abs(info["first_ns"] - min(ns)) < 1000
    assert abs(info["last_ns"] - max(ns)) < 1000
    assert info["first"].startswith("2024-05-01T12:00:00.")
    kinds = {"plain": [], "compressed": ["compressed"],
             "encrypted": ["encrypted"],
             "nested": ["encrypted", "compressed"]}[shape]
    assert [c["kind"] for c in info["containers"]] == kinds
    assert all(c["device_id"] == "0001E240" for c in info["containers"])
    assert (info["version"], info["finalized"], info["sorted"]) == \
        ("4.11", True, False)
    assert info["metadata"]["HDcomment.serial"] == "0001E240"
    assert SECRET not in json.dumps(info)


def test_info_text_and_unfinalized(unfinalized):
    path, log = unfinalized
    out = mf4("info", path, "--json").stdout
    info = json.loads(out)
    assert (info["finalized"], info["sorted"]) == (False, False)
    assert info["frames"] == len(log.expected())
    text = mf4("info", path).stdout
    assert "unfinalized, unsorted" in text and "frames:     500" in text


BAD = {
    # python-can up to 4.5 opens the path itself.
    "missing": lambda tmp: (tmp / "none.mf4", (),
                            ("Could not open file", "No such file")),
    "garbage": lambda tmp: (_write(tmp / "junk.mf4", b"\x00" * 300), (),
                            "Could not open data source"),
    "no password": lambda tmp: (sample("encrypted"), (),
                                "no passwords supplied"),
    "wrong password": lambda tmp: (sample("nested"),
                                   ("--password", "0001E240=not-it"),
                                   "Could not decrypt stream"),
}


def _write(path, data):
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("case, command", [
    (case, "info") for case in sorted(BAD)] + [("garbage", "dump"),
                                                ("wrong password", "finalize")])
def test_bad_input_gives_status_1_and_one_line(case, command, tmp_path):
    path, options, reason = BAD[case](tmp_path)
    args = [command, path, *options]
    if command == "finalize":
        args.append(tmp_path / "out.mf4")
    done = mf4(*args, check=False)
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert len(lines) == 1, done.stderr
    assert str(path) in lines[0]
    assert any(text in lines[0] for text in
               (reason if isinstance(reason, tuple) else (reason,)))
    assert "not-it" not in done.stderr + done.stdout
    assert not (tmp_path / "out.mf4").exists()


@pytest.mark.parametrize("args", (
    [], ["info"], ["frobnicate", "x.mf4"],
    ["dump", sample("plain"), "--channels", "CAN 999"],
    ["dump", sample("plain"), "--start", "yesterday"],
    ["convert", sample("plain")],
    ["convert", sample("plain"), "out.xyz"],
    ["plot", sample("plain")]))
def test_usage_errors_give_status_2(args):
    done = mf4(*args, check=False)
    assert done.returncode == 2
    assert "Traceback" not in done.stderr


def test_dump_merges_logs_and_filters():
    both = mf4("dump", sample("plain"), sample("encrypted"),
               "--password", SECRET).stdout.splitlines()
    assert len(both) == 2000
    times = [float(line[1:line.index(")")]) for line in both]
    assert times == sorted(times)
    with MdfFile(sample("plain")) as log:
        expected = [m for m in log if m.channel == "CAN 2"
                    and m.arbitration_id in (0x10, 0x55E)
                    and 1714564802 <= m.timestamp < 1714564806]
    lines = mf4("dump", sample("plain"), "--channels", "CAN 2",
                "--ids", "10", "55E", "--start", "2024-05-01T12:00:02",
                "--stop", "1714564806").stdout.splitlines()
    assert lines == [_tools.candump_line(m)[:-1]
                     for m in expected]
    assert all(" can2 " in line for line in lines)


def test_dump_csv_and_asc_formats():
    rows = mf4("dump", sample("plain"), "--format", "csv").stdout
    rows = rows.splitlines()
    with MdfFile(sample("plain")) as log:
        cols = log.to_numpy()
    assert len(rows) == 1 + len(cols["timestamp"])
    header = rows[0].split(",")
    first = dict(zip(header, rows[1].split(",")))
    assert first["channel"] == cols["channel"][0]
    assert int(first["arbitration_id"], 16) == cols["arbitration_id"][0]
    assert bytes.fromhex(first["data"]) == \
        cols["data"][0, :cols["dlc"][0]].tobytes()
    asc = mf4("dump", sample("plain"), "--format", "asc").stdout
    assert asc.startswith("date ") and "CANFD" in asc


def test_dump_into_a_closed_pipe_ends_quietly():
    process = subprocess.Popen(
        [sys.executable, "-m", "python_can_brenix_mf4", "dump",
         sample("plain"), sample("compressed")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.readline()
    process.stdout.close()
    assert process.wait(timeout=60) == 0
    assert process.stderr.read() == b""
    process.stderr.close()


def _pyarrow_frames(table):
    return list(zip(table["timestamp_ns"].to_pylist(),
                    table["arbitration_id"].to_pylist(),
                    table["data"].to_pylist()))


@pytest.mark.parametrize("suffix", (".parquet", ".feather"))
def test_convert_through_arrow(suffix, tmp_path):
    pa = pytest.importorskip("pyarrow")
    out = tmp_path / ("out" + suffix)
    mf4("convert", sample("plain"), sample("nested"), out,
        "--password", SECRET, "--channels", "CAN 1", "LIN 1")
    if suffix == ".parquet":
        import pyarrow.parquet as pq
        table = pq.read_table(out)
    else:
        import pyarrow.feather as feather
        table = feather.read_table(out)
    with MdfFile(sample("plain")) as log:
        once = log.to_arrow(channels=["CAN 1", "LIN 1"])
    twice = sorted(_pyarrow_frames(once) * 2, key=lambda row: row[0])
    assert _pyarrow_frames(table) == twice
    assert table.schema.field("channel").type == \
        pa.dictionary(pa.int16(), pa.string())


def test_convert_to_csv_equals_dump(tmp_path):
    out = tmp_path / "out.csv"
    mf4("convert", sample("plain"), out, "--ids", "55E")
    assert out.read_text() == mf4("dump", sample("plain"), "--ids", "55E",
                                  "--format", "csv").stdout


@pytest.mark.parametrize("suffix", (".log", ".blf", ".asc", ".trc"))
def test_convert_through_python_can_writers(suffix, tmp_path):
    out = tmp_path / ("out" + suffix)
    done = mf4("convert", sample("plain"), sample("compressed"), out)
    with MdfFile(sample("plain")) as log:
        messages = list(log)
    if suffix != ".log":
        messages = [m for m in messages if m.channel.startswith("CAN")]
        assert "frames left out" in done.stderr
    if suffix == ".trc":
        messages = [m for m in messages if not (
            m.is_fd or m.is_remote_frame or m.is_error_frame)]
    expected = [content(m) for m in messages for _ in range(2)]
    got = list(can.LogReader(str(out)))
    offset = messages[0].timestamp if suffix == ".asc" else 0.0
    # python-can 4.5's BLF writer keeps milliseconds.
    close = 1e-3 if suffix == ".blf" and can.__version__ < "4.6" else 2e-6
    assert len(got) == len(expected)
    for message, want in zip(got, expected):
        have = content(message)
        assert have[0] + offset == pytest.approx(want[0], abs=close)
        # Some formats keep no payload of error frames and no length of
        # remote frames.
        same = 5 if message.is_error_frame or message.is_remote_frame \
            else len(want)
        if suffix == ".asc" and want[7] == 0:
            same = 2  # python-can reads an empty CAN FD frame as remote
        assert have[1:same] == want[1:same]


def test_finalize_command_and_function(unfinalized, tmp_path):
    path, log = unfinalized
    out = tmp_path / "finalized.mf4"
    mf4("finalize", path, out)
    info = json.loads(mf4("info", "--json", out).stdout)
    assert (info["finalized"], info["sorted"]) == (True, True)
    with MdfFile(str(path)) as before, MdfFile(str(out)) as after:
        assert [content(m) for m in after] == [content(m) for m in before]
    asammdf = pytest.importorskip("asammdf")
    with asammdf.MDF(str(out)) as mdf:
        assert len(mdf.groups) == len(info["data_groups"]) >= 3
    # The Python function, on a log inside an encrypted container.
    python_can_brenix_mf4.finalize(sample("nested"), tmp_path / "n.mf4",
                                   passwords={"0001E240": SECRET})
    with MdfFile(sample("plain")) as a, MdfFile(str(tmp_path / "n.mf4")) as b:
        assert [content(m) for m in b] == [content(m) for m in a]
    with pytest.raises(RuntimeError, match="no passwords"):
        python_can_brenix_mf4.finalize(sample("nested"), tmp_path / "x.mf4")
    assert not (tmp_path / "x.mf4").exists()


def test_plot_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "traffic.png"
    mf4("plot", sample("nested"), "--password", SECRET, "-o", out,
        "--bitrate", "CAN 2=500000")
    data = out.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", data[16:24]) == (1000, 800)


# --- signals ------------------------------------------------------------------

def _signal_database():
    """Two standard messages (one with a value table) and an extended
    multiplexed one."""
    from cantools.database.can import Database, Message, Signal
    from cantools.database.conversion import BaseConversion

    def sig(name, start, length, order="little_endian", signed=False,
            scale=1, offset=0, choices=None, mux=None, ids=None,
            is_mux=False):
        return Signal(name, start, length, byte_order=order,
                      is_signed=signed, is_multiplexer=is_mux,
                      multiplexer_ids=ids, multiplexer_signal=mux,
                      conversion=BaseConversion.factory(
                          scale=scale, offset=offset, choices=choices))
    return Database(messages=[
        Message(0x100, "Engine", 8, [
            sig("Speed", 0, 16, scale=0.25),
            sig("Temp", 23, 8, "big_endian", signed=True, offset=-40),
            sig("Gear", 24, 4, choices={0: "N", 1: "D", 2: "R"})]),
        Message(0x101, "Brake", 2, [sig("Pressure", 0, 12, scale=0.1)]),
        Message(0x18FF0001, "Body", 8, [
            sig("Mux", 0, 2, is_mux=True),
            sig("Door", 8, 8, mux="Mux", ids=[0]),
            sig("Light", 8, 16, mux="Mux", ids=[1])],
            is_extended_frame=True)])


@pytest.fixture(scope="module")
def signal_logs(tmp_path_factory):
    """Two logs of database messages (some short, some of ids it lacks) on
    CAN 1 and CAN 2, interleaved in time, and the database as a DBC."""
    pytest.importorskip("cantools")
    folder = tmp_path_factory.mktemp("signals")
    db = _signal_database()
    dbc = folder / "vehicle.dbc"
    dbc.write_text(db.as_dbc_string())
    rng = np.random.default_rng(18)
    ids = [(0x100, False), (0x101, False), (0x18FF0001, True), (0x7FF, False)]
    paths = []
    for number in range(2):
        frames = []
        for row in range(400):
            frame_id, extended = ids[int(rng.integers(len(ids)))]
            payload = bytearray(rng.bytes(int(rng.integers(0, 9))))
            if extended and payload:
                payload[0] &= 1
            frames.append(CanFrame(0.002 * row + 0.001 * number, frame_id,
                                   bytes(payload), extended=extended,
                                   channel=1 + row % 2))
        path = folder / ("log%d.mf4" % number)
        build_mf4([DataGroup(frames)]).write(path)
        paths.append(path)
    return paths, dbc, db


def _long_rows(paths, db, **filters):
    """(timestamp_ns, channel, message, signal, value) of every value the
    logs' decode_signals tables hold, merged by time."""
    rows = []
    for path in paths:
        with MdfFile(str(path)) as log:
            tables = log.decode_signals(db, as_="arrow", **filters)
        for name, table in tables.items():
            signals = [s.name for s in db.get_message_by_name(name).signals]
            for record in table.to_pylist():
                for position, signal in enumerate(signals):
                    if record[signal] is not None:
                        rows.append((record["timestamp_ns"], position,
                                     record["channel"], name, signal,
                                     record[signal]))
    rows.sort(key=lambda row: row[:2])
    return [row[:1] + row[2:] for row in rows]


def test_signals_to_parquet_feather_and_csv(signal_logs, tmp_path):
    pytest.importorskip("pyarrow")
    import pyarrow.feather as feather
    import pyarrow.parquet as pq
    paths, dbc, db = signal_logs
    expected = _long_rows(paths, db)
    assert {row[3] for row in expected} == {"Speed", "Temp", "Gear",
                                            "Pressure", "Mux", "Door",
                                            "Light"}
    mf4("signals", *paths, "--db", dbc, "-o", tmp_path / "out.parquet")
    mf4("signals", *paths, "--db", dbc, "-o", tmp_path / "out.feather")
    for table in (pq.read_table(tmp_path / "out.parquet"),
                  feather.read_table(tmp_path / "out.feather")):
        assert table.column_names == ["timestamp", "timestamp_ns", "channel",
                                      "message", "signal", "value"]
        got = list(zip(*(table.column(name).to_pylist() for name in (
            "timestamp_ns", "channel", "message", "signal", "value"))))
        assert got == expected
    csv = mf4("signals", *paths, "--db", dbc).stdout
    mf4("signals", *paths, "--db", dbc, "-o", tmp_path / "out.csv")
    assert (tmp_path / "out.csv").read_text() == csv
    lines = csv.splitlines()
    assert lines[0] == "timestamp,channel,message,signal,value"
    assert len(lines) == 1 + len(expected)
    for line, row in zip(lines[1:], expected):
        stamp, channel, message, signal, value = line.split(",")
        assert abs(float(stamp) * 1e9 - row[0]) < 1e3
        assert (channel, message, signal, float(value)) == row[1:]


def test_signals_filters_labels_and_databases_by_channel(signal_logs,
                                                          tmp_path):
    pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    paths, dbc, db = signal_logs
    out = tmp_path / "out.parquet"
    with MdfFile(str(paths[0])) as log:
        start = log.to_numpy(columns=["timestamp"])["timestamp"][0].item()
    start += 0.1
    mf4("signals", paths[0], "--db", dbc, "--choices", "--channels", "CAN 2",
        "--ids", "100", "18FF0001", "--start", repr(start), "-o", out)
    table = pq.read_table(out)
    assert table.column_names[-1] == "label"
    expected = _long_rows(paths[:1], db, channels=["CAN 2"],
                          ids=[0x100, 0x18FF0001], start=start)
    assert expected[0][0] >= start * 1e9 - 1e3
    rows = table.to_pylist()
    assert [(r["timestamp_ns"], r["channel"], r["message"], r["signal"],
             r["value"]) for r in rows] == expected
    assert {r["channel"] for r in rows} == {"CAN 2"}
    assert {r["message"] for r in rows} == {"Engine", "Body"}
    labels = set()
    gear = db.get_message_by_name("Engine").get_signal_by_name("Gear")
    for r in rows:
        if r["signal"] == "Gear":
            # Values without a label as cantools gives them, as text.
            want = {0: "N", 1: "D", 2: "R"}.get(r["value"], str(
                gear.conversion.raw_to_scaled(int(r["value"]), False)))
            assert r["label"] == want
            labels.add(r["label"])
        else:
            assert r["label"] is None
    assert labels & {"N", "D", "R"}
    # A database for CAN 2 only, and only the messages asked for.
    mf4("signals", *paths, "--db", "CAN 2=%s" % dbc, "--messages", "Brake",
        "-o", out)
    rows = pq.read_table(out).to_pylist()
    assert rows and all(r["channel"] == "CAN 2" and r["message"] == "Brake"
                        for r in rows)


@pytest.mark.parametrize("case", ["missing", "garbage", "log"])
def test_signals_bad_input_gives_status_1_and_one_line(case, signal_logs,
                                                       tmp_path):
    paths, dbc, _ = signal_logs
    log, db = paths[0], dbc
    if case == "missing":
        db = tmp_path / "none.dbc"
    elif case == "garbage":
        db = _write(tmp_path / "junk.dbc", b"BO_ x y z\n\x00\xff" * 20)
    else:
        log = _write(tmp_path / "junk.mf4", b"\x00" * 300)
    done = mf4("signals", log, "--db", db, "-o", tmp_path / "out.parquet",
               check=False)
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert len(lines) == 1, done.stderr
    assert str(db if case != "log" else log) in lines[0]
    assert not (tmp_path / "out.parquet").exists()


@pytest.mark.parametrize("extra", (
    [], ["--db", "{dbc}", "--messages", "Nope"],
    ["--db", "{dbc}", "-o", "out.xlsx"], ["--db", "{dbc}", "--db", "{dbc}"],
    ["--db", "CAN 1="]))
def test_signals_usage_errors_give_status_2(extra, signal_logs):
    paths, dbc, _ = signal_logs
    done = mf4("signals", paths[0],
               *[item.format(dbc=dbc) for item in extra], check=False)
    assert done.returncode == 2
    assert "Traceback" not in done.stderr


# --- python-can plumbing ----------------------------------------------------

def _python(code, *args):
    done = subprocess.run([sys.executable, "-c", code, *map(str, args)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done


REGISTERED = ("import sys, python_can_brenix_mf4\n"
              "python_can_brenix_mf4.register()\n")


def test_log_reader_reads_mf4_with_mdffile(tmp_path):
    upper = tmp_path / "LOG.MF4"
    upper.write_bytes(pathlib.Path(sample("plain")).read_bytes())
    _python(REGISTERED + (
        "import can\n"
        "from python_can_brenix_mf4 import MdfFile\n"
        "for name in sys.argv[1:]:\n"
        "    with can.LogReader(name, some_option=1) as reader:\n"
        "        assert type(reader) is MdfFile, type(reader)\n"
        "        assert sum(1 for _ in reader) == 1000\n"), sample("plain"),
        upper)


def test_logconvert_and_player_read_with_mdffile(tmp_path):
    out = tmp_path / "out.csv"
    _python(REGISTERED + "from can import logconvert\n"
            "sys.argv = ['can.logconvert'] + sys.argv[1:]\n"
            "logconvert.main()\n", sample("plain"), out)
    got = list(can.LogReader(str(out)))
    with MdfFile(sample("plain")) as log:
        assert [(m.timestamp, m.arbitration_id, bytes(m.data))
                for m in got] == \
            [(m.timestamp, m.arbitration_id, bytes(m.data)) for m in log]
    done = _python(REGISTERED + "from can import player\n"
                   "sys.argv = ['can.player'] + sys.argv[1:]\n"
                   "player.main()\n", "-i", "virtual", "-c", "mf4-test",
                   "--ignore-timestamps", "--error-frames", "-g", "0", "-v",
                   sample("plain"))
    assert done.stdout.count("Timestamp:") == 1000
