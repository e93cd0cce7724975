"""Reading through Python file objects: what their methods may return, and
failures of the file object that must surface as Python exceptions."""
import io

import pytest

from python_can_brenix_mf4 import MdfFile
from support.mf4writer import (CAN_DATA, LIN_FRAME, CanFrame, DataGroup,
                               build_mf4, compress, encrypt, random_traffic)

from conftest import attributes, expected_attributes

LOG = build_mf4([DataGroup([CanFrame(0.001 * i, i % 0x800)
                            for i in range(400)], record_id_size=0)])
IDS = [m["arbitration_id"] for m in LOG.expected()]
# 3 MB: many chunks of the reader's file object reads.
BIG = build_mf4([DataGroup(random_traffic(120000, 3), record_id_size=1)])
CHUNK = 64 * 1024


class Scripted(io.BytesIO):
    """BytesIO whose methods can be replaced per test."""

    def __init__(self, data, read=None, tell=None, seek=None):
        super().__init__(data)
        self._read, self._tell, self._seek = read, tell, seek

    def read(self, n=-1):
        return self._read(self, n) if self._read else super().read(n)

    def tell(self):
        return self._tell(self) if self._tell else super().tell()

    def seek(self, offset, whence=0):
        return self._seek(self, offset, whence) if self._seek \
            else super().seek(offset, whence)


def plain_read(f, n):
    return io.BytesIO.read(f, n)


def raising(error):
    def method(*args):
        raise error
    return method


# File objects that cannot deliver the file: the open fails cleanly, and the
# file object's own complaint is kept as the cause; without one, the
# library's reason is (a ValueError: the file seems to end at once).
BROKEN = {
    "read returns None (no data now)": (
        dict(read=lambda f, n: None), ValueError),
    "read returns str": (
        dict(read=lambda f, n: plain_read(f, n).decode("latin-1")),
        TypeError),
    "read returns bytearray": (
        dict(read=lambda f, n: bytearray(plain_read(f, n))), TypeError),
    "read returns more than asked": (
        dict(read=lambda f, n: b"\0" * (n + 1)), ValueError),
    "read raises": (
        dict(read=raising(OSError("gone"))),
        OSError),
    "tell returns a float": (dict(tell=lambda f: 0.0), TypeError),
    "seek raises": (
        dict(seek=raising(OSError("no seek"))),
        OSError),
}


@pytest.mark.parametrize("case", list(BROKEN))
def test_a_broken_file_object_fails_the_open(case):
    methods, cause = BROKEN[case]
    with pytest.raises(RuntimeError, match="^Could not open data source$") \
            as raised:
        MdfFile(Scripted(LOG.data, **methods))
    assert type(raised.value.__cause__) is cause


class Trickle(io.RawIOBase):
    """A legal raw file object, like a pipe or a socket: read and readinto
    deliver at most `most` bytes per call, however many are asked for."""

    def __init__(self, data, most):
        self._data, self._most, self._at = data, most, 0

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), self._most, max(0, len(self._data) - self._at))
        buffer[:n] = self._data[self._at:self._at + n]
        self._at += n
        return n

    def tell(self):
        return self._at

    def seek(self, offset, whence=0):
        self._at = max(0, (0, self._at, len(self._data))[whence] + offset)
        return self._at


# Two data groups, merged while they are read: payloads in a signal data
# block and in a VLSD channel group.
TRICKLED = build_mf4([
    DataGroup(random_traffic(40, 1, kinds=(CAN_DATA, LIN_FRAME), fd=True),
              vlsd="sd"),
    DataGroup(random_traffic(40, 2, fd=True), vlsd="cg", record_id_size=2)])
TRICKLED_CONTAINERS = {
    "plain": (lambda d: d, None),
    "compressed": (compress, None),
    "encrypted compressed": (lambda d: encrypt(compress(d), "pw"),
                             {"default": "pw"}),
}


@pytest.mark.parametrize("most", (1, 7))
@pytest.mark.parametrize("container", list(TRICKLED_CONTAINERS))
def test_short_reads_deliver_every_frame(container, most):
    wrap, passwords = TRICKLED_CONTAINERS[container]
    reader = MdfFile(Trickle(wrap(TRICKLED.data), most), passwords=passwords)
    assert [attributes(m) for m in reader] == \
        expected_attributes(TRICKLED.expected())


def test_a_text_file_is_refused():
    with pytest.raises(RuntimeError) as raised:
        MdfFile(io.StringIO("MDF     " + "x" * 200))
    assert isinstance(raised.value.__cause__, TypeError)


def test_a_read_failure_while_iterating_is_raised_after_the_frames_before():
    state = {"armed": False, "reads": 0}

    def read(f, n):
        if state["armed"]:
            state["reads"] += 1
            if state["reads"] > 3:
                raise OSError("disk gone")
        return plain_read(f, n)

    f = Scripted(BIG.data, read=read)
    reader = MdfFile(f)
    state["armed"] = True
    got = []
    with pytest.raises(OSError, match="disk gone"):
        for message in reader:
            got.append(message.timestamp)
    expected = [m["timestamp"] for m in BIG.expected()]
    assert 0 < len(got) < len(expected)
    assert got == expected[:len(got)]


def test_a_file_object_is_read_in_chunks():
    calls = []

    def read(f, n):
        calls.append(n)
        return plain_read(f, n)

    count = sum(1 for _ in MdfFile(Scripted(BIG.data, read=read)))
    assert count == len(BIG.expected())
    # Every call asks for a whole chunk or more, and the file is read about
    # once: a few chunks more for the blocks the open reads here and there.
    assert min(calls) >= CHUNK
    assert len(calls) <= len(BIG.data) // CHUNK + 12, len(calls)


@pytest.mark.parametrize("log, most", [(LOG, 1), (LOG, 7), (BIG, CHUNK - 1)],
                         ids=["1 byte", "7 bytes", "a byte short of a chunk"])
def test_a_file_object_that_returns_less_than_asked(log, most):
    # A raw file may return fewer bytes than asked for, before its end too.
    short = Scripted(log.data, read=lambda f, n: plain_read(f, min(n, most)))
    assert [m.timestamp for m in MdfFile(short)] == \
        [m["timestamp"] for m in log.expected()]


def test_a_file_object_closed_before_iterating():
    f = io.BytesIO(LOG.data)
    reader = MdfFile(f)
    f.close()
    with pytest.raises(ValueError, match="closed file"):
        list(reader)


def test_path_subclasses_are_paths(tmp_path):
    class Name(str):
        pass

    path = tmp_path / "log.mf4"
    path.write_bytes(LOG.data)
    assert [m.arbitration_id for m in MdfFile(Name(path))] == IDS


@pytest.mark.parametrize("garbage,error", [
    (lambda f, n: "text", TypeError),
    (lambda f, n: b"\0" * (n + 7), ValueError),
])
def test_garbage_from_read_while_iterating_is_raised(garbage, error):
    state = {"armed": False, "reads": 0}

    def read(f, n):
        if state["armed"]:
            state["reads"] += 1
            if state["reads"] > 2:
                return garbage(f, n)
        return plain_read(f, n)

    reader = MdfFile(Scripted(BIG.data, read=read))
    state["armed"] = True
    got = []
    with pytest.raises(error):
        for message in reader:
            got.append(message.timestamp)
    expected = [m["timestamp"] for m in BIG.expected()]
    assert 0 < len(got) < len(expected)
    assert got == expected[:len(got)]
