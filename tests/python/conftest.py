"""Shared helpers of the reader's tests: message comparison and the ways a
file reaches MdfFile (path as str or pathlib.Path, open file, BytesIO)."""
import io
import pathlib

import can
import pytest

# Every attribute of can.Message that the reader sets or leaves at its
# default; comparing all of them catches a wrong default too.
MESSAGE_ATTRIBUTES = (
    "timestamp", "arbitration_id", "is_extended_id", "is_remote_frame",
    "is_error_frame", "channel", "dlc", "data", "is_fd", "is_rx",
    "bitrate_switch", "error_state_indicator")

SOURCES = ("str", "path", "file", "bytesio")


def attributes(message):
    out = {name: getattr(message, name) for name in MESSAGE_ATTRIBUTES}
    out["data"] = bytes(out["data"])
    return out


def expected_attributes(truth):
    """The attributes of the message the writer's ground truth describes
    (can.Message keyword arguments)."""
    return [attributes(can.Message(**kwargs)) for kwargs in truth]


@pytest.fixture
def source(tmp_path):
    """source(data, kind) -> the `file` argument of MdfFile for the bytes
    `data` given as kind (one of SOURCES)."""
    opened = []

    def make(data, kind="str", name="log.mf4"):
        path = tmp_path / name
        path.write_bytes(data)
        if kind == "str":
            return str(path)
        if kind == "path":
            return pathlib.Path(path)
        if kind == "file":
            opened.append(open(path, "rb"))
            return opened[-1]
        if kind == "bytesio":
            return io.BytesIO(data)
        raise ValueError(kind)

    yield make
    for f in opened:
        f.close()
