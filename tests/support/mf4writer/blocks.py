"""Byte layouts of the MF4 blocks the writer emits, and the file layout.

Every function returns the complete bytes of one block: the 24-byte common
header ("##XX", 4 reserved bytes, u64 length, u64 link count), the links
(u64 file offsets, 0 for none) and the data section, all little-endian.
The identification block is the exception: 64 bytes at offset 0 without
the common header.

Layouts (offsets from the block start):

  ID  0 file id (8)  8 version text (8)  16 program (8)  24 reserved (4)
      28 version u16  30 reserved (30)  60 standard unfinalized flags u16
      62 custom unfinalized flags u16
  HD  links: first DG, first FH, channel hierarchy, attachment, event,
      comment; data: start ns u64, tz min i16, dst min i16, time flags u8,
      time class u8, flags u8, reserved u8, start angle f64, distance f64
  FH  links: next FH, comment; data: time ns u64, tz i16, dst i16,
      time flags u8, reserved (3)
  TX  no links; data: UTF-8 text, zero terminator, zero padding to 8
  MD  as TX with id "##MD" (XML)
  SI  links: name, path, comment; data: source type u8, bus type u8,
      flags u8, reserved (5)
  CC  links: name, unit, comment, inverse; data: type u8, precision u8,
      flags u16, reference count u16, value count u16, range min f64,
      range max f64, values f64 each
  CN  links: next, composition, name, source, conversion, data, unit,
      comment; data: channel type u8, sync type u8, data type u8,
      bit offset u8, byte offset u32, bit count u32, flags u32,
      invalidation bit position u32, precision u8, reserved u8,
      attachment count u16, six f64 (value range, limits, extended limits)
  CG  links: next, first CN, acquisition name, acquisition source,
      sample reduction, comment; data: record id u64, cycle count u64,
      flags u16, path separator u16, reserved (4), data bytes u32,
      invalidation bytes u32
  DG  links: next, first CG, data, comment; data: record id size u8,
      reserved (7)
  DT  no links; data: records
  SD  no links; data: values, each a u32 length followed by its bytes
  DL  links: next DL, the data blocks; data: flags u8 (1: equal length),
      reserved (3), block count u32, equal length u64
  DZ  no links; data: original block id (2), zip type u8 (0 deflate,
      1 transposition + deflate), reserved u8, zip parameter u32 (the
      columns of a transposition), original length u64, compressed length
      u64, compressed bytes
  HL  links: first DL; data: flags u16, zip type u8, reserved (5)
"""
from __future__ import annotations

import struct
import zlib
from typing import List, Optional, Sequence, Tuple, Union

import numpy as np

HEADER = struct.Struct("<4s4xQQ")
ID_BLOCK = struct.Struct("<8s8s8s4xH30xHH")
HD_DATA = struct.Struct("<QhhBBBxdd")
FH_DATA = struct.Struct("<QhhB3x")
SI_DATA = struct.Struct("<BBB5x")
CC_DATA = struct.Struct("<BBHHHdd")
CN_DATA = struct.Struct("<BBBBIIIIBxHdddddd")
CG_DATA = struct.Struct("<QQHH4xII")
DG_DATA = struct.Struct("<B7x")
DL_DATA = struct.Struct("<B3xIQ")
DZ_DATA = struct.Struct("<2sBxIQQ")
HL_DATA = struct.Struct("<HB5x")

FINALIZED = b"MDF     "
UNFINALIZED = b"UnFinMF "

# Channel types, sync types and data types of ASAM MDF 4.x.
CN_FIXED, CN_VLSD, CN_MASTER = 0, 1, 2
SYNC_NONE, SYNC_TIME = 0, 1
DT_UINT_LE, DT_UINT_BE, DT_SINT_LE, DT_SINT_BE = 0, 1, 2, 3
DT_FLOAT_LE, DT_FLOAT_BE, DT_BYTES = 4, 5, 10
CN_FLAG_INVALIDATION = 0x02

# Conversion types.
CC_LINEAR, CC_VALUE_TABLE = 1, 5

# Channel group flags.
CG_FLAG_VLSD, CG_FLAG_BUS_EVENT, CG_FLAG_PLAIN_BUS_EVENT = 0x1, 0x2, 0x4

# Source types and bus types.
SOURCE_ECU, SOURCE_BUS = 1, 2
BUS_NONE, BUS_CAN, BUS_LIN = 0, 2, 3

# Unfinalized flags: cycle counts, last DT length, VLSD byte counts.
UNFIN_CYCLE_COUNTS, UNFIN_LAST_DT_LENGTH, UNFIN_VLSD_BYTES = 0x01, 0x04, 0x20


def block(block_id: bytes, links: Sequence[int], data: bytes = b"") -> bytes:
    """Common header, links and data section."""
    length = HEADER.size + 8 * len(links) + len(data)
    return HEADER.pack(block_id, length, len(links)) + \
        struct.pack("<%dQ" % len(links), *links) + data


def data_block_header(block_id: bytes, data_size: int,
                      length: Optional[int] = None) -> bytes:
    """The header of a DT or SD block whose data section is written
    separately (`length` overrides the length field)."""
    real = HEADER.size + data_size
    return HEADER.pack(block_id, real if length is None else length, 0)


def id_block(finalized: bool = True, standard_flags: int = 0,
             custom_flags: int = 0, version_text: bytes = b"4.11    ",
             program: bytes = b"mf4wrt  ", version: int = 411) -> bytes:
    return ID_BLOCK.pack(FINALIZED if finalized else UNFINALIZED,
                         version_text, program, version, standard_flags,
                         custom_flags)


def hd_block(first_dg: int, first_fh: int, comment: int, start_ns: int,
             tz_min: int = 0, dst_min: int = 0, time_flags: int = 0,
             hierarchy: int = 0, attachment: int = 0, event: int = 0) -> bytes:
    data = HD_DATA.pack(start_ns, tz_min, dst_min, time_flags, 0, 0, 0.0, 0.0)
    return block(b"##HD", [first_dg, first_fh, hierarchy, attachment, event,
                           comment], data)


def fh_block(next_fh: int, comment: int, time_ns: int, tz_min: int = 0,
             dst_min: int = 0, time_flags: int = 0) -> bytes:
    return block(b"##FH", [next_fh, comment],
                 FH_DATA.pack(time_ns, tz_min, dst_min, time_flags))


def text_block(text: str, block_id: bytes = b"##TX") -> bytes:
    raw = text.encode("utf-8") + b"\0"
    raw += b"\0" * (-len(raw) % 8)
    return block(block_id, [], raw)


def si_block(name: int, path: int, comment: int, source_type: int,
             bus_type: int, flags: int = 0) -> bytes:
    return block(b"##SI", [name, path, comment],
                 SI_DATA.pack(source_type, bus_type, flags))


def cc_block(cc_type: int, values: Sequence[float], name: int = 0,
             unit: int = 0, comment: int = 0, inverse: int = 0) -> bytes:
    data = CC_DATA.pack(cc_type, 0, 0, 0, len(values), 0.0, 0.0)
    data += struct.pack("<%dd" % len(values), *values)
    return block(b"##CC", [name, unit, comment, inverse], data)


def cn_block(next_cn: int, composition: int, name: int, source: int,
             conversion: int, data_link: int, unit: int, comment: int,
             channel_type: int, sync_type: int, data_type: int,
             bit_offset: int, byte_offset: int, bit_count: int,
             flags: int = 0, invalidation_bit: int = 0) -> bytes:
    data = CN_DATA.pack(channel_type, sync_type, data_type, bit_offset,
                        byte_offset, bit_count, flags, invalidation_bit, 0, 0,
                        0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
    return block(b"##CN", [next_cn, composition, name, source, conversion,
                           data_link, unit, comment], data)


def cg_block(next_cg: int, first_cn: int, acq_name: int, acq_source: int,
             comment: int, record_id: int, cycle_count: int, flags: int,
             data_bytes: int, invalidation_bytes: int,
             sample_reduction: int = 0,
             path_separator: int = ord(".")) -> bytes:
    data = CG_DATA.pack(record_id, cycle_count, flags, path_separator,
                        data_bytes, invalidation_bytes)
    return block(b"##CG", [next_cg, first_cn, acq_name, acq_source,
                           sample_reduction, comment], data)


def dg_block(next_dg: int, first_cg: int, data_link: int, comment: int,
             record_id_size: int) -> bytes:
    return block(b"##DG", [next_dg, first_cg, data_link, comment],
                 DG_DATA.pack(record_id_size))


def dl_block(members: Sequence[int], equal_length: int,
             next_dl: int = 0) -> bytes:
    """A data list of blocks of `equal_length` bytes each (the last may
    be shorter)."""
    return block(b"##DL", [next_dl, *members],
                 DL_DATA.pack(1, len(members), equal_length))


def dz_block(plain: bytes, columns: int = 0) -> bytes:
    """The DT block `plain` deflated; transposed first when `columns` is
    not 0 (rows of `columns` bytes, a remainder stays as it is)."""
    packed = plain
    if columns:
        rows = len(plain) // columns
        body = np.frombuffer(plain[:rows * columns], np.uint8)
        packed = body.reshape(rows, columns).T.tobytes() + \
            plain[rows * columns:]
    compressed = zlib.compress(packed, 6)
    return block(b"##DZ", [], DZ_DATA.pack(
        b"DT", 1 if columns else 0, columns, len(plain),
        len(compressed)) + compressed)


def hl_block(first_dl: int) -> bytes:
    """A header list of deflated blocks (zip type 0)."""
    return block(b"##HL", [first_dl], HL_DATA.pack(1, 0))


Chunk = Union[bytes, bytearray, memoryview, np.ndarray]


def chunk_size(chunk: Chunk) -> int:
    return chunk.nbytes if isinstance(chunk, (np.ndarray, memoryview)) \
        else len(chunk)


class FileLayout:
    """Places blocks one after another at 8-byte aligned offsets.

    Blocks are written bottom-up, so every link target already has its
    offset; a region can be reserved first and filled later (the ID and HD
    blocks at 0 and 64). Large data sections stay numpy arrays until the
    file is written, so a big log is copied once at the most."""

    def __init__(self) -> None:
        self.parts: List[Tuple[int, Chunk]] = []
        self.size = 0

    def reserve(self, size: int) -> int:
        return self.place(bytes(size))

    def place(self, *chunks: Chunk) -> int:
        """Appends the chunks back to back at the next aligned offset and
        returns that offset."""
        self._pad()
        offset = self.size
        for chunk in chunks:
            self.parts.append((self.size, chunk))
            self.size += chunk_size(chunk)
        return offset

    def fill(self, offset: int, data: bytes) -> None:
        """Replaces the zeros of a reserved region."""
        for index, (start, chunk) in enumerate(self.parts):
            if start == offset:
                assert chunk_size(chunk) == len(data), "region size changed"
                self.parts[index] = (start, data)
                return
        raise KeyError(offset)

    def _pad(self) -> None:
        pad = -self.size % 8
        if pad:
            self.parts.append((self.size, bytes(pad)))
            self.size += pad

    def chunks(self):
        for _, chunk in self.parts:
            if isinstance(chunk, np.ndarray):
                chunk = np.ascontiguousarray(chunk).view(np.uint8).reshape(-1)
            yield chunk

    def tobytes(self) -> bytes:
        return b"".join(self.chunks())
