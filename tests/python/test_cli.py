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
from support.mf4writer import (CAN_DATA, LIN_FRAME, DataGroup, build_mf4,
                               random_traffic)
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
