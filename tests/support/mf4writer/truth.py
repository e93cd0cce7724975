"""Ground truth: the messages a correct reader yields for the records the
writer put into a file, as the keyword arguments it passes to
can.Message (CanMsgExtension).

The truth is computed from the raw values as written (not from the frame
descriptions): each channel's raw value goes through its conversion and
lands in the message field its name selects:

  timestamp       start of recording (header start time in s) + "Timestamp"
  arbitration_id  "ID" masked to 29 bits (0 for error frames)
  dlc             "DataLength" (the payload length, not the length code)
  data            the payload (fixed byte array or VLSD value, zero-filled
                  to 64 bytes, 8 for LIN) cut to "DataLength" bytes
  CAN data        is_fd "EDL", error_state_indicator "ESI",
                  bitrate_switch "BRS", is_rx not "Dir",
                  is_extended_id "IDE", channel "CAN <BusChannel>"
  CAN remote      is_remote_frame True, is_rx, is_extended_id, channel;
                  data is "DataLength" zero bytes (can.Message drops it)
  CAN error       is_error_frame True, channel "CAN <BusChannel>"
  LIN frame       is_rx not "Dir", channel "LIN <BusChannel>",
                  is_extended_id False

A record that a correct reader cannot turn into a message (a group that is
not bus logging, a LIN error group, a bus group with a channel its frame
kind does not know, a CAN payload of more than 64 bytes) is the dict
{"error": "Unknown bus type"}: iterating the reader raises RuntimeError
with that text there.

The frames of a group (group_frames) are what the reader decodes: the
message's fields plus the frame's "kind" (KIND_NAMES) and "timestamp_ns",
the start time in nanoseconds plus the time channel's value in exact
arithmetic (integer ticks times a decimal factor, plus the offset, each
rounded to whole nanoseconds; other values rounded once); LIN error
records are frames too ("kind", "timestamp", "timestamp_ns",
"arbitration_id", "channel"), though no message.
"""
from __future__ import annotations

import heapq
import math
from fractions import Fraction
from typing import Dict, Iterator, List, Sequence, Tuple

import numpy as np

from .layouts import (BYTES, CAN_DATA, CAN_ERROR, CAN_REMOTE, INTEGERS,
                      LIN_ERRORS, LIN_FRAME, TIMESTAMP, GroupLayout, Linear)

UNKNOWN_BUS_TYPE = "Unknown bus type"
UNKNOWN = {"error": UNKNOWN_BUS_TYPE}

# The member names each frame kind takes ("Timestamp" besides).
KNOWN_FIELDS = {
    CAN_DATA: {"ID", "DataBytes", "IDE", "Dir", "EDL", "ESI", "BRS",
               "BusChannel", "DLC", "DataLength"},
    CAN_REMOTE: {"ID", "IDE", "Dir", "BusChannel", "DLC", "DataLength"},
    CAN_ERROR: {"BusChannel", "ErrorType"},
    LIN_FRAME: {"ID", "DataBytes", "Dir", "BusChannel",
                "ReceivedDataByteCount", "DataLength"},
}
PAYLOAD_SIZE = {CAN_DATA: 64, CAN_REMOTE: 64, LIN_FRAME: 8}
# The frame kinds by group name, as the reader names them.
KIND_NAMES = {CAN_DATA: "CAN data", CAN_REMOTE: "CAN remote",
              CAN_ERROR: "CAN error", LIN_FRAME: "LIN",
              "LIN_ChecksumError": "LIN checksum error",
              "LIN_ReceiveError": "LIN receive error",
              "LIN_SyncError": "LIN sync error",
              "LIN_TransmissionError": "LIN transmission error"}

# Raw values of a group as written: numeric channels as float64 raw
# values, byte arrays as (rows, lengths).
RawValues = Dict[str, object]


def frame_kind(layout: GroupLayout) -> str:
    """The decoded frame kind of a group's records, or "" when a correct
    reader yields no message for them."""
    if layout.bus is None:
        return ""
    prefixes = {c.name.split(".", 1)[0] for c in layout.channels
                if "." in c.name}
    if len(prefixes) != 1:
        return ""
    kind = prefixes.pop()
    known = KNOWN_FIELDS.get(kind)
    if known is None:
        return ""
    for channel in layout.channels:
        if channel.name != TIMESTAMP and not (
                channel.name.startswith(kind + ".") and
                channel.field in known):
            return ""
        if (channel.data_type == BYTES) != (channel.field == "DataBytes"):
            raise ValueError("%s: a byte array must carry DataBytes and "
                             "only DataBytes" % channel.name)
    return kind


def lin_error_kind(layout: GroupLayout) -> str:
    """The LIN error kind of a group's records, or "" for other groups."""
    if layout.bus != "LIN":
        return ""
    prefixes = {c.name.split(".", 1)[0] for c in layout.channels
                if "." in c.name}
    kind = prefixes.pop() if len(prefixes) == 1 else ""
    return kind if kind in LIN_ERRORS else ""


def _nearest(value: Fraction) -> int:
    """Rounded to the nearest whole number, halves away from zero."""
    half = Fraction(1, 2)
    return math.floor(value + half) if value >= 0 else \
        -math.floor(-value + half)


def timestamps_ns(layout: GroupLayout, raw: RawValues, count: int,
                  start_ns: int) -> List[int]:
    """Each record's time in nanoseconds since 1970, in exact arithmetic."""
    channel = next((c for c in layout.channels
                    if c.field == TIMESTAMP and c.data_type != BYTES), None)
    if channel is None:
        return [start_ns] * count
    conversion = channel.conversion
    values = raw[channel.name]
    if channel.data_type in INTEGERS and (
            conversion is None or isinstance(conversion, Linear)):
        factor, offset = (Fraction(repr(conversion.factor)),
                          Fraction(repr(conversion.offset))) \
            if conversion else (Fraction(1), Fraction(0))
        shift = _nearest(offset * 10**9)
        return [start_ns + _nearest(int(v) * factor * 10**9) + shift
                for v in values.tolist()]
    physical = conversion.forward(values) if conversion \
        else values.astype(np.float64)
    return [start_ns + _nearest(Fraction(v) * 10**9)
            for v in physical.tolist()]


def group_frames(layout: GroupLayout, raw: RawValues, count: int,
                 start_seconds: float, start_ns: int) -> List[dict]:
    """The frames the reader decodes from one channel group's records, in
    record order (see the module text); UNKNOWN where there is none."""
    ns = timestamps_ns(layout, raw, count, start_ns)
    error_kind = lin_error_kind(layout)
    if error_kind:
        stamps = (np.float64(start_seconds) +
                  _physical(layout, raw, TIMESTAMP, count)).tolist()
        ident = ((_truncate(_physical(layout, raw, "ID", count))
                  & 0xFFFFFFFF) & 0x1FFFFFFF).tolist()
        channel = (_truncate(_physical(layout, raw, "BusChannel", count))
                   & 0xFF).tolist()
        return [{"kind": KIND_NAMES[error_kind], "timestamp": t,
                 "timestamp_ns": n, "arbitration_id": i,
                 "channel": "LIN %d" % c}
                for t, n, i, c in zip(stamps, ns, ident, channel)]
    kind = KIND_NAMES.get(frame_kind(layout), "")
    return [m if "error" in m else
            dict(m, kind=kind, timestamp_ns=n)
            for m, n in zip(group_messages(layout, raw, count,
                                           start_seconds), ns)]


def _physical(layout: GroupLayout, raw: RawValues, name: str,
              count: int) -> np.ndarray:
    for channel in layout.channels:
        if channel.field == name and channel.data_type != BYTES:
            values = raw[channel.name]
            return channel.conversion.forward(values) \
                if channel.conversion else values.astype(np.float64)
    return np.zeros(count)


def _payload(layout: GroupLayout, raw: RawValues, count: int,
             size: int) -> Tuple[np.ndarray, np.ndarray]:
    """Rows of `size` bytes as the reader's payload buffer holds them, and
    the byte count of each value (which may exceed `size` for VLSD)."""
    out = np.zeros((count, size), np.uint8)
    lengths = np.zeros(count, np.int64)
    for channel in layout.channels:
        if channel.field == "DataBytes":
            rows, lengths = raw[channel.name]
            width = min(rows.shape[1], size)
            out[:, :width] = rows[:, :width]
            out[np.arange(size)[None, :] >= lengths[:, None]] = 0
    return out, lengths


def _truncate(values: np.ndarray) -> np.ndarray:
    return np.trunc(values).astype(np.int64)


def group_messages(layout: GroupLayout, raw: RawValues, count: int,
                   start_seconds: float) -> List[dict]:
    """The messages of one channel group's records, in record order."""
    kind = frame_kind(layout)
    if not kind:
        return [UNKNOWN] * count
    def value(name: str) -> np.ndarray:
        return _physical(layout, raw, name, count)

    def byte(name: str) -> List[int]:
        return (_truncate(value(name)) & 0xFF).tolist()

    def flag(name: str) -> List[bool]:
        return (_truncate(value(name)) != 0).tolist()

    timestamps = (np.float64(start_seconds) + value(TIMESTAMP)).tolist()
    ident = ((_truncate(value("ID")) & 0xFFFFFFFF) & 0x1FFFFFFF).tolist()
    channel = byte("BusChannel")
    if kind == CAN_ERROR:
        return [{"timestamp": t, "arbitration_id": 0, "dlc": 0, "data": b"",
                 "is_error_frame": True, "channel": "CAN %d" % c}
                for t, c in zip(timestamps, channel)]
    lengths = byte("DataLength")
    size = PAYLOAD_SIZE[kind]
    if max(lengths, default=0) > size:
        raise ValueError("a DataLength above %d leaves the payload" % size)
    payload, value_lengths = _payload(layout, raw, count, size)
    if kind == LIN_FRAME and value_lengths.max(initial=0) > 64:
        raise ValueError("a LIN payload of more than 64 bytes")
    data = [payload[i, :n].tobytes() for i, n in enumerate(lengths)]
    common = list(zip(timestamps, ident, lengths, data))
    if kind == CAN_REMOTE:
        return [{"timestamp": t, "arbitration_id": i, "dlc": n, "data": d,
                 "is_remote_frame": True, "is_rx": not tx,
                 "is_extended_id": ext, "channel": "CAN %d" % c}
                for (t, i, n, d), tx, ext, c in zip(
                    common, flag("Dir"), flag("IDE"), channel)]
    if kind == LIN_FRAME:
        tx = (value("Dir") != 0).tolist()
        return [{"timestamp": t, "arbitration_id": i, "dlc": n, "data": d,
                 "is_rx": not x, "channel": "LIN %d" % c,
                 "is_extended_id": False}
                for (t, i, n, d), x, c in zip(common, tx, channel)]
    too_long = (value_lengths > size).tolist()
    return [UNKNOWN if bad else
            {"timestamp": t, "arbitration_id": i, "dlc": n, "data": d,
             "is_fd": fd, "error_state_indicator": esi, "bitrate_switch": brs,
             "is_rx": not tx, "is_extended_id": ext,
             "channel": "CAN %d" % c}
            for (t, i, n, d), fd, esi, brs, tx, ext, c, bad in zip(
                common, flag("EDL"), flag("ESI"), flag("BRS"), flag("Dir"),
                flag("IDE"), channel, too_long)]


def message_fields(message, like: dict) -> dict:
    """The attributes of a can.Message named by the keys of `like` (an
    expected message), data as bytes. can.Message keeps no data for a
    remote frame, so compare with message_fields(can.Message(**like),
    like) rather than with `like` itself."""
    fields = {key: getattr(message, key) for key in like}
    if "data" in fields:
        fields["data"] = bytes(fields["data"])
    return fields


class _Stop(Exception):
    pass


def _yield_until_unknown(messages: Sequence[dict]) -> Iterator[dict]:
    for message in messages:
        if "error" in message:
            raise _Stop(message["error"])
        yield message


def merged(groups: Sequence[Sequence[dict]]) -> List[dict]:
    """The sequence the reader yields for a file whose data groups yield
    `groups`: heapq.merge by timestamp, the earlier data group first on
    equal timestamps. A record without a message ends the sequence with
    its error dict, as the RuntimeError ends the reader's iteration."""
    out: List[dict] = []
    stream = heapq.merge(*(_yield_until_unknown(g) for g in groups),
                         key=lambda m: m["timestamp"])
    try:
        out.extend(stream)
    except _Stop as stop:
        out.append({"error": str(stop)})
    return out
