"""CanMsgExtension: a can.Message that hashes its content and orders by
timestamp, and how decoded frames become messages."""
import copy
import dataclasses
import io
import logging
import pickle
import subprocess
import sys

import can
import pytest

from python_can_brenix_mf4 import CanMsgExtension, MdfFile
from support.mf4writer import (CAN_DATA, CanErrorFrame, CanFrame,
                               CanRemoteFrame, Channel, DataGroup,
                               LinErrorFrame, LinFrame, Sample, build_mf4,
                               can_data_layout, merged)

from conftest import attributes, expected_attributes


def test_is_a_can_message_built_by_can_message_init():
    m = CanMsgExtension(timestamp=1.5, arbitration_id=0x123, data=b"\x01\x02",
                        is_extended_id=False, channel="CAN 1")
    assert isinstance(m, can.Message)
    assert (m.timestamp, m.arbitration_id, m.dlc, bytes(m.data)) == \
        (1.5, 0x123, 2, b"\x01\x02")
    assert m.is_extended_id is False and m.channel == "CAN 1"
    with pytest.raises(TypeError):
        CanMsgExtension(no_such_argument=1)


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (CanMsgExtension,), {})


def test_hash_is_the_hash_of_the_content_tuple():
    m = CanMsgExtension(timestamp=2.0, arbitration_id=7, data=b"ab",
                        channel="CAN 2", is_fd=True, is_rx=False,
                        bitrate_switch=True)
    assert hash(m) == hash((
        m.timestamp, m.arbitration_id, m.is_extended_id, m.is_remote_frame,
        m.is_error_frame, m.channel, m.dlc, str(m.data), m.is_fd, m.is_rx,
        m.bitrate_switch, m.error_state_indicator))
    other = CanMsgExtension(timestamp=2.0, arbitration_id=8, data=b"ab")
    assert hash(other) != hash(m)


@pytest.mark.parametrize("a, b", [(1.0, 2.0), (2.0, 2.0), (3.0, 2.0),
                                  (float("nan"), 1.0)])
def test_comparison_follows_the_timestamps_only(a, b):
    x = CanMsgExtension(timestamp=a, arbitration_id=1)
    y = CanMsgExtension(timestamp=b, arbitration_id=2, data=b"zz")
    plain = can.Message(timestamp=b)
    for other in (y, plain):
        assert (x < other, x <= other, x == other, x != other, x > other,
                x >= other) == (a < b, a <= b, a == b, a != b, a > b, a >= b)


def test_comparison_of_timestamps_that_are_not_floats():
    x = CanMsgExtension(timestamp=1.5)
    y = CanMsgExtension(timestamp=2.0)
    x.timestamp = 2  # an int, as a user may set it
    assert x == y and not x < y
    del x.timestamp
    with pytest.raises(AttributeError):
        x < y
    with pytest.raises(AttributeError):
        y < x


@pytest.mark.parametrize("other", [None, 1.0, "x", object()])
def test_comparison_with_anything_else_raises(other):
    m = CanMsgExtension(timestamp=1.0)
    for compare in (lambda: m == other, lambda: m != other,
                    lambda: m < other, lambda: m >= other):
        with pytest.raises(TypeError,
                           match="^Attempting to compare incompatible "
                                 "classes$"):
            compare()


def wide_id_layout():
    """CAN data frames whose ID channel has all 32 bits."""
    base = can_data_layout()
    members = tuple(Channel(CAN_DATA + ".ID", 24, 32) if m.field == "ID"
                    else m for m in base.members)
    return dataclasses.replace(base, members=members)


# One sorted data group per case; the reader's messages must equal the
# writer's ground truth in every attribute.
FRAME_CASES = {
    "identifier cut to 29 bits": DataGroup(
        [CanFrame(0.1, 0xFFFFFFFF, b"\x01", extended=True)],
        record_id_size=0, layouts={CAN_DATA: wide_id_layout()}),
    "CAN FD frame of 64 bytes": DataGroup(
        [CanFrame(0.1, 0x10, bytes(range(64)), fd=True, brs=True, esi=True)],
        record_id_size=0),
    "CAN data, transmitted, channel 3": DataGroup(
        [CanFrame(0.1, 0x7FF, b"\xff" * 8, tx=True, channel=3)],
        record_id_size=0),
    "CAN remote frame": DataGroup(
        [CanRemoteFrame(0.2, 0x55, dlc=4, extended=True)], record_id_size=0),
    "CAN error frame": DataGroup(
        [CanErrorFrame(0.3, channel=2, error_type=3)], record_id_size=0),
    "transmitted LIN frame on channel 2": DataGroup(
        [LinFrame(0.4, 0x21, b"\x01\x02\x03", tx=True, channel=2)],
        record_id_size=0),
}


@pytest.mark.parametrize("group", FRAME_CASES.values(), ids=FRAME_CASES)
def test_frames_become_messages(group, source):
    log = build_mf4([group])
    messages = list(MdfFile(source(log.data)))
    assert all(type(m) is CanMsgExtension for m in messages)
    assert [attributes(m) for m in messages] == \
        expected_attributes(log.expected())
    assert len(messages) == 1


def test_a_lin_error_record_raises_and_the_next_frame_follows(source):
    log = build_mf4([DataGroup([LinFrame(0.1, 1, b"\x01"),
                                LinErrorFrame(0.2),
                                LinFrame(0.3, 2, b"\x02")],
                               record_id_size=1)])
    reader = MdfFile(source(log.data))
    # Through MdfFile.__iter__ the error ends the merged iteration.
    with pytest.raises(RuntimeError, match="^Unknown bus type$"):
        list(reader)
    # A group's own iterator goes on after the error.
    (group,) = _group_iterators(reader)
    assert next(group).arbitration_id == 1
    with pytest.raises(RuntimeError, match="^Unknown bus type$"):
        next(group)
    assert next(group).arbitration_id == 2
    with pytest.raises(StopIteration):
        next(group)


def _group_iterators(reader):
    """The per-data-group iterators behind iter(reader) (heapq.merge keeps
    them in its generator frame)."""
    merged = iter(reader)
    return [it for it in merged.gi_frame.f_locals["iterables"]]


# Every attribute can.Message keeps, and each kind of frame.
SLOTS = [name for name in can.Message.__slots__ if name != "__weakref__"]
KINDS = {
    "CAN data": CanFrame(0.1, 0x123, b"\x01\x02\x03"),
    "CAN FD, 64 bytes, extended, transmitted": CanFrame(
        0.1, 0x1ABCDEF, bytes(range(64)), extended=True, tx=True, fd=True,
        brs=True, esi=True, channel=2),
    "CAN data without payload": CanFrame(0.1, 0x7FF),
    "CAN remote": CanRemoteFrame(0.2, 0x55, dlc=4, extended=True),
    "CAN error": CanErrorFrame(0.3, channel=2, error_type=3),
    "LIN": LinFrame(0.4, 0x21, b"\x01\x02", tx=True, channel=4),
}


@pytest.mark.parametrize("frame", KINDS.values(), ids=KINDS)
def test_messages_are_what_can_message_init_makes(frame):
    log = build_mf4([DataGroup([frame], record_id_size=0)])
    (message,) = MdfFile(io.BytesIO(log.data))
    (keywords,) = log.expected()
    reference = can.Message(**keywords)
    for name in SLOTS:
        got, want = getattr(message, name), getattr(reference, name)
        assert (type(got), got) == (type(want), want), name
    assert repr(message) == repr(reference)
    assert str(message) == str(reference)
    assert message.equals(reference) and reference.equals(message)
    assert message == reference and reference == message
    through_init = CanMsgExtension(**keywords)
    assert hash(message) == hash(through_init)
    for make in (copy.copy, copy.deepcopy,
                 lambda m: pickle.loads(pickle.dumps(m))):
        twin = make(message)
        assert type(twin) is type(make(through_init))
        assert twin.equals(reference), twin


def test_messages_of_a_log_do_not_run_init(monkeypatch):
    calls = []
    init = can.Message.__init__

    def counting(self, *args, **kwargs):
        calls.append(kwargs)
        init(self, *args, **kwargs)

    monkeypatch.setattr(can.Message, "__init__", counting)
    log = build_mf4([DataGroup(list(KINDS.values()))])
    assert len(list(MdfFile(io.BytesIO(log.data)))) == len(KINDS)
    assert calls == []


def test_messages_share_the_name_of_their_bus_channel():
    log = build_mf4([DataGroup([CanFrame(0.1, 1), CanFrame(0.2, 2),
                                LinFrame(0.3, 3), LinFrame(0.4, 4)])])
    a, b, c, d = MdfFile(io.BytesIO(log.data))
    assert a.channel == "CAN 1" and a.channel is b.channel
    assert c.channel == "LIN 1" and c.channel is d.channel


def test_a_python_can_whose_messages_hold_more_goes_through_init(tmp_path):
    # Messages whose attributes the module does not know all of are built
    # by can.Message.__init__, so nothing is left unset.
    path = tmp_path / "log.mf4"
    build_mf4([DataGroup([CanFrame(0.1, 0x42, b"\x07")])]).write(str(path))
    script = """
import sys
import can

class Message(can.Message):
    __slots__ = ("extra",)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.extra = "from __init__"

can.Message = Message
from python_can_brenix_mf4 import MdfFile
(m,) = MdfFile(sys.argv[1])
print(m.extra, hex(m.arbitration_id), bytes(m.data), isinstance(m, Message))
"""
    result = subprocess.run([sys.executable, "-c", script, str(path)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["from", "__init__", "0x42", "b'\\x07'",
                                     "True"]


# Records that are not frames, and what skip_unknown_records=True gives.
SKIPPED = {
    "LIN error records between LIN frames": (
        [DataGroup([LinFrame(0.1, 1, b"\x01"), LinErrorFrame(0.2),
                    LinErrorFrame(0.25), LinFrame(0.3, 2, b"\x02")])],
        {0: 2}),
    "a group that is not bus logging": (
        [DataGroup([CanFrame(0.1, 1), CanFrame(0.3, 3)], record_id_size=0),
         DataGroup([Sample(0.2, "Engine", {"rpm": 1000.0}),
                    Sample(0.4, "Engine", {"rpm": 1100.0}),
                    Sample(0.5, "Engine", {"rpm": 1200.0})],
                   record_id_size=0),
         DataGroup([CanFrame(0.25, 2, channel=2)], record_id_size=0)],
        {1: 3}),
}


@pytest.mark.parametrize("case", SKIPPED.values(), ids=SKIPPED)
def test_records_that_are_not_frames_can_be_passed_over(case, caplog):
    groups, skipped = case
    log = build_mf4(groups)
    expected = merged([[m for m in group if "error" not in m]
                       for group in log.expected_by_group()])
    with pytest.raises(RuntimeError, match="^Unknown bus type$"):
        list(MdfFile(io.BytesIO(log.data)))
    with caplog.at_level(logging.DEBUG, logger="python_can_brenix_mf4"):
        reader = MdfFile(io.BytesIO(log.data), skip_unknown_records=True)
        got = [attributes(m) for m in reader]
    assert got == expected_attributes(expected)
    warnings = [r.getMessage() for r in caplog.records
                if r.name == "python_can_brenix_mf4"]
    assert warnings == [
        "Data group %d: passed over %d records that are not frames"
        % (group, count) for group, count in skipped.items()]
    assert all(r.levelno == logging.WARNING for r in caplog.records)
