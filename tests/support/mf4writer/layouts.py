"""Record layouts of channel groups: channels, their bit positions, data
types and conversions, and the layouts a CAN/LIN logger writes.

A channel's name says which frame field it carries: the text after the
last "." ("CAN_DataFrame.ID" carries the field "ID"), or the whole name
("Timestamp"). Values given to the writer are physical values; a channel
with a conversion stores the raw value that converts back to them.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Sequence, Tuple, Union

import numpy as np

from . import blocks

UINT, SINT, FLOAT, BYTES = "uint", "sint", "float", "bytes"
INTEGERS = (UINT, SINT)
# Data type code per data type: (little-endian, big-endian).
DATA_TYPE_CODES = {UINT: (blocks.DT_UINT_LE, blocks.DT_UINT_BE),
                   SINT: (blocks.DT_SINT_LE, blocks.DT_SINT_BE),
                   FLOAT: (blocks.DT_FLOAT_LE, blocks.DT_FLOAT_BE),
                   BYTES: (blocks.DT_BYTES, None)}

# Group names of the frame kinds, as loggers name the composed channel.
CAN_DATA, CAN_REMOTE, CAN_ERROR = ("CAN_DataFrame", "CAN_RemoteFrame",
                                   "CAN_ErrorFrame")
LIN_FRAME = "LIN_Frame"
LIN_ERRORS = ("LIN_ChecksumError", "LIN_ReceiveError", "LIN_SyncError",
              "LIN_TransmissionError")
TIMESTAMP = "Timestamp"


@dataclass(frozen=True)
class Linear:
    """physical = raw * factor + offset (stored as the parameters
    offset, factor)."""
    factor: float
    offset: float = 0.0

    cc_type = blocks.CC_LINEAR

    @property
    def values(self) -> Tuple[float, ...]:
        return (self.offset, self.factor)

    def forward(self, raw: np.ndarray) -> np.ndarray:
        return raw.astype(np.float64) * self.factor + self.offset

    def inverse(self, physical: np.ndarray, integer: bool) -> np.ndarray:
        raw = (np.asarray(physical, np.float64) - self.offset) / self.factor
        return np.rint(raw) if integer else raw


@dataclass(frozen=True)
class ValueTable:
    """Exact value-to-value table: raw key -> physical value; the first
    pair of a key counts."""
    pairs: Tuple[Tuple[float, float], ...]

    cc_type = blocks.CC_VALUE_TABLE

    @property
    def values(self) -> Tuple[float, ...]:
        return tuple(v for pair in self.pairs for v in pair)

    def _map(self, values: np.ndarray, table: Dict[float, float],
             what: str) -> np.ndarray:
        keys, index = np.unique(np.asarray(values, np.float64),
                                return_inverse=True)
        missing = [k for k in keys.tolist() if k not in table]
        if missing:
            raise ValueError("value table has no %s for %r" % (what, missing))
        return np.array([table[k] for k in keys.tolist()],
                        np.float64)[index.reshape(-1)]

    def forward(self, raw: np.ndarray) -> np.ndarray:
        table: Dict[float, float] = {}
        for key, value in self.pairs:
            table.setdefault(float(key), float(value))
        return self._map(raw, table, "key")

    def inverse(self, physical: np.ndarray, integer: bool) -> np.ndarray:
        forward = self.forward(np.array([k for k, _ in self.pairs]))
        table: Dict[float, float] = {}
        for (key, _), value in zip(self.pairs, forward.tolist()):
            table.setdefault(value, float(key))
        return self._map(physical, table, "raw value")


Conversion = Union[Linear, ValueTable]


@dataclass(frozen=True)
class Channel:
    """One channel of a record.

    Little-endian: bits [bit_position, bit_position+bit_count) counted
    LSB-first from the record start (after the record id).
    big_endian: the bytes from byte_offset that hold bit_offset+bit_count
    bits, read as one big-endian number, hold the value in its bits
    [bit_offset, bit_offset+bit_count) (the low bit_offset bits of the last
    byte stay free)."""
    name: str
    byte_offset: int
    bit_count: int
    bit_offset: int = 0
    data_type: str = UINT
    conversion: Optional[Conversion] = None
    vlsd: bool = False
    unit: str = ""
    big_endian: bool = False

    @property
    def field(self) -> str:
        return self.name.rsplit(".", 1)[-1]

    @property
    def bit_position(self) -> int:
        return self.byte_offset * 8 + self.bit_offset

    @property
    def data_type_code(self) -> int:
        return DATA_TYPE_CODES[self.data_type][self.big_endian]

    @property
    def end_byte(self) -> int:
        return (self.bit_position + self.bit_count + 7) // 8

    def check(self) -> None:
        if self.data_type not in DATA_TYPE_CODES:
            raise ValueError("%s: unknown data type %r" % (self.name,
                                                           self.data_type))
        if not 0 <= self.bit_offset <= 7:
            raise ValueError("%s: bit offset outside 0..7" % self.name)
        if self.data_type == BYTES:
            if self.bit_offset or self.bit_count % 8 or self.conversion or \
                    self.big_endian:
                raise ValueError("%s: byte arrays are whole bytes without "
                                 "conversion or byte order" % self.name)
            if self.vlsd and self.bit_count != 64:
                raise ValueError("%s: a VLSD channel holds a 64-bit offset"
                                 % self.name)
            if not self.vlsd and not 0 < self.bit_count <= 64 * 8:
                raise ValueError("%s: fixed byte arrays hold 1 to 64 bytes"
                                 % self.name)
        elif self.vlsd:
            raise ValueError("%s: only byte arrays can be VLSD" % self.name)
        elif self.data_type == FLOAT and self.bit_count not in (32, 64):
            raise ValueError("%s: floats are 32 or 64 bits" % self.name)
        elif not 0 < self.bit_count <= 64:
            raise ValueError("%s: integers are 1 to 64 bits" % self.name)


@dataclass(frozen=True)
class GroupLayout:
    """The channels of one channel group.

    name: the frame kind ("CAN_DataFrame", ...) and the name of the composed
    channel that holds the members when `composed` is true.
    bus: "CAN" or "LIN" for a source information block of source type bus
    and that bus type; None for a group without one (not a bus group).
    vlsd_storage: where VLSD members keep their values, "sd" (a signal data
    block) or "cg" (records of a VLSD channel group after each frame record,
    unsorted data groups only).
    invalidation_bytes: bytes after the data bytes of every record; each
    member then gets an invalidation bit (all written as valid).
    """
    name: str
    timestamp: Channel
    members: Tuple[Channel, ...]
    bus: Optional[str] = "CAN"
    composed: bool = True
    vlsd_storage: str = "sd"
    invalidation_bytes: int = 0

    @property
    def channels(self) -> Tuple[Channel, ...]:
        return (self.timestamp,) + tuple(self.members)

    @property
    def data_bytes(self) -> int:
        return max(c.end_byte for c in self.channels)

    @property
    def record_bytes(self) -> int:
        return self.data_bytes + self.invalidation_bytes

    @property
    def vlsd_channels(self) -> Tuple[Channel, ...]:
        return tuple(c for c in self.members if c.vlsd)

    def check(self) -> None:
        names = [c.name for c in self.channels]
        if len(set(names)) != len(names):
            raise ValueError("%s: duplicate channel names" % self.name)
        for channel in self.channels:
            channel.check()
        if self.timestamp.data_type == BYTES or self.timestamp.vlsd:
            raise ValueError("the master channel is numeric")
        if self.vlsd_storage not in ("sd", "cg"):
            raise ValueError("vlsd_storage is 'sd' or 'cg'")
        if self.vlsd_storage == "cg" and len(self.vlsd_channels) > 1:
            raise ValueError("one VLSD channel group per frame group")
        if self.bus not in (None, "CAN", "LIN"):
            raise ValueError("bus is 'CAN', 'LIN' or None")


def timestamp_channel(data_type: str = UINT, bit_count: int = 64,
                      conversion: Optional[Conversion] = Linear(1e-6),
                      byte_offset: int = 0,
                      big_endian: bool = False) -> Channel:
    """The master channel: by default u64 ticks of 1 microsecond."""
    if data_type == FLOAT and conversion == Linear(1e-6):
        conversion = None
    return Channel(TIMESTAMP, byte_offset, bit_count, data_type=data_type,
                   conversion=conversion, unit="s", big_endian=big_endian)


def _bytes_member(name: str, byte_offset: int, width: int,
                  vlsd: bool) -> Channel:
    return Channel(name, byte_offset, 64 if vlsd else width * 8,
                   data_type=BYTES, vlsd=vlsd)


def _field(prefix: str, name: str, bit: int, count: int,
           base: int) -> Channel:
    """A member at bit `bit` of the bit-packed area that starts at byte
    `base`."""
    return Channel(prefix + "." + name, base + bit // 8, count, bit % 8)


def can_data_layout(payload_bytes: int = 8, vlsd: Optional[str] = None,
                    timestamp: Optional[Channel] = None,
                    invalidation_bytes: int = 0,
                    composed: bool = True) -> GroupLayout:
    """CAN data frames as a logger packs them:
    0 Timestamp, 8 BusChannel (8 bits), 9.0 ID (29 bits), 12.5 IDE,
    12.6 Dir, 12.7 EDL, 13.0 DLC (4 bits), 13.4 BRS, 13.5 ESI,
    14.0 DataLength (7 bits), 16 DataBytes: `payload_bytes` bytes, or a
    64-bit offset when `vlsd` is "sd" or "cg"."""
    p = CAN_DATA
    members = (
        Channel(p + ".BusChannel", 8, 8),
        _field(p, "ID", 0, 29, 9), _field(p, "IDE", 29, 1, 9),
        _field(p, "Dir", 30, 1, 9), _field(p, "EDL", 31, 1, 9),
        _field(p, "DLC", 0, 4, 13), _field(p, "BRS", 4, 1, 13),
        _field(p, "ESI", 5, 1, 13), _field(p, "DataLength", 0, 7, 14),
        _bytes_member(p + ".DataBytes", 16, payload_bytes, vlsd is not None),
    )
    return GroupLayout(p, timestamp or timestamp_channel(), members, "CAN",
                       composed, vlsd or "sd", invalidation_bytes)


def can_data_big_endian_layout(payload_bytes: int = 8) -> GroupLayout:
    """CAN data frames with big-endian and signed fields at odd bit
    positions (bits counted from the low end of each big-endian number):
    0.5 Timestamp (signed big-endian, 45 bits, ticks of 1 microsecond from
    1 s), 7 BusChannel (8 bits), 8.3 ID (big-endian, 29 bits, bytes 8-11),
    12.1 IDE, 12.2 Dir, 12.3 EDL, 12.5 DLC (big-endian, 4 bits: bit 0 of
    byte 12 and bits 5-7 of byte 13), 13.0 BRS, 13.1 ESI, 14 DataLength
    (signed, 8 bits, stored as the length less 100), 16 DataBytes."""
    p = CAN_DATA
    timestamp = Channel(TIMESTAMP, 0, 45, 5, SINT, Linear(1e-6, 1.0),
                        unit="s", big_endian=True)
    members = (
        Channel(p + ".BusChannel", 7, 8),
        Channel(p + ".ID", 8, 29, 3, big_endian=True),
        Channel(p + ".IDE", 12, 1, 1), Channel(p + ".Dir", 12, 1, 2),
        Channel(p + ".EDL", 12, 1, 3, big_endian=True),
        Channel(p + ".DLC", 12, 4, 5, big_endian=True),
        Channel(p + ".BRS", 13, 1, 0), Channel(p + ".ESI", 13, 1, 1),
        Channel(p + ".DataLength", 14, 8, data_type=SINT,
                conversion=Linear(1.0, 100.0)),
        _bytes_member(p + ".DataBytes", 16, payload_bytes, False),
    )
    return GroupLayout(p, timestamp, members, "CAN")


def can_remote_layout(timestamp: Optional[Channel] = None) -> GroupLayout:
    """0 Timestamp, 8 BusChannel, 9.0 ID (29 bits), 12.5 IDE, 12.6 Dir,
    13.0 DLC (4 bits), 14.0 DataLength (7 bits)."""
    p = CAN_REMOTE
    members = (
        Channel(p + ".BusChannel", 8, 8),
        _field(p, "ID", 0, 29, 9), _field(p, "IDE", 29, 1, 9),
        _field(p, "Dir", 30, 1, 9), _field(p, "DLC", 0, 4, 13),
        _field(p, "DataLength", 0, 7, 14),
    )
    return GroupLayout(p, timestamp or timestamp_channel(), members, "CAN")


def can_error_layout(timestamp: Optional[Channel] = None) -> GroupLayout:
    """0 Timestamp, 8 BusChannel, 9 ErrorType (8 bits)."""
    p = CAN_ERROR
    return GroupLayout(p, timestamp or timestamp_channel(),
                       (Channel(p + ".BusChannel", 8, 8),
                        Channel(p + ".ErrorType", 9, 8)), "CAN")


def lin_layout(vlsd: Optional[str] = None,
               timestamp: Optional[Channel] = None) -> GroupLayout:
    """0 Timestamp, 8 BusChannel, 9.0 ID (6 bits), 9.7 Dir,
    10.0 DataLength (4 bits), 10.4 ReceivedDataByteCount (4 bits),
    11 DataBytes (8 bytes, or a 64-bit offset when VLSD): 19 data bytes."""
    p = LIN_FRAME
    members = (
        Channel(p + ".BusChannel", 8, 8),
        _field(p, "ID", 0, 6, 9), _field(p, "Dir", 7, 1, 9),
        _field(p, "DataLength", 0, 4, 10),
        _field(p, "ReceivedDataByteCount", 4, 4, 10),
        _bytes_member(p + ".DataBytes", 11, 8, vlsd is not None),
    )
    return GroupLayout(p, timestamp or timestamp_channel(), members, "LIN",
                       True, vlsd or "sd")


def lin_error_layout(kind: str,
                     timestamp: Optional[Channel] = None) -> GroupLayout:
    """0 Timestamp, 8 BusChannel, 9.0 ID (6 bits)."""
    if kind not in LIN_ERRORS:
        raise ValueError("unknown LIN error kind %r" % kind)
    return GroupLayout(kind, timestamp or timestamp_channel(),
                       (Channel(kind + ".BusChannel", 8, 8),
                        _field(kind, "ID", 0, 6, 9)), "LIN")


def signal_layout(name: str, signals: Sequence[str],
                  timestamp: Optional[Channel] = None) -> GroupLayout:
    """A group that is no bus logging: a Timestamp and 16-bit signals one
    after another, no source information, not composed."""
    members = tuple(Channel(s, 8 + 2 * i, 16) for i, s in enumerate(signals))
    return GroupLayout(name, timestamp or timestamp_channel(), members,
                       bus=None, composed=False)
