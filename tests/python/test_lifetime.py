"""Closing: close(), stop(), the context manager, finalisation, iterators
that outlive close() or the interpreter, and reentrant or failing Python
code that the reader runs (file object methods, logging handlers)."""
import contextlib
import gc
import io
import logging
import os
import subprocess
import sys

import pytest

from python_can_brenix_mf4 import CanMsgExtension, MdfFile, MdfFileIterator
from support.mf4writer import (CanFrame, DataGroup, build_mf4, compress,
                               encrypt)

LOG = build_mf4([DataGroup([CanFrame(0.1 * i, i) for i in range(1, 6)],
                           record_id_size=0),
                 DataGroup([CanFrame(0.15 * i, 100 + i) for i in range(1, 4)],
                           record_id_size=0)])
IDS = [m["arbitration_id"] for m in LOG.expected()]
# A compressed LOG whose checksum fails: opening it logs, then fails.
DAMAGED = compress(LOG.data)[:-1] + bytes([compress(LOG.data)[-1] ^ 0xFF])


@contextlib.contextmanager
def logged_to(handler):
    """The module's log goes to `handler` as well, within the block."""
    logger = logging.getLogger("python_can_brenix_mf4")
    logger.addHandler(handler)
    try:
        yield handler
    finally:
        logger.removeHandler(handler)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("kind", ["str", "path"])
def test_close_releases_the_file(kind, source):
    path = source(LOG.data, kind)
    before = open_fds()
    reader = MdfFile(path)
    assert open_fds() > before
    assert reader.close() is None
    assert open_fds() == before
    assert reader.close() is None  # twice: nothing left to release
    for use in (lambda: iter(reader), reader.get_metadata):
        with pytest.raises(RuntimeError, match="^Handle has been closed$"):
            use()


@pytest.mark.parametrize("kind", ["str", "path", "bytesio"])
def test_with_statement_releases_the_file(kind, source):
    path = source(LOG.data, kind)
    before = open_fds()
    with MdfFile(path) as reader:
        assert [m.arbitration_id for m in reader] == IDS
    assert open_fds() == before
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        iter(reader)


def test_stop_closes(source):
    reader = MdfFile(source(LOG.data))
    reader.stop()
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        iter(reader)


def test_dropping_the_reader_releases_the_file(source):
    path = source(LOG.data)
    before = open_fds()
    reader = MdfFile(path)
    del reader
    gc.collect()
    assert open_fds() == before


def test_closing_leaves_a_callers_file_object_open(source):
    f = source(LOG.data, "file")
    with MdfFile(f) as reader:
        list(reader)
    assert not f.closed
    f.seek(0)
    assert f.read(8) == b"MDF     "


def test_iterator_outliving_close_raises_instead_of_reading(source):
    reader = MdfFile(source(compress(LOG.data)))
    merged = iter(reader)
    assert next(merged).arbitration_id == IDS[0]
    reader.close()
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        next(merged)
    # An iterator made before close and never started fails the same way.
    reader.__init__(source(LOG.data, "bytesio"))
    fresh = iter(reader)
    reader.close()
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        list(fresh)


def test_exhausted_iterators_stay_exhausted(source):
    log = build_mf4([DataGroup([])])
    reader = MdfFile(source(log.data))
    merged = iter(reader)
    assert list(merged) == []
    assert list(merged) == []
    assert list(reader) == []


def test_iterator_type_cannot_be_created_from_python():
    with pytest.raises(RuntimeError,
                       match="^Class cannot be created from Python$"):
        MdfFileIterator()


def test_iterators_keep_the_reader_alive(source):
    merged = iter(MdfFile(source(LOG.data)))
    gc.collect()
    assert [m.arbitration_id for m in merged] == IDS


class Reentrant(io.BytesIO):
    """A file object whose read runs `action` once, in the middle of the
    reader's library call."""

    action = None

    def read(self, n=-1):
        action, self.action = self.action, None
        if action is not None:
            action()
        return super().read(n)


@pytest.mark.parametrize("use", ["close", "stop", "iter", "init", "next"])
def test_reentrant_use_from_a_file_object_is_refused(use):
    f = Reentrant(LOG.data)
    reader = MdfFile(f)
    other = iter(reader)
    errors = []

    def action():
        try:
            {"close": reader.close, "stop": reader.stop,
             "iter": lambda: iter(reader),
             "init": lambda: reader.__init__(io.BytesIO(LOG.data)),
             "next": lambda: next(other)}[use]()
        except RuntimeError as error:
            errors.append(str(error))

    f.action = action
    assert [m.arbitration_id for m in reader] == IDS
    assert errors == ["Handle is in use"]


def test_reentrant_close_from_a_logging_handler_is_refused(source):
    reader = MdfFile(source(LOG.data, "bytesio"))
    errors = []

    class CloseOnLog(logging.Handler):
        def emit(self, record):
            try:
                reader.close()
            except RuntimeError as error:
                errors.append(str(error))

    with logged_to(CloseOnLog()):
        with pytest.raises(RuntimeError, match="^Could not decompress"):
            reader.__init__(io.BytesIO(DAMAGED))
    assert errors == ["Handle is in use"]


def test_nothing_stays_alive_after_many_readers(source):
    data = encrypt(compress(LOG.data), "pw", device_id=7)
    path = source(data)
    passwords = {"00000007": "pw"}
    password = passwords["00000007"]

    def live():
        return sum(type(o) in (MdfFile, MdfFileIterator, CanMsgExtension)
                   for o in gc.get_objects())

    def cycle():
        for file in (path, io.BytesIO(data)):
            reader = MdfFile(file, passwords=passwords)
            list(reader)
            reader.get_metadata()
            half = iter(reader)
            next(half)
            reader.close()

    gc.collect()
    counts = (sys.getrefcount(data), sys.getrefcount(path),
              sys.getrefcount(passwords), sys.getrefcount(password), live())
    for _ in range(20):
        cycle()
    gc.collect()
    assert (sys.getrefcount(data), sys.getrefcount(path),
            sys.getrefcount(passwords), sys.getrefcount(password),
            live()) == counts


def test_a_raising_logging_handler_is_ignored(source):
    class Raising(logging.Handler):
        def emit(self, record):
            self.calls = getattr(self, "calls", 0) + 1
            raise ValueError("handler broke")

    handler = Raising()
    with logged_to(handler):
        with pytest.raises(RuntimeError, match="^Could not decompress"):
            MdfFile(io.BytesIO(DAMAGED))
        assert handler.calls > 0
        with MdfFile(source(LOG.data, "bytesio")) as reader:
            assert [m.arbitration_id for m in reader] == IDS


def test_closing_while_iterating_stops_the_loop(source):
    reader = MdfFile(source(LOG.data, "bytesio"))
    got = []
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        for message in reader:
            got.append(message.arbitration_id)
            if len(got) == 2:
                reader.close()
    assert got == IDS[:2]


def test_interpreter_exit_with_live_readers_and_iterators(source):
    # Readers and half-used iterators left in module globals and in a
    # reference cycle when the interpreter shuts down.
    path = source(compress(LOG.data))
    code = "\n".join([
        "import io, sys",
        "from python_can_brenix_mf4 import MdfFile",
        "reader = MdfFile(sys.argv[1])",
        "merged = iter(reader); next(merged)",
        "data = open(sys.argv[1], 'rb').read()",
        "other = MdfFile(io.BytesIO(data))",
        "cycle = [other, iter(other)]; cycle.append(cycle); next(cycle[1])",
        "orphan = iter(MdfFile(sys.argv[1]))",
    ])
    done = subprocess.run([sys.executable, "-c", code, str(path)],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
