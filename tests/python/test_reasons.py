"""Why a log does not open: tables of broken files and containers, made
with the project's writer and patched at one field, each raising the
reader's usual RuntimeError (its message unchanged) with the library's
reason (block or container, file offset, what is wrong) as its __cause__, a
ValueError, and that reason logged once on the "python_can_brenix_mf4"
logger."""
import io
import logging
import struct

import pytest

from python_can_brenix_mf4 import MdfFile
from support.mf4writer import (CAN_DATA, LIN_FRAME, CanFrame, DataGroup,
                               build_mf4, compress, encrypt, random_traffic)

LOG = build_mf4([DataGroup([CanFrame(0.1, 0x10, b"\x01")])])
DG = LOG.offsets["DG[0]"]
CG = LOG.offsets["DG[0].CG[0]"]
SI = LOG.offsets["DG[0].CG[0].SI"]
FH = LOG.offsets["FH[0]"]


def patched(at, fmt, value):
    copy = bytearray(LOG.data)
    struct.pack_into(fmt, copy, at, value)
    return bytes(copy)


# (name, file bytes, reason); block fields: +8 length, +16 link count,
# +24 the links.
CASES = [
    ("empty file", b"",
     "block at 0x0: beyond the end of the file (0 bytes)"),
    ("no MF4 file", b"hello, world\n" * 8,
     'block at 0x0: unknown block id "hell"'),
    ("cut in the header block", LOG.data[:80],
     "block at 0x40: header cut short by the end of the file (16 of 24 "
     "bytes)"),
    ("data group of 3 links", patched(DG + 16, "<Q", 3),
     "DG block at 0x%X: 3 links, needs 4" % DG),
    ("record id size beyond the limit", patched(DG + 56, "<B", 9),
     "DG block at 0x%X: record id size 9 above kMdfMaxRecordIdSize (8)" % DG),
    ("source block of length 2^60", patched(SI + 8, "<Q", 2**60),
     "SI block at 0x%X: length %d runs past the end of the file (%d bytes)"
     % (SI, 2**60, LOG.size)),
    ("link beyond the end", patched(CG + 24 + 8 * 3, "<Q", LOG.size + 8),
     "block at 0x%X: beyond the end of the file (%d bytes)"
     % (LOG.size + 8, LOG.size)),
    ("data group whose comment is itself", patched(DG + 24 + 8 * 3, "<Q", DG),
     "block at 0x%X: linked again while it loads (a cycle)" % DG),
    ("sample reduction block", patched(CG + 24 + 8 * 4, "<Q", FH),
     "CG block at 0x%X: links to a sample reduction block, which is not "
     "supported" % CG),
]


@pytest.mark.parametrize("name,data,reason", CASES,
                         ids=[case[0] for case in CASES])
def test_a_broken_file_says_why(name, data, reason, source, caplog):
    with caplog.at_level(logging.ERROR, logger="python_can_brenix_mf4"):
        with pytest.raises(RuntimeError) as raised:
            MdfFile(source(data))
    assert str(raised.value) == "Could not open data source"
    assert type(raised.value.__cause__) is ValueError
    assert str(raised.value.__cause__) == reason
    logged = [r.getMessage() for r in caplog.records
              if r.name == "python_can_brenix_mf4"]
    assert logged.count(reason) == 1


def test_an_intact_file_opens(source):
    with MdfFile(source(LOG.data)) as log:
        assert len(list(log)) == 1


def test_a_failing_file_object_stays_the_cause(caplog):
    # The library's reason is a consequence then: it is logged, but the
    # file object's own error is what the caller sees as the cause.
    class Failing(io.BytesIO):
        def read(self, *args):
            raise OSError("disk gone")

    with caplog.at_level(logging.ERROR, logger="python_can_brenix_mf4"):
        with pytest.raises(RuntimeError) as raised:
            MdfFile(Failing(LOG.data))
    assert str(raised.value) == "Could not open data source"
    assert isinstance(raised.value.__cause__, OSError)
    assert str(raised.value.__cause__) == "disk gone"


# Containers: (name, file bytes, passwords, message, reason).
ENCRYPTED = encrypt(LOG.data, "pw", device_id=0xBEEF)
COMPRESSED = compress(LOG.data)
CONTAINER_CASES = [
    ("no passwords", ENCRYPTED, None,
     "Encrypted file detected, but no passwords supplied",
     "encrypted container at 0x10: device 0000BEEF, no passwords given"),
    ("no key", ENCRYPTED, {"00000001": "pw"},
     "Could not find key to decrypt stream",
     'encrypted container at 0x10: no password for device 0000BEEF or '
     '"default"'),
    ("wrong password", ENCRYPTED, {"default": "wrong"},
     "Could not decrypt stream",
     "encrypted container at 0x%X: authentication tag does not match (a "
     "wrong password, or a damaged file)" % (len(ENCRYPTED) - 16)),
    ("unknown container type", COMPRESSED[:14] + b"\x33" + COMPRESSED[15:],
     None, "Could not open data source",
     "container at 0xE: unknown container type 0x33"),
    ("damaged MF4 inside", encrypt(patched(DG + 16, "<Q", 3), "pw"),
     {"default": "pw"}, "Could not open data source",
     "DG block at 0x%X: 3 links, needs 4" % DG),
]


@pytest.mark.parametrize("name,data,passwords,message,reason",
                         CONTAINER_CASES,
                         ids=[case[0] for case in CONTAINER_CASES])
def test_a_container_that_does_not_open_says_why(name, data, passwords,
                                                 message, reason, source,
                                                 caplog):
    with caplog.at_level(logging.ERROR, logger="python_can_brenix_mf4"):
        with pytest.raises(RuntimeError) as raised:
            MdfFile(source(data), passwords=passwords)
    assert str(raised.value) == message
    assert type(raised.value.__cause__) is ValueError
    assert str(raised.value.__cause__) == reason
    logged = [r.getMessage() for r in caplog.records
              if r.name == "python_can_brenix_mf4"]
    assert logged.count(reason) == 1


# Finalizing: an unfinalized log of one unsorted data group, CAN and LIN
# frames in two channel groups behind their record ids.
UNSORTED = build_mf4([DataGroup(random_traffic(20, 1,
                                               kinds=(CAN_DATA, LIN_FRAME)),
                                record_id_size=1)], finalized=False)


def test_records_that_cannot_be_told_apart_say_which_group(source, caplog):
    # The second channel group given the first one's record id (the CG
    # block's first data field, after its header and six links).
    first, second = (UNSORTED.offsets["DG[0].CG[%d]" % i] + 24 + 6 * 8
                     for i in (0, 1))
    data = bytearray(UNSORTED.data)
    data[second:second + 8] = data[first:first + 8]
    record_id = struct.unpack_from("<Q", data, first)[0]
    reason = ("DG block at 0x%X: channel groups 0 and 1 have one record id "
              "(%d)" % (UNSORTED.offsets["DG[0]"], record_id))
    with MdfFile(source(bytes(data))) as log:
        before = [m.timestamp for m in log]
        with caplog.at_level(logging.ERROR, logger="python_can_brenix_mf4"):
            with pytest.raises(RuntimeError) as raised:
                log._finalized()
        assert str(raised.value) == \
            "the records of a data group cannot be told apart"
        assert type(raised.value.__cause__) is ValueError
        assert str(raised.value.__cause__) == reason
        assert [r.getMessage() for r in caplog.records].count(reason) == 1
        # Refused, the log reads as before.
        assert [m.timestamp for m in log] == before


def test_a_read_failing_while_finalizing_is_an_oserror():
    class FailingLater(io.BytesIO):
        failing = False

        def read(self, *args):
            if self.failing:
                raise OSError("disk gone")
            return super().read(*args)

    file = FailingLater(UNSORTED.data)
    with MdfFile(file) as log:
        file.failing = True
        with pytest.raises(OSError) as raised:
            log._finalized()
    assert str(raised.value) == "Could not read the file's data"
    assert str(raised.value.__cause__) == "disk gone"
