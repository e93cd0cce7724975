"""Reading through Python file objects: what their methods may return, and
failures of the file object that must surface as Python exceptions."""
import io

import pytest

from python_can_brenix_mf4 import MdfFile
from support.mf4writer import CanFrame, DataGroup, build_mf4

LOG = build_mf4([DataGroup([CanFrame(0.001 * i, i % 0x800)
                            for i in range(400)], record_id_size=0)])
IDS = [m["arbitration_id"] for m in LOG.expected()]


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
# file object's own complaint (if any) is kept as the cause.
BROKEN = {
    "read returns None (no data now)": (
        dict(read=lambda f, n: None), None),
    "read returns str": (
        dict(read=lambda f, n: plain_read(f, n).decode("latin-1")),
        TypeError),
    "read returns bytearray": (
        dict(read=lambda f, n: bytearray(plain_read(f, n))), TypeError),
    "read returns more than asked": (
        dict(read=lambda f, n: plain_read(f, n) + b"\0" * 16), ValueError),
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
    assert type(raised.value.__cause__) is (cause or type(None))


def test_a_text_file_is_refused():
    with pytest.raises(RuntimeError) as raised:
        MdfFile(io.StringIO("MDF     " + "x" * 200))
    assert isinstance(raised.value.__cause__, TypeError)


def test_a_read_failure_while_iterating_is_raised_after_the_frames_before():
    state = {"armed": False, "reads": 0}

    def read(f, n):
        if state["armed"]:
            state["reads"] += 1
            if state["reads"] > 50:
                raise OSError("disk gone")
        return plain_read(f, n)

    f = Scripted(LOG.data, read=read)
    reader = MdfFile(f)
    state["armed"] = True
    got = []
    with pytest.raises(OSError, match="disk gone"):
        for message in reader:
            got.append(message.arbitration_id)
    assert 0 < len(got) < len(IDS)
    assert got == IDS[:len(got)]


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
