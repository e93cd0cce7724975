"""Frame descriptions: single frames for hand-written tests, and columnar
frame tables (one numpy array per field) for bulk logs.

Field names are the channel name endings of the bus-logging groups
("ID", "IDE", "Dir", "DataBytes", ...), and "Timestamp", the time in
seconds from the start of the recording. Values are physical values.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence

import numpy as np

from .layouts import (CAN_DATA, CAN_ERROR, CAN_REMOTE, LIN_ERRORS,
                      LIN_FRAME, TIMESTAMP)

DATA_BYTES = "DataBytes"

# Payload lengths of the CAN FD length codes 9 to 15.
FD_LENGTHS = (12, 16, 20, 24, 32, 48, 64)


def dlc_for_length(length: int) -> int:
    """The smallest CAN (FD) length code whose length holds `length`; 15
    for a longer payload (which no bus carries, but a file may)."""
    if length <= 8:
        return length
    for code, size in enumerate(FD_LENGTHS, 9):
        if length <= size:
            return code
    return 15


@dataclass
class CanFrame:
    timestamp: float
    id: int
    data: bytes = b""
    extended: bool = False
    tx: bool = False
    fd: bool = False
    brs: bool = False
    esi: bool = False
    channel: int = 1
    dlc: Optional[int] = None          # length code; from len(data)
    data_length: Optional[int] = None  # "DataLength"; len(data)
    kind = CAN_DATA

    def fields(self) -> Dict[str, object]:
        length = len(self.data)
        return {TIMESTAMP: self.timestamp, "ID": self.id,
                "IDE": self.extended, "Dir": self.tx, "EDL": self.fd,
                "BRS": self.brs, "ESI": self.esi, "BusChannel": self.channel,
                "DLC": dlc_for_length(length) if self.dlc is None
                else self.dlc,
                "DataLength": length if self.data_length is None
                else self.data_length,
                DATA_BYTES: bytes(self.data)}


@dataclass
class CanRemoteFrame:
    timestamp: float
    id: int
    dlc: int = 0
    extended: bool = False
    tx: bool = False
    channel: int = 1
    data_length: Optional[int] = None  # "DataLength"; the DLC's length
    kind = CAN_REMOTE

    def fields(self) -> Dict[str, object]:
        return {TIMESTAMP: self.timestamp, "ID": self.id,
                "IDE": self.extended, "Dir": self.tx,
                "BusChannel": self.channel, "DLC": self.dlc,
                "DataLength": min(self.dlc, 8) if self.data_length is None
                else self.data_length}


@dataclass
class CanErrorFrame:
    timestamp: float
    channel: int = 1
    error_type: int = 1
    kind = CAN_ERROR

    def fields(self) -> Dict[str, object]:
        return {TIMESTAMP: self.timestamp, "BusChannel": self.channel,
                "ErrorType": self.error_type}


@dataclass
class LinFrame:
    timestamp: float
    id: int
    data: bytes = b""
    tx: bool = False
    channel: int = 1
    data_length: Optional[int] = None     # "DataLength"; len(data)
    received: Optional[int] = None        # "ReceivedDataByteCount"
    kind = LIN_FRAME

    def fields(self) -> Dict[str, object]:
        length = len(self.data)
        return {TIMESTAMP: self.timestamp, "ID": self.id, "Dir": self.tx,
                "BusChannel": self.channel,
                "DataLength": length if self.data_length is None
                else self.data_length,
                "ReceivedDataByteCount": length if self.received is None
                else self.received,
                DATA_BYTES: bytes(self.data)}


@dataclass
class LinErrorFrame:
    timestamp: float
    kind: str = LIN_ERRORS[0]
    id: int = 0
    channel: int = 1

    def fields(self) -> Dict[str, object]:
        return {TIMESTAMP: self.timestamp, "ID": self.id,
                "BusChannel": self.channel}


@dataclass
class Sample:
    """One record of a group that is not bus logging."""
    timestamp: float
    kind: str
    values: Dict[str, float] = field(default_factory=dict)

    def fields(self) -> Dict[str, object]:
        return dict(self.values, **{TIMESTAMP: self.timestamp})


class FrameTable:
    """Frames of one kind as columns.

    columns: field name -> 1-D array of physical values (fields missing
    here are written as 0). payload: 2-D uint8 array, one row per frame,
    and payload_lengths: the used bytes of each row (the "DataBytes").
    layout: the record layout of the table's channel group (a GroupLayout);
    None takes the data group's layout for the kind."""

    def __init__(self, kind: str, columns: Dict[str, np.ndarray],
                 payload: Optional[np.ndarray] = None,
                 payload_lengths: Optional[np.ndarray] = None,
                 layout=None) -> None:
        self.kind = kind
        self.layout = layout
        self.columns = {k: np.asarray(v) for k, v in columns.items()}
        self.size = len(self.columns[TIMESTAMP])
        if payload is None:
            payload = np.zeros((self.size, 0), np.uint8)
        self.payload = np.ascontiguousarray(payload, np.uint8)
        if payload_lengths is None:
            payload_lengths = np.full(self.size, self.payload.shape[1])
        self.payload_lengths = np.asarray(payload_lengths, np.int64)
        for name, column in self.columns.items():
            if column.shape != (self.size,):
                raise ValueError("column %s has the wrong shape" % name)
        if self.payload.shape[0] != self.size or \
                self.payload_lengths.shape != (self.size,):
            raise ValueError("payload rows differ from the frame count")
        if self.size and (self.payload_lengths.min() < 0 or
                          self.payload_lengths.max() > self.payload.shape[1]):
            raise ValueError("payload lengths outside the payload rows")

    def __len__(self) -> int:
        return self.size

    @property
    def timestamps(self) -> np.ndarray:
        return self.columns[TIMESTAMP].astype(np.float64)

    def column(self, name: str) -> np.ndarray:
        found = self.columns.get(name)
        return np.zeros(self.size) if found is None else found

    def take(self, index: np.ndarray) -> "FrameTable":
        return FrameTable(self.kind,
                          {k: v[index] for k, v in self.columns.items()},
                          self.payload[index], self.payload_lengths[index],
                          self.layout)

    @classmethod
    def from_frames(cls, kind: str, frames: Sequence) -> "FrameTable":
        rows = [f.fields() for f in frames]
        names = sorted({k for r in rows for k in r if k != DATA_BYTES})
        # Integers stay integers (a 64-bit value does not fit a float).
        columns = {n: np.array([r.get(n, 0) for r in rows]) for n in names}
        columns.setdefault(TIMESTAMP, np.zeros(len(rows)))
        data = [r.get(DATA_BYTES, b"") for r in rows]
        width = max([len(d) for d in data] + [0])
        payload = np.zeros((len(rows), width), np.uint8)
        for row, chunk in enumerate(data):
            payload[row, :len(chunk)] = np.frombuffer(chunk, np.uint8)
        return cls(kind, columns, payload, [len(d) for d in data])


def tables_from_frames(frames: Sequence) -> List[FrameTable]:
    """Groups frame objects by kind, in the order the kinds first appear;
    each table keeps the frames' order."""
    by_kind: Dict[str, list] = {}
    for frame in frames:
        by_kind.setdefault(frame.kind, []).append(frame)
    return [FrameTable.from_frames(k, v) for k, v in by_kind.items()]


def random_traffic(count: int, seed: int = 0,
                   kinds: Sequence[str] = (CAN_DATA,), fd: bool = False,
                   tick: float = 1e-6, mean_gap_ticks: int = 200,
                   bus_channels: Sequence[int] = (1, 2),
                   weights: Optional[Sequence[float]] = None
                   ) -> List[FrameTable]:
    """`count` frames spread at random over `kinds` (evenly, or with the
    probabilities `weights`), with strictly
    increasing timestamps that are whole multiples of `tick`. CAN data
    frames mix 11- and 29-bit identifiers, payloads of 0 to 8 bytes and,
    with `fd`, FD frames of up to 64 bytes."""
    rng = np.random.default_rng(seed)
    gaps = rng.integers(1, 2 * mean_gap_ticks, count, dtype=np.int64)
    times = np.cumsum(gaps) * tick
    if weights is not None:
        which = rng.choice(len(kinds), count, p=np.asarray(weights))
    elif len(kinds) > 1:
        which = rng.integers(0, len(kinds), count)
    else:
        which = np.zeros(count, np.int64)
    tables = []
    for number, kind in enumerate(kinds):
        stamps = times[which == number]
        tables.append(_random_table(kind, stamps, rng, fd,
                                    np.asarray(bus_channels)))
    return tables


def _random_table(kind: str, stamps: np.ndarray, rng: np.random.Generator,
                  fd: bool, bus_channels: np.ndarray) -> FrameTable:
    n = len(stamps)
    channel = rng.choice(bus_channels, n)

    def flag(share: float) -> np.ndarray:
        return (rng.random(n) < share).astype(np.uint8)

    if kind in (CAN_DATA, CAN_REMOTE):
        extended = flag(0.3)
        ident = np.where(extended == 1,
                         rng.integers(0, 1 << 29, n),
                         rng.integers(0, 1 << 11, n))
        cols = {TIMESTAMP: stamps, "ID": ident, "IDE": extended,
                "Dir": flag(0.2), "BusChannel": channel}
        if kind == CAN_REMOTE:
            dlc = rng.integers(0, 9, n)
            cols.update(DLC=dlc, DataLength=dlc)
            return FrameTable(kind, cols)
        is_fd = flag(0.5) if fd else np.zeros(n, np.uint8)
        lengths = np.where(is_fd == 1,
                           rng.choice(np.array(tuple(range(9)) + FD_LENGTHS),
                                      n),
                           rng.integers(0, 9, n))
        codes = np.array([dlc_for_length(k) for k in range(65)])[lengths]
        width = 64 if fd else 8
        payload = rng.integers(0, 256, (n, width), dtype=np.uint8)
        payload[np.arange(width)[None, :] >= lengths[:, None]] = 0
        cols.update(EDL=is_fd, BRS=is_fd & flag(0.5), ESI=flag(0.01),
                    DLC=codes, DataLength=lengths)
        return FrameTable(kind, cols, payload, lengths)
    if kind == CAN_ERROR:
        return FrameTable(kind, {TIMESTAMP: stamps, "BusChannel": channel,
                                 "ErrorType": rng.integers(1, 6, n)})
    if kind == LIN_FRAME:
        lengths = rng.integers(1, 9, n)
        payload = rng.integers(0, 256, (n, 8), dtype=np.uint8)
        payload[np.arange(8)[None, :] >= lengths[:, None]] = 0
        return FrameTable(kind, {TIMESTAMP: stamps,
                                 "ID": rng.integers(0, 64, n),
                                 "Dir": flag(0.3), "BusChannel": channel,
                                 "DataLength": lengths,
                                 "ReceivedDataByteCount": lengths},
                          payload, lengths)
    if kind in LIN_ERRORS:
        return FrameTable(kind, {TIMESTAMP: stamps,
                                 "ID": rng.integers(0, 64, n),
                                 "BusChannel": channel})
    raise ValueError("no random frames for %r" % kind)
