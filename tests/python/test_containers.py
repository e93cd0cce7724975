"""Compressed and encrypted logs read as streams: every window and
lookahead pair, sorted logs of several data groups (whose frames the merge
reads from far apart), tampered containers, files that change or shrink
after the open, and sources that cannot seek. Every case gives the
writer's frames or the documented error, nothing in between."""
import io
import os
import subprocess

import pytest

from python_can_brenix_mf4 import MdfFile
from support.mf4writer import (CAN_DATA, CAN_ERROR, CAN_REMOTE, LIN_FRAME,
                               DataGroup, build_mf4, compress, encrypt,
                               random_traffic)

from conftest import attributes, expected_attributes

PASSWORD, DEVICE = "pw", 0x1234
PASSWORDS = {"%08X" % DEVICE: PASSWORD}
SHAPES = {
    "compressed": compress,
    "encrypted": lambda d: encrypt(d, PASSWORD, device_id=DEVICE),
    "encrypted compressed": lambda d: encrypt(compress(d), PASSWORD,
                                              device_id=DEVICE),
    "compressed encrypted": lambda d: compress(encrypt(d, PASSWORD,
                                                       device_id=DEVICE)),
}


def sorted_log(frames):
    """Sorted data groups, one per kind and channel: the merge reads them
    in turn, far apart in the file."""
    groups = []
    for seed, (kinds, fd, vlsd) in enumerate([
            ((CAN_DATA,), False, None), ((CAN_DATA,), True, "sd"),
            ((LIN_FRAME,), False, None), ((CAN_REMOTE,), False, None),
            ((CAN_ERROR,), False, None)]):
        groups.append(DataGroup(random_traffic(frames, seed, kinds=kinds,
                                               fd=fd),
                                record_id_size=0, vlsd=vlsd))
    return build_mf4(groups)


SMALL = sorted_log(60)
# About 1 MB of content: several checkpoints of the compressed stream and
# chunks of the encrypted one.
BIG = sorted_log(6000)
# One unsorted data group: the open reads only the file's start.
UNSORTED = build_mf4([DataGroup(random_traffic(
    20000, 9, kinds=(CAN_DATA, LIN_FRAME), fd=True), vlsd="cg")])


def messages(source):
    with MdfFile(source, passwords=PASSWORDS) as log:
        return [attributes(m) for m in log]


def column_times(source):
    with MdfFile(source, passwords=PASSWORDS) as log:
        return log.to_numpy(columns=["timestamp_ns"])["timestamp_ns"].tolist()


def truth_times(log):
    return sorted(f["timestamp_ns"] for g in log.frames_by_group()
                  for f in g if "error" not in f)


# W from 4 to 15, each with the smallest, a middle and the largest L.
PAIRS = sorted({(w, l) for w in range(4, 16)
                for l in (3, (w + 3) // 2, w - 1) if 3 <= l < w})


@pytest.mark.parametrize("w, l", PAIRS)
def test_every_window_and_lookahead(w, l):
    data = compress(SMALL.data, window_bits=w, lookahead_bits=l)
    source = io.BytesIO(data)
    assert messages(source) == expected_attributes(SMALL.expected())
    source.seek(0)
    assert column_times(source) == truth_times(SMALL)


@pytest.fixture(scope="module")
def big_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("containers")
    paths = {}
    for shape, wrap in SHAPES.items():
        paths[shape] = folder / (shape.replace(" ", "_") + ".mf4")
        paths[shape].write_bytes(wrap(BIG.data))
    return paths


@pytest.mark.parametrize("shape", SHAPES)
def test_sorted_groups_read_far_apart(shape, big_files):
    path = str(big_files[shape])
    assert messages(path) == expected_attributes(BIG.expected())
    assert column_times(path) == truth_times(BIG)
    # Again from the start: the streams seek back.
    with MdfFile(path, passwords=PASSWORDS) as log:
        first = [m.timestamp for m in log][:100]
        assert [m.timestamp for m in log][:100] == first


def flipped(data, at):
    return data[:at] + bytes([data[at] ^ 0x20]) + data[at + 1:]


ENCRYPTED = SHAPES["encrypted"](BIG.data)
COMPRESSED = compress(BIG.data)
TAMPERED = {
    "ciphertext start": (flipped(ENCRYPTED, 52), "Could not decrypt stream"),
    "ciphertext middle": (flipped(ENCRYPTED, len(ENCRYPTED) // 2),
                          "Could not decrypt stream"),
    "ciphertext end": (flipped(ENCRYPTED, len(ENCRYPTED) - 17),
                       "Could not decrypt stream"),
    "tag": (flipped(ENCRYPTED, len(ENCRYPTED) - 1),
            "Could not decrypt stream"),
    "compressed start": (flipped(COMPRESSED, 28),
                         "Could not decompress stream"),
    "compressed middle": (flipped(COMPRESSED, len(COMPRESSED) // 2),
                          "Could not decompress stream"),
    "compressed footer": (flipped(COMPRESSED, len(COMPRESSED) - 1),
                          "Could not decompress stream"),
    "encrypted cut short": (ENCRYPTED[:len(ENCRYPTED) // 2],
                            "Could not decrypt stream"),
    "compressed cut short": (COMPRESSED[:len(COMPRESSED) // 2],
                             "Could not decompress stream"),
}


@pytest.mark.parametrize("case", TAMPERED)
def test_a_tampered_container_does_not_open(case):
    data, message = TAMPERED[case]
    with pytest.raises(RuntimeError, match="^%s$" % message):
        MdfFile(io.BytesIO(data), passwords=PASSWORDS)


CHANGED = {
    "encrypted": ("Could not decrypt stream", "encrypted file changed"),
    "compressed": ("Could not decompress stream", "compressed file changed"),
    "encrypted compressed": ("Could not decrypt stream",
                             "encrypted file changed"),
}


@pytest.mark.parametrize("cut", [False, True], ids=["changed", "cut short"])
@pytest.mark.parametrize("shape", CHANGED)
@pytest.mark.parametrize("path", ["messages", "columns"])
def test_a_file_changed_after_the_open(path, shape, cut, tmp_path):
    log = tmp_path / "log.mf4"
    data = SHAPES[shape](UNSORTED.data)
    log.write_bytes(data)
    reader = MdfFile(str(log), passwords=PASSWORDS)
    middle = len(data) // 2
    if cut:
        os.truncate(log, middle)
        message, reason = CHANGED[shape][0], "can no longer be read"
    else:
        with open(log, "r+b") as f:
            f.seek(middle)
            f.write(bytes([data[middle] ^ 1]))
        message, reason = CHANGED[shape]
    got = []
    with pytest.raises(RuntimeError, match="^%s$" % message) as raised:
        if path == "messages":
            for m in reader:
                got.append(attributes(m))
        else:
            reader.to_numpy()
    assert reason in str(raised.value.__cause__)
    assert got == expected_attributes(UNSORTED.expected())[:len(got)]
    reader.close()


class Unseekable(io.RawIOBase):
    """A stream that can only be read forward, like a pipe or a socket."""

    def __init__(self, data):
        self._data, self._at = data, 0

    def readable(self):
        return True

    def seekable(self):
        return False

    def readinto(self, buffer):
        n = min(len(buffer), 1000, len(self._data) - self._at)
        buffer[:n] = self._data[self._at:self._at + n]
        self._at += n
        return n


@pytest.mark.parametrize("shape", ["plain"] + list(SHAPES))
def test_sources_that_cannot_seek(shape, tmp_path):
    data = SHAPES.get(shape, lambda d: d)(SMALL.data)
    truth = expected_attributes(SMALL.expected())
    assert messages(Unseekable(data)) == truth
    # A named pipe that another process writes.
    log, fifo = tmp_path / "log.mf4", tmp_path / "pipe"
    log.write_bytes(data)
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", 'cat "$1" > "$2"', "sh", log, fifo])
    try:
        assert messages(str(fifo)) == truth
    finally:
        writer.wait()
