"""MdfFile: opening plain, compressed and encrypted logs from every kind of
source, the merged message sequence, and every failure of the open."""
import io
import logging
import pathlib

import can
import numpy as np
import pytest

from python_can_brenix_mf4 import MdfFile
from support.mf4writer import (CAN_DATA, CAN_ERROR, CAN_REMOTE, LIN_FRAME,
                               CanFrame, DataGroup, FileHistory, LinFrame,
                               Sample,
                               build_mf4, can_data_big_endian_layout,
                               can_data_layout, compress, container_header,
                               encrypt, lin_layout, random_traffic,
                               timestamp_channel)

from conftest import SOURCES, attributes, expected_attributes

PASSWORD = "correct horse"
DEVICE = 0x0001E240


def traffic(count, seed, **kw):
    return random_traffic(count, seed,
                          kinds=(CAN_DATA, CAN_REMOTE, CAN_ERROR, LIN_FRAME),
                          **kw)


# Writer shapes: how the frames are laid out in the file.
LOGS = {
    "sorted groups, one per kind": lambda: build_mf4(
        [DataGroup([t], record_id_size=0) for t in traffic(120, 1)]),
    # A logger that records one frame kind writes record ids all the same.
    "one channel group behind 1-byte record ids": lambda: build_mf4(
        [DataGroup(random_traffic(60, 7, fd=True), record_id_size=1)]),
    "one unsorted group, 2-byte record ids": lambda: build_mf4(
        [DataGroup(traffic(150, 2, fd=True), record_id_size=2)]),
    "VLSD payloads in a signal data block": lambda: build_mf4(
        [DataGroup(traffic(100, 3, fd=True), vlsd="sd")]),
    "VLSD payloads in a VLSD channel group, 8-byte ids": lambda: build_mf4(
        [DataGroup(traffic(100, 4, fd=True), vlsd="cg", record_id_size=8)]),
    # The VLSD group comes first in the chain: the frame group's channel
    # links a group whose place in the chain the loader has not reached.
    "VLSD channel groups in front of their frame groups": lambda: build_mf4(
        [DataGroup(traffic(100, 8, fd=True), vlsd="cg", record_id_size=2,
                   vlsd_group_first=True)]),
    "unfinalized, two groups": lambda: build_mf4(
        [DataGroup(traffic(80, 5)), DataGroup(traffic(80, 6),
                                              record_id_size=4)],
        finalized=False),
    "no data group": lambda: build_mf4([]),
    # asammdf reads these files back as the ground truth says
    # (tests/support/test_mf4writer_asammdf.py).
    "big-endian and signed fields at odd bit positions, big-endian floats":
        lambda: build_mf4([
            DataGroup(traffic(100, 9, fd=True), record_id_size=1,
                      layouts={CAN_DATA: can_data_big_endian_layout(64)}),
            DataGroup(random_traffic(60, 10, kinds=(CAN_DATA,)), layouts={
                CAN_DATA: can_data_layout(timestamp=timestamp_channel(
                    "float", 64, big_endian=True))}),
            DataGroup(random_traffic(60, 11, kinds=(LIN_FRAME,)), layouts={
                LIN_FRAME: lin_layout(timestamp=timestamp_channel(
                    "float", 32, big_endian=True))})]),
    "records in data lists, deflated blocks and a header list": lambda:
        build_mf4([
            DataGroup(traffic(60, 12, fd=True), record_id_size=1, vlsd="sd",
                      storage="dl", fragment=100),
            DataGroup(traffic(60, 13, fd=True), record_id_size=2, vlsd="cg",
                      storage="dz", fragment=100),
            DataGroup(random_traffic(60, 14, kinds=(CAN_DATA,)),
                      record_id_size=0, storage="hl", fragment=100)]),
}

# Containers around the file bytes, and the passwords they need.
CONTAINERS = {
    "plain": (lambda d: d, None),
    "compressed": (lambda d: compress(d), None),
    "compressed, no footer": (lambda d: compress(d, crc=False), None),
    "encrypted": (lambda d: encrypt(d, PASSWORD, device_id=DEVICE),
                  {"%08X" % DEVICE: PASSWORD}),
    "encrypted compressed": (
        lambda d: encrypt(compress(d), PASSWORD, device_id=DEVICE),
        {"default": PASSWORD}),
}


@pytest.fixture(scope="module", ids=list(LOGS), params=list(LOGS))
def log(request):
    return LOGS[request.param]()


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize("container", list(CONTAINERS))
def test_messages_equal_the_ground_truth(log, container, kind, source):
    wrap, passwords = CONTAINERS[container]
    reader = MdfFile(source(wrap(log.data), kind), passwords=passwords)
    expected = expected_attributes(log.expected())
    assert [attributes(m) for m in reader] == expected
    # Every iteration starts from the first record again.
    assert [attributes(m) for m in reader] == expected
    reader.close()


def test_frames_with_equal_timestamps_come_in_data_group_order(source):
    groups = [DataGroup([CanFrame(t, ident) for t in (0.5, 1.0)],
                        record_id_size=0)
              for ident in (1, 2, 3)]
    log = build_mf4(groups)
    got = [(m.timestamp, m.arbitration_id) for m in MdfFile(source(log.data))]
    start = log.start_seconds
    assert got == [(start + 0.5, 1), (start + 0.5, 2), (start + 0.5, 3),
                   (start + 1.0, 1), (start + 1.0, 2), (start + 1.0, 3)]


def test_containers_nest_up_to_sixteen_deep(source):
    data = GOOD
    for _ in range(16):
        data = compress(data, crc=False)
    assert [m.arbitration_id for m in MdfFile(source(data))] == [1]
    # One more level is refused, as a container that holds itself would be.
    with pytest.raises(RuntimeError, match="^Could not open data source$"):
        MdfFile(source(compress(data, crc=False)))


def test_reader_is_a_python_can_message_reader(source):
    log = build_mf4([DataGroup([CanFrame(0.1, 1)], record_id_size=0)])
    reader = MdfFile(source(log.data))
    assert isinstance(reader, can.io.generic.MessageReader)
    assert type(reader).__name__ == "MdfFile"
    assert type(reader).__module__ == "python_can_brenix_mf4"
    with pytest.raises(TypeError):
        type("Sub", (MdfFile,), {})


def test_non_ascii_path(tmp_path):
    log = build_mf4([DataGroup([CanFrame(0.1, 0x42)], record_id_size=0)])
    path = tmp_path / "Prüfstand_µ_日本.mf4"
    path.write_bytes(log.data)
    for name in (str(path), path):
        assert [m.arbitration_id for m in MdfFile(name)] == [0x42]


def test_path_as_keyword_argument(tmp_path):
    log = build_mf4([DataGroup([CanFrame(0.1, 0x42)], record_id_size=0)])
    path = tmp_path / "log.mf4"
    path.write_bytes(log.data)
    assert [m.arbitration_id for m in MdfFile(file=str(path))] == [0x42]


GOOD = build_mf4([DataGroup([CanFrame(0.1, 1)], record_id_size=0)]).data
# The file history names another tool: not written by a logger.
UNSUPPORTED = build_mf4([DataGroup([CanFrame(0.1, 1)], record_id_size=0)],
                        file_history=[FileHistory(tool_id="XY")]).data


def damaged_footer(data):
    compressed = bytearray(compress(data))
    compressed[-1] ^= 0xFF
    return bytes(compressed)


class DuckFile:
    """Has read and write, but is no io.IOBase."""

    def read(self, n=-1):
        return b""

    def write(self, data):
        return len(data)


# (file argument, keyword arguments, exception type, message or None)
OPEN_FAILURES = {
    "file None": (lambda s: None, {}, ValueError, "file must not be None"),
    "file object that is no io.IOBase": (
        lambda s: DuckFile(), {}, ValueError, "Unknown data source type"),
    "unknown container type": (
        lambda s: s(container_header(0x33) + bytes(40)), {}, RuntimeError,
        "Could not open data source"),
    "not an MF4 file": (lambda s: s(b"hello" * 30), {}, RuntimeError,
                        "Could not open data source"),
    "empty file": (lambda s: s(b""), {}, RuntimeError,
                   "Could not open data source"),
    "MF4 file not written by a logger": (
        lambda s: s(UNSUPPORTED), {}, RuntimeError,
        "Could not open data source"),
    "damaged compressed file": (
        lambda s: s(damaged_footer(GOOD)), {}, RuntimeError,
        "Could not decompress stream"),
    "encrypted, no passwords": (
        lambda s: s(encrypt(GOOD, PASSWORD, device_id=DEVICE)), {},
        RuntimeError, "Encrypted file detected, but no passwords supplied"),
    "encrypted, passwords None": (
        lambda s: s(encrypt(GOOD, PASSWORD, device_id=DEVICE)),
        {"passwords": None}, RuntimeError,
        "Encrypted file detected, but no passwords supplied"),
    "encrypted, no key for the device": (
        lambda s: s(encrypt(GOOD, PASSWORD, device_id=DEVICE)),
        {"passwords": {"0001E241": PASSWORD, "0001e240": PASSWORD}},
        RuntimeError, "Could not find key to decrypt stream"),
    "encrypted, wrong password": (
        lambda s: s(encrypt(GOOD, PASSWORD, device_id=DEVICE)),
        {"passwords": {"0001E240": "wrong", "default": PASSWORD}},
        RuntimeError, "Could not decrypt stream"),
    "passwords not a dict": (
        lambda s: s(GOOD), {"passwords": [("default", PASSWORD)]}, TypeError,
        "passwords must be a dict mapping device ids (8 upper-case hex "
        "digits) or \"default\" to password strings"),
    "password not a str": (
        lambda s: s(encrypt(GOOD, PASSWORD, device_id=DEVICE)),
        {"passwords": {"default": PASSWORD.encode()}}, TypeError,
        "the password for key 'default' must be a str"),
    "password not ASCII": (
        lambda s: s(encrypt(GOOD, PASSWORD, device_id=DEVICE)),
        {"passwords": {"default": "pässword"}}, UnicodeEncodeError, None),
    "path with a NUL character": (lambda s: s(GOOD) + "\0x", {}, ValueError,
                                  "embedded null byte"),
}


@pytest.mark.parametrize("case", list(OPEN_FAILURES))
def test_open_failures(case, source):
    make, kwargs, error, message = OPEN_FAILURES[case]
    with pytest.raises(error) as raised:
        MdfFile(make(source), **kwargs)
    if message is not None:
        assert str(raised.value) == message


def test_a_missing_file(tmp_path):
    missing = str(tmp_path / "missing.mf4")
    with pytest.raises(FileNotFoundError) as raised:
        MdfFile(missing)
    if not isinstance(raised.value.errno, int):
        # python-can 4.6 leaves the path to the reader.
        assert str(raised.value) == "Could not open file"


def test_checksum_failure_is_one_error_record(source, caplog):
    data = damaged_footer(GOOD)
    with caplog.at_level(logging.DEBUG, logger="python_can_brenix_mf4"):
        with pytest.raises(RuntimeError, match="^Could not decompress"):
            MdfFile(source(data))
    records = [r for r in caplog.records if r.name == "python_can_brenix_mf4"]
    assert len(records) == 1
    assert records[0].levelno == logging.ERROR
    assert records[0].getMessage().startswith(
        "Could not validate checksum, expected ")
    assert "%" not in records[0].getMessage()


def test_a_second_open_of_the_same_reader_replaces_the_first(source):
    one = build_mf4([DataGroup([CanFrame(0.1, 1)], record_id_size=0)]).data
    two = build_mf4([DataGroup([CanFrame(0.1, 2)], record_id_size=0)]).data
    reader = MdfFile(source(one, name="one.mf4"))
    reader.__init__(source(two, name="two.mf4"))
    assert [m.arbitration_id for m in reader] == [2]
    with pytest.raises(RuntimeError):
        reader.__init__(source(b"not mf4", name="three.mf4"))
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        iter(reader)


def test_a_group_that_is_not_bus_logging_ends_the_iteration(source):
    log = build_mf4([
        DataGroup([CanFrame(0.1, 1), CanFrame(0.3, 3)], record_id_size=0),
        DataGroup([Sample(0.2, "Engine", {"rpm": 1000.0})],
                  record_id_size=0)])
    *messages, error = log.expected()
    assert error == {"error": "Unknown bus type"}
    got = []
    with pytest.raises(RuntimeError, match="^Unknown bus type$"):
        for message in MdfFile(source(log.data)):
            got.append(attributes(message))
    # heapq.merge takes a first message of every group before it yields.
    assert got == expected_attributes(messages) == []
