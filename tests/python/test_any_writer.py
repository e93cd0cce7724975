"""Logs of other MF4 writers: python-can's MF4Writer and asammdf write them
at test time (compressed and not, in data lists), MdfFile(...,
any_writer=True) reads them, and python-can's own MF4 reader and asammdf
say what they hold. Both writers need asammdf, which only the main
environment has: elsewhere these tests skip."""
import logging

import can
import numpy as np
import pytest

import python_can_brenix_mf4
from python_can_brenix_mf4 import MdfFile, read_logs

from conftest import attributes

asammdf = pytest.importorskip("asammdf")
from can.io.mf4 import MF4Reader, MF4Writer  # noqa: E402 (needs asammdf)

START = 1_700_000_000.0


def messages(count):
    """CAN data frames (classic and FD, standard and extended, both
    directions), remote and error frames on channels 1 and 2, at distinct
    times."""
    out = []
    for i in range(count):
        time = START + i * 0.001
        if i % 23 == 5:
            out.append(can.Message(timestamp=time, arbitration_id=0x100 + i % 7,
                                   is_remote_frame=True, dlc=i % 9,
                                   channel=1 + i % 2))
        elif i % 29 == 7:
            out.append(can.Message(timestamp=time, is_error_frame=True,
                                   channel=1 + i % 2))
        elif i % 5 == 0:
            out.append(can.Message(timestamp=time, arbitration_id=0x123,
                                   is_fd=True, bitrate_switch=i % 2 == 0,
                                   error_state_indicator=i % 3 == 0,
                                   data=bytes(range(i % 64)), channel=2))
        else:
            out.append(can.Message(
                timestamp=time, arbitration_id=0x18DAF100 + i % 5
                if i % 3 == 0 else 0x200 + i % 11, is_extended_id=i % 3 == 0,
                data=bytes([i & 0xFF] * (i % 9)), is_rx=i % 4 != 1,
                channel=1 + i % 2))
    return out


def python_can_log(path, count, compression, fragment=None):
    """A log of `count` messages written by python-can's MF4Writer; with
    `fragment`, asammdf splits the data into blocks of about that many
    bytes, held in data lists."""
    writer = MF4Writer(str(path), compression_level=compression)
    if fragment:
        writer._mdf.configure(write_fragment_size=fragment)
    for message in messages(count):
        writer.on_message_received(message)
    writer.stop()
    return path


def ours(path):
    """Our messages' attributes, channels as python-can's reader numbers
    them."""
    out = []
    with MdfFile(path, any_writer=True) as log:
        for message in log:
            values = attributes(message)
            assert values["channel"].startswith("CAN ")
            values["channel"] = int(values["channel"][4:])
            out.append(values)
    return out


def theirs(path):
    with MF4Reader(str(path)) as reader:
        return [attributes(m) for m in reader]


def same(a, b):
    assert len(a) == len(b)
    for mine, other in zip(a, b):
        assert mine["timestamp"] == pytest.approx(other["timestamp"],
                                                  abs=2e-6)
        mine = dict(mine, timestamp=0)
        other = dict(other, timestamp=0)
        assert mine == other


@pytest.mark.parametrize("compression", [0, 1, 2])
@pytest.mark.parametrize("fragment", [None, 1024])
def test_python_can_logs_read_as_python_can_reads_them(tmp_path, compression,
                                                       fragment):
    path = python_can_log(tmp_path / "pc.mf4", 600, compression, fragment)
    mine = ours(path)
    assert len(mine) == 600
    same(mine, theirs(path))


def test_other_writers_stay_refused_by_default(tmp_path, caplog):
    path = python_can_log(tmp_path / "pc.mf4", 20, 2)
    with caplog.at_level(logging.ERROR, logger="python_can_brenix_mf4"):
        with pytest.raises(RuntimeError, match="Could not open data source") \
                as error:
            MdfFile(path)
    assert "not written by a supported logger" in str(error.value.__cause__)
    assert "Unsupported MF4 file" in caplog.messages


def test_columns_fleets_and_register_take_any_writer(tmp_path):
    path = python_can_log(tmp_path / "pc.mf4", 300, 2, 512)
    expected = theirs(path)
    with MdfFile(path, any_writer=True) as log:
        columns = log.to_numpy()
    assert len(columns["timestamp"]) == len(expected)
    assert list(columns["arbitration_id"]) == [m["arbitration_id"]
                                               for m in expected]
    table = read_logs([str(path)], any_writer=True)
    assert table.num_rows == len(expected)
    with pytest.raises(RuntimeError, match="could not read"):
        read_logs([str(path)])
    try:
        python_can_brenix_mf4.register(any_writer=True)
        with can.LogReader(str(path)) as reader:
            assert [m.arbitration_id for m in reader] == [
                m["arbitration_id"] for m in expected]
    finally:
        python_can_brenix_mf4.register()


def asammdf_bus_log(path, compression):
    """CAN data frames with a data length and the members python-can's
    writer leaves out, and LIN frames, as asammdf writes bus-logging
    groups."""
    from asammdf import MDF, Signal
    from asammdf.blocks.source_utils import Source

    count = 200
    times = np.arange(count) * 0.002 + 0.0005
    can_type = np.dtype([
        ("CAN_DataFrame.BusChannel", "<u1"), ("CAN_DataFrame.ID", "<u4"),
        ("CAN_DataFrame.IDE", "<u1"), ("CAN_DataFrame.DLC", "<u1"),
        ("CAN_DataFrame.DataLength", "<u1"),
        ("CAN_DataFrame.DataBytes", "(8,)u1"), ("CAN_DataFrame.Dir", "<u1"),
        ("CAN_DataFrame.CRC", "<u4"), ("CAN_DataFrame.FrameDuration", "<u4")])
    frames = np.zeros(count, dtype=can_type)
    frames["CAN_DataFrame.BusChannel"] = 1 + np.arange(count) % 3
    frames["CAN_DataFrame.ID"] = 0x300 + np.arange(count) % 17
    frames["CAN_DataFrame.DLC"] = np.arange(count) % 9
    frames["CAN_DataFrame.DataLength"] = np.arange(count) % 9
    frames["CAN_DataFrame.DataBytes"] = (np.arange(count * 8) % 251).reshape(
        count, 8)
    frames["CAN_DataFrame.Dir"] = np.arange(count) % 2
    lin_type = np.dtype([
        ("LIN_Frame.BusChannel", "<u1"), ("LIN_Frame.ID", "<u1"),
        ("LIN_Frame.Dir", "<u1"), ("LIN_Frame.ReceivedDataByteCount", "<u1"),
        ("LIN_Frame.DataLength", "<u1"), ("LIN_Frame.DataBytes", "(8,)u1"),
        ("LIN_Frame.Checksum", "<u1")])
    lin = np.zeros(count, dtype=lin_type)
    lin["LIN_Frame.BusChannel"] = 1
    lin["LIN_Frame.ID"] = np.arange(count) % 60
    lin["LIN_Frame.DataLength"] = 1 + np.arange(count) % 8
    lin["LIN_Frame.ReceivedDataByteCount"] = 1 + np.arange(count) % 8
    lin["LIN_Frame.DataBytes"] = (np.arange(count * 8) % 13).reshape(count, 8)
    mdf = MDF(version="4.10")
    mdf.configure(write_fragment_size=700)
    for name, samples, bus, offset in (
            ("CAN_DataFrame", frames, Source.BUS_TYPE_CAN, 0.0),
            ("LIN_Frame", lin, Source.BUS_TYPE_LIN, 0.001)):
        source = Source(name=name, path=name, comment="",
                        source_type=Source.SOURCE_BUS, bus_type=bus)
        mdf.append(Signal(name=name, samples=samples,
                          timestamps=times + offset, source=source))
    mdf.save(str(path), compression=compression, overwrite=True)
    mdf.close()
    return path, frames, lin, times


@pytest.mark.parametrize("compression", [0, 2])
def test_asammdf_bus_logs(tmp_path, compression):
    path, frames, lin, times = asammdf_bus_log(tmp_path / "am.mf4",
                                               compression)
    with asammdf.MDF(str(path)) as reference:
        start = reference.header.start_time.timestamp()
    with MdfFile(path, any_writer=True) as log:
        got = list(log)
    assert len(got) == 2 * len(times)
    can_frames = [m for m in got if m.channel.startswith("CAN")]
    lin_frames = [m for m in got if m.channel.startswith("LIN")]
    for i, message in enumerate(can_frames):
        length = int(frames["CAN_DataFrame.DataLength"][i])
        assert message.timestamp == pytest.approx(start + times[i], abs=2e-6)
        assert message.channel == "CAN %d" % frames[
            "CAN_DataFrame.BusChannel"][i]
        assert message.arbitration_id == frames["CAN_DataFrame.ID"][i]
        assert bytes(message.data) == bytes(
            frames["CAN_DataFrame.DataBytes"][i][:length])
        assert message.is_rx == (frames["CAN_DataFrame.Dir"][i] == 0)
    for i, message in enumerate(lin_frames):
        length = int(lin["LIN_Frame.DataLength"][i])
        assert message.timestamp == pytest.approx(start + times[i] + 0.001,
                                                  abs=2e-6)
        assert message.channel == "LIN 1"
        assert message.arbitration_id == lin["LIN_Frame.ID"][i]
        assert bytes(message.data) == bytes(
            lin["LIN_Frame.DataBytes"][i][:length])


def test_command_line_any_writer(tmp_path, capsys):
    from python_can_brenix_mf4 import _cli
    path = python_can_log(tmp_path / "pc.mf4", 30, 1)
    assert _cli.main(["dump", str(path), "--any-writer"]) == 0
    assert len(capsys.readouterr().out.splitlines()) == 30
    assert _cli.main(["dump", str(path)]) == 1
    assert "Could not open data source" in capsys.readouterr().err
