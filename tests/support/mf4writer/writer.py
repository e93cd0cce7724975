"""Writes MF4 bus-logging files from frame descriptions, and keeps what a
correct reader yields for them.

File layout: ID at 0, HD at 64, the file history chain, the header
comment, the data group blocks, then per data group its channel groups
with their channels, texts, conversions and sources and the signal data
blocks; the data blocks (DT) of all data groups come last, in data group
order, so that the last data block runs to the end of the file as an
unfinalized file needs it.

Data groups:
- sorted (record id size 0): one channel group, its records back to back;
- unsorted (record id size 1, 2, 4 or 8): every record starts with the
  record id of its channel group; records of all groups interleaved in
  time order. A VLSD channel group's records (u32 length, value) follow
  the record of the frame they belong to, and the VLSD channel group
  follows its frame group in the channel group chain (or stands in front
  of it, with vlsd_group_first).

Record ids count up from `first_record_id` along the channel group chain.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import blocks as B
from .comments import (LOGGER_TOOL_ID, Properties, expected_metadata,
                       header_comment, history_comment)
from .frames import FrameTable, tables_from_frames
from .layouts import (BYTES, CAN_DATA, CAN_ERROR, CAN_REMOTE, INTEGERS,
                      LIN_ERRORS, LIN_FRAME, SINT, TIMESTAMP, Channel,
                      GroupLayout, can_data_layout, can_error_layout,
                      can_remote_layout, lin_error_layout, lin_layout,
                      signal_layout)
from .truth import group_frames, group_messages, merged

# 2024-05-01T12:00:00Z
DEFAULT_START_NS = 1714564800 * 10**9
RECORD_ID_SIZES = (0, 1, 2, 4, 8)


@dataclass
class DataGroup:
    """One data group.

    frames: frame objects (CanFrame, LinFrame, ...) and/or FrameTables; one
    channel group per kind of frame objects (in the order the kinds first
    appear) and per FrameTable.
    layouts: record layout per frame kind; missing kinds get the default
    layout (see default_layout).
    vlsd: None, "sd" or "cg": DataBytes of the default CAN data and LIN
    layouts as a VLSD channel with values in a signal data block or in a
    VLSD channel group.
    sort: interleave the records by timestamp (stable); False keeps the
    order of the frame objects, then the FrameTables one after another.
    vlsd_group_first: each VLSD channel group stands in front of its frame
    group in the channel group chain (record ids stay as they are).
    storage: None keeps the records in one data block (DT); "dl" splits
    them into data blocks of `fragment` bytes held in a data list (DL),
    "dz" into deflated blocks (DZ) in a data list, "hl" into transposed
    deflated blocks in a data list under a header list (HL).
    """
    frames: Sequence = ()
    record_id_size: int = 1
    layouts: Dict[str, GroupLayout] = field(default_factory=dict)
    vlsd: Optional[str] = None
    sort: bool = True
    first_record_id: int = 1
    comment: Optional[str] = None
    vlsd_group_first: bool = False
    storage: Optional[str] = None
    fragment: int = 64


@dataclass
class FileHistory:
    """One file history block. Its comment names the logger's tool
    (`tool_id`, None leaves the element out) unless `comment` gives the
    whole text; `comment_block` "MD", "TX" or None (no comment)."""
    tool_id: Optional[str] = LOGGER_TOOL_ID
    comment: Optional[str] = None
    comment_block: Optional[str] = "MD"
    time_ns: Optional[int] = None


def default_layout(kind: str, table: FrameTable,
                   vlsd: Optional[str] = None) -> GroupLayout:
    if kind == CAN_DATA:
        width = 8 if table.payload.shape[1] <= 8 else 64
        return can_data_layout(width, vlsd)
    if kind == CAN_REMOTE:
        return can_remote_layout()
    if kind == CAN_ERROR:
        return can_error_layout()
    if kind == LIN_FRAME:
        return lin_layout(vlsd)
    if kind in LIN_ERRORS:
        return lin_error_layout(kind)
    return signal_layout(kind, sorted(c for c in table.columns
                                      if c != TIMESTAMP))


def _put_bits(records: np.ndarray, position: int, count: int,
              values: np.ndarray, big_endian: bool = False) -> None:
    """ORs `values` (uint64) into the bit field of every row: LSB-first
    bits from `position`, or, big-endian, the bits [position % 8,
    position % 8 + count) of the big-endian number that the bytes from
    position // 8 on form."""
    values = values.astype(np.uint64)
    if count < 64:
        values = values & np.uint64((1 << count) - 1)
    first, shift = divmod(position, 8)
    width = (shift + count + 7) // 8
    if not big_endian and shift + count <= 64 and \
            first + 8 <= records.shape[1]:
        # One unaligned 64-bit word per row holds the whole field.
        word = np.ndarray((records.shape[0],), "<u8", records, first,
                          (records.shape[1],))
        word |= values << np.uint64(shift)
        return
    # Byte `index` of the shifted value, counted from its low end, goes to
    # the index-th byte (little-endian) or the index-th from last.
    for index in range(width):
        part = values << np.uint64(shift) if index == 0 else \
            values >> np.uint64(8 * index - shift)
        column = first + (width - 1 - index if big_endian else index)
        records[:, column] |= (part & np.uint64(0xFF)).astype(np.uint8)


def _raw_numeric(channel: Channel,
                 physical: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """The bits to store and the raw value they stand for (float64)."""
    integer = channel.data_type in INTEGERS
    values = channel.conversion.inverse(physical, integer) \
        if channel.conversion else np.asarray(physical)
    if not integer:
        if channel.bit_count == 32:
            single = values.astype(np.float32)
            return single.view(np.uint32).astype(np.uint64), \
                single.astype(np.float64)
        double = values.astype(np.float64)
        return double.view(np.uint64), double
    if values.dtype.kind == "f":
        rounded = np.rint(values)
        if not np.array_equal(rounded, values):
            raise ValueError("%s: values are not whole numbers" % channel.name)
        values = rounded
    signed = channel.data_type == SINT
    low, high = (-(1 << channel.bit_count - 1), 1 << channel.bit_count - 1) \
        if signed else (0, 1 << channel.bit_count)
    if values.size and (int(values.min()) < low or
                        int(values.max()) >= high):
        raise ValueError("%s: values outside %d bits" % (channel.name,
                                                         channel.bit_count))
    if signed:
        # Two's complement; _put_bits keeps the field's low bits.
        whole = values.astype(np.int64)
        return whole.view(np.uint64), whole.astype(np.float64)
    bits = values.astype(np.uint64)
    return bits, bits.astype(np.float64)


def _rows_of(values: np.ndarray, dtype: str) -> np.ndarray:
    """Little-endian bytes of each value, one row per value."""
    return np.ascontiguousarray(values.astype(dtype)).view(np.uint8) \
        .reshape(len(values), -1)


def _flatten(rows: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """The first lengths[i] bytes of every row, back to back."""
    return rows[np.arange(rows.shape[1])[None, :] < lengths[:, None]]


class ChannelGroupData:
    """One frame channel group as written: its layout, frames, record
    ids, the raw values of its channels and its records."""

    def __init__(self, layout: GroupLayout, table: FrameTable) -> None:
        layout.check()
        self.layout = layout
        self.table = table
        self.count = n = len(table)
        self.records = np.zeros((n, layout.record_bytes), np.uint8)
        self.raw: Dict[str, object] = {}
        self.vlsd_value: Optional[Tuple[np.ndarray, np.ndarray]] = None
        for channel in layout.channels:
            if channel.data_type != BYTES:
                bits, raw = _raw_numeric(channel, table.column(channel.field))
                _put_bits(self.records, channel.bit_position,
                          channel.bit_count, bits, channel.big_endian)
                self.raw[channel.name] = raw
            elif channel.vlsd:
                rows, lengths = table.payload, table.payload_lengths
                self.raw[channel.name] = (rows, lengths)
                self.vlsd_value = (rows, lengths)
                sizes = 4 + lengths
                _put_bits(self.records, channel.bit_position, 64,
                          np.cumsum(sizes) - sizes)
            else:
                self.raw[channel.name] = self._fixed_bytes(channel)
        self.record_id = self.vlsd_record_id = 0

    def _fixed_bytes(self, channel: Channel) -> Tuple[np.ndarray, np.ndarray]:
        width = channel.bit_count // 8
        rows = self.table.payload
        if self.table.payload_lengths.max(initial=0) > width:
            raise ValueError("%s: payloads longer than %d bytes"
                             % (channel.name, width))
        fixed = np.zeros((self.count, width), np.uint8)
        fixed[:, :min(width, rows.shape[1])] = rows[:, :width]
        self.records[:, channel.byte_offset:channel.byte_offset + width] = \
            fixed
        return fixed, np.full(self.count, width)

    @property
    def vlsd_in_group(self) -> bool:
        return self.vlsd_value is not None and \
            self.layout.vlsd_storage == "cg"

    def vlsd_entries(self) -> Tuple[np.ndarray, np.ndarray]:
        """Rows of u32 length + value, and their used lengths."""
        rows, lengths = self.vlsd_value
        return np.hstack([_rows_of(lengths, "<u4"), rows]), 4 + lengths

    def units(self, id_size: int) -> Tuple[np.ndarray, np.ndarray]:
        """What each frame adds to an unsorted data block: record id and
        record, then its VLSD record when the values live in a VLSD
        channel group. Rows and their used lengths."""
        parts = [_rows_of(np.full(self.count, self.record_id), "<u8")
                 [:, :id_size], self.records]
        lengths = np.full(self.count, id_size + self.layout.record_bytes)
        if self.vlsd_in_group:
            entries, sizes = self.vlsd_entries()
            parts += [_rows_of(np.full(self.count, self.vlsd_record_id),
                               "<u8")[:, :id_size], entries]
            lengths = lengths + id_size + sizes
        return np.hstack(parts), lengths

    def messages(self, start_seconds: float) -> List[dict]:
        return group_messages(self.layout, self.raw, self.count,
                              start_seconds)

    def frames(self, start_seconds: float, start_ns: int) -> List[dict]:
        return group_frames(self.layout, self.raw, self.count,
                            start_seconds, start_ns)


def _interleave(units: List[Tuple[np.ndarray, np.ndarray]],
                sequence: np.ndarray) -> np.ndarray:
    """Lays the units of several groups out in `sequence` order (indexes
    into the groups' units concatenated) as one byte array."""
    if len(units) == 1 and np.array_equal(units[0][1], np.full(
            len(sequence), units[0][0].shape[1])) and \
            np.array_equal(sequence, np.arange(len(sequence))):
        return units[0][0].reshape(-1)
    lengths = np.concatenate([u[1] for u in units]).astype(np.int64)
    in_order = lengths[sequence]
    starts = np.empty_like(lengths)
    starts[sequence] = np.cumsum(in_order) - in_order
    out = np.zeros(int(lengths.sum()), np.uint8)
    first = 0
    for rows, used in units:
        dest = starts[first:first + len(used)]
        first += len(used)
        full = bool(used.size) and used.min() == rows.shape[1]
        for column in range(rows.shape[1]):
            keep = slice(None) if full else used > column
            out[dest[keep] + column] = rows[keep, column]
    return out


class DataGroupData:
    """A data group as written: its channel groups and record order."""

    def __init__(self, definition: DataGroup) -> None:
        if definition.record_id_size not in RECORD_ID_SIZES:
            raise ValueError("record id size is one of %s"
                             % (RECORD_ID_SIZES,))
        self.definition = definition
        objects = [f for f in definition.frames if not isinstance(f, FrameTable)]
        tables = tables_from_frames(objects)
        positions: Dict[str, List[int]] = {}
        for index, frame in enumerate(objects):
            positions.setdefault(frame.kind, []).append(index)
        keys = [np.array(positions[t.kind]) for t in tables]
        base = len(objects)
        for table in definition.frames:
            if isinstance(table, FrameTable):
                tables.append(table)
                keys.append(base + np.arange(len(table)))
                base += len(table)
        self.groups = [ChannelGroupData(
            t.layout or definition.layouts.get(t.kind)
            or default_layout(t.kind, t, definition.vlsd),
            t) for t in tables]
        self.sorted = definition.record_id_size == 0
        if self.sorted and len(self.groups) != 1:
            raise ValueError("a sorted data group holds one channel group")
        if self.sorted and self.groups[0].vlsd_in_group:
            raise ValueError("VLSD channel groups need an unsorted group")
        record_id = definition.first_record_id
        for group in self.groups:
            group.record_id = record_id
            record_id += 1
            if group.vlsd_in_group:
                group.vlsd_record_id = record_id
                record_id += 1
        if definition.record_id_size and record_id - 1 >> 8 * definition.record_id_size:
            raise ValueError("record ids do not fit the record id size")
        order_keys = np.concatenate(keys + [np.zeros(0, np.int64)])
        if definition.sort:
            stamps = np.concatenate([t.timestamps for t in tables] +
                                    [np.zeros(0)])
            self.sequence = np.lexsort((order_keys, stamps))
        else:
            self.sequence = np.argsort(order_keys, kind="stable")

    def data(self) -> np.ndarray:
        if not self.groups:
            return np.zeros(0, np.uint8)
        if self.sorted:
            records = self.groups[0].records
            in_order = np.array_equal(self.sequence, np.arange(len(records)))
            return records if in_order else records[self.sequence]
        return _interleave([g.units(self.definition.record_id_size)
                            for g in self.groups], self.sequence)

    def messages(self, start_seconds: float) -> List[dict]:
        """The messages of the data group's frame records, in file order."""
        every = [m for g in self.groups for m in g.messages(start_seconds)]
        return [every[i] for i in self.sequence.tolist()]

    def frames(self, start_seconds: float, start_ns: int) -> List[dict]:
        """The decoded frames of the data group's records, in file order."""
        every = [f for g in self.groups
                 for f in g.frames(start_seconds, start_ns)]
        return [every[i] for i in self.sequence.tolist()]


class Mf4Log:
    """A written file: its bytes, where its blocks are, and the ground
    truth for it.

    offsets: file offsets of the blocks by path, for example "HD",
    "FH[0]", "DG[1]", "DG[1].CG[0]", "DG[1].CG[0].CN[CAN_DataFrame.ID]",
    "DG[1].CG[0].SD", "DG[1].DT" (CG indexes count the channel group
    chain, VLSD channel groups included).
    """

    def __init__(self, layout: B.FileLayout, start_time_ns: int,
                 groups: List[DataGroupData], offsets: Dict[str, int],
                 metadata: Optional[Dict[str, dict]]) -> None:
        self.layout = layout
        self.start_time_ns = start_time_ns
        self.data_groups = groups
        self.offsets = offsets
        self.expected_metadata = metadata
        self._data: Optional[bytes] = None

    @property
    def data(self) -> bytes:
        if self._data is None:
            self._data = self.layout.tobytes()
        return self._data

    @property
    def size(self) -> int:
        return self.layout.size

    def write(self, path) -> None:
        with open(path, "wb") as out:
            for chunk in self.layout.chunks():
                out.write(chunk)

    @property
    def start_seconds(self) -> float:
        return float(self.start_time_ns) * 1e-9

    def expected_by_group(self) -> List[List[dict]]:
        """Per data group, in file order: the messages of its records in
        the order they stand in the file."""
        return [g.messages(self.start_seconds) for g in self.data_groups]

    def frames_by_group(self) -> List[List[dict]]:
        """Per data group, in file order: the decoded frames of its
        records (truth.group_frames) in the order they stand in the
        file."""
        return [g.frames(self.start_seconds, self.start_time_ns)
                for g in self.data_groups]

    def expected(self) -> List[dict]:
        """All messages as the reader yields them: data groups merged by
        timestamp (see truth.merged)."""
        return merged(self.expected_by_group())


class _Writer:
    """Places the blocks of one file; see the module docstring."""

    def __init__(self, unfinalized_flags: int) -> None:
        self.out = B.FileLayout()
        self.offsets: Dict[str, int] = {}
        self.flags = unfinalized_flags

    def text(self, value: str, block_id: bytes = b"##TX") -> int:
        return self.out.place(B.text_block(value, block_id))

    def channel(self, path: str, channel: Channel, next_cn: int,
                composition: int = 0, data_link: int = 0,
                invalidation_bit: Optional[int] = None,
                master: bool = False) -> int:
        if master:
            kind, sync = B.CN_MASTER, B.SYNC_TIME
        else:
            kind = B.CN_VLSD if channel.vlsd else B.CN_FIXED
            sync = B.SYNC_NONE
        conversion = 0
        if channel.conversion is not None:
            conversion = self.out.place(B.cc_block(
                channel.conversion.cc_type, channel.conversion.values))
            self.offsets[path + ".CC[%s]" % channel.name] = conversion
        name = self.text(channel.name)
        unit = self.text(channel.unit) if channel.unit else 0
        flags = 0 if invalidation_bit is None else B.CN_FLAG_INVALIDATION
        offset = self.out.place(B.cn_block(
            next_cn, composition, name, 0, conversion, data_link, unit, 0,
            kind, sync, channel.data_type_code,
            channel.bit_offset, channel.byte_offset, channel.bit_count,
            flags, invalidation_bit or 0))
        self.offsets[path + ".CN[%s]" % channel.name] = offset
        return offset

    def channels(self, path: str, layout: GroupLayout, data_link: int) -> int:
        """Writes the channel chain of a group; returns its first channel."""
        members = list(layout.members)
        bits = 8 * layout.invalidation_bytes
        next_cn = 0
        for index in reversed(range(len(members))):
            member = members[index]
            next_cn = self.channel(
                path, member, next_cn,
                data_link=data_link if member.vlsd else 0,
                invalidation_bit=index if index < bits else None)
        if layout.composed and members:
            start = min(m.byte_offset for m in members)
            end = max(m.end_byte for m in members)
            whole = Channel(layout.name, start, 8 * (end - start),
                            data_type=BYTES)
            next_cn = self.channel(path, whole, 0, composition=next_cn)
        return self.channel(path, layout.timestamp, next_cn, master=True)

    def vlsd_group(self, path: str, group: ChannelGroupData, next_cg: int,
                   reserved: Optional[int] = None) -> int:
        """Writes a VLSD channel group, into `reserved` when its frame
        group (written first) had to know its offset."""
        total = int((4 + group.vlsd_value[1]).sum())
        count = 0 if self.flags & B.UNFIN_CYCLE_COUNTS else group.count
        if self.flags & B.UNFIN_VLSD_BYTES:
            total = 0
        block = B.cg_block(
            next_cg, 0, 0, 0, 0, group.vlsd_record_id, count, B.CG_FLAG_VLSD,
            total & 0xFFFFFFFF, total >> 32)
        if reserved is None:
            offset = self.out.place(block)
        else:
            offset = reserved
            self.out.fill(offset, block)
        self.offsets[path] = offset
        return offset

    def frame_group(self, path: str, group: ChannelGroupData, next_cg: int,
                    vlsd_link: int) -> int:
        layout = group.layout
        source = 0
        if layout.bus is not None:
            source = self.out.place(B.si_block(
                self.text(layout.bus), 0, 0, B.SOURCE_BUS,
                B.BUS_CAN if layout.bus == "CAN" else B.BUS_LIN))
            self.offsets[path + ".SI"] = source
        if group.vlsd_value is not None and not group.vlsd_in_group:
            rows, lengths = group.vlsd_entries()
            sd = _flatten(rows, lengths)
            vlsd_link = self.out.place(B.data_block_header(b"##SD", sd.size),
                                       sd)
            self.offsets[path + ".SD"] = vlsd_link
        first_cn = self.channels(path, layout, vlsd_link)
        flags = B.CG_FLAG_BUS_EVENT | B.CG_FLAG_PLAIN_BUS_EVENT \
            if layout.bus is not None else 0
        count = 0 if self.flags & B.UNFIN_CYCLE_COUNTS else group.count
        offset = self.out.place(B.cg_block(
            next_cg, first_cn, self.text(layout.name), source, 0,
            group.record_id, count, flags, layout.data_bytes,
            layout.invalidation_bytes))
        self.offsets[path] = offset
        return offset

    def data_group(self, index: int, group: DataGroupData) -> int:
        """Writes the channel groups of a data group; returns the first.

        The chain is written from its end: a VLSD group in front of its
        frame group gets its place reserved when the frame group is
        written, whose channel links it."""
        chain: List[Tuple[ChannelGroupData, bool]] = []
        for member in group.groups:
            entries = [(member, False)]
            if member.vlsd_in_group:
                entries.insert(0 if group.definition.vlsd_group_first else 1,
                               (member, True))
            chain += entries
        next_cg = 0
        vlsd_links: Dict[int, int] = {}  # by id() of the frame group's data
        reserved: Dict[int, int] = {}
        for position in reversed(range(len(chain))):
            member, is_vlsd = chain[position]
            path = "DG[%d].CG[%d]" % (index, position)
            key = id(member)
            if is_vlsd:
                next_cg = vlsd_links[key] = self.vlsd_group(
                    path, member, next_cg, reserved.get(key))
                continue
            if member.vlsd_in_group and key not in vlsd_links:
                reserved[key] = vlsd_links[key] = self.out.reserve(
                    len(B.cg_block(0, 0, 0, 0, 0, 0, 0, 0, 0, 0)))
            next_cg = self.frame_group(path, member, next_cg,
                                       vlsd_links.get(key, 0))
        return next_cg


def _stored(out: B.FileLayout, data: np.ndarray, storage: str,
            fragment: int, record_bytes: int) -> int:
    """Places the records `data` as `storage` says (see DataGroup) and
    returns the offset of the outermost block."""
    raw = np.ascontiguousarray(data).view(np.uint8).reshape(-1).tobytes()
    pieces = [raw[i:i + fragment] for i in range(0, len(raw), fragment)]
    members = []
    for piece in pieces:
        if storage == "dl":
            members.append(out.place(B.block(b"##DT", [], piece)))
        else:
            columns = record_bytes if storage == "hl" else 0
            members.append(out.place(B.dz_block(piece, columns)))
    first = out.place(B.dl_block(members, fragment))
    return first if storage != "hl" else out.place(B.hl_block(first))


def build_mf4(data_groups: Sequence[DataGroup] = (), *,
              start_time_ns: int = DEFAULT_START_NS, tz_offset_min: int = 0,
              dst_offset_min: int = 0, time_flags: Optional[int] = None,
              metadata: Optional[Properties] = None, header_text: str = "",
              header_xml: Optional[str] = None,
              file_history: Sequence[FileHistory] = (FileHistory(),),
              finalized: bool = True,
              unfinalized_flags: Optional[int] = None,
              custom_flags: int = 0) -> Mf4Log:
    """Writes a plain MF4 file.

    metadata: properties of the header comment (header_text its TX);
    header_xml: the header comment's text as given instead.
    finalized: identification "MDF     " or "UnFinMF ".
    unfinalized_flags: standard unfinalized flags; by default 0 for a
    finalized file and cycle counts + last DT length (+ VLSD byte counts
    when a VLSD channel group is present) for an unfinalized one. With the
    cycle count flag the cycle counts are written as 0, with the VLSD flag
    the VLSD byte counts, and with the last-DT-length flag the last data
    block keeps the length 24 of an empty one.
    """
    groups = [DataGroupData(definition) for definition in data_groups]
    if unfinalized_flags is None:
        unfinalized_flags = 0
        if not finalized:
            unfinalized_flags = B.UNFIN_CYCLE_COUNTS | B.UNFIN_LAST_DT_LENGTH
            if any(g.vlsd_in_group for d in groups for g in d.groups):
                unfinalized_flags |= B.UNFIN_VLSD_BYTES
    if time_flags is None:
        time_flags = 2 if tz_offset_min or dst_offset_min else 0
    w = _Writer(unfinalized_flags)
    w.out.reserve(64)
    w.out.reserve(104)
    w.offsets.update(ID=0, HD=64)

    next_fh = 0
    for index in reversed(range(len(file_history))):
        history = file_history[index]
        comment = 0
        if history.comment_block is not None:
            text = history.comment if history.comment is not None \
                else history_comment(history.tool_id)
            comment = w.text(text, b"##" + history.comment_block.encode())
        next_fh = w.out.place(B.fh_block(
            next_fh, comment, start_time_ns if history.time_ns is None
            else history.time_ns, tz_offset_min, dst_offset_min, time_flags))
        w.offsets["FH[%d]" % index] = next_fh

    hd_comment = 0
    truth_metadata = None
    if header_xml is None and metadata is not None:
        header_xml = header_comment(metadata, header_text)
        truth_metadata = expected_metadata(metadata)
    if header_xml is not None:
        hd_comment = w.offsets["HD.comment"] = w.text(header_xml, b"##MD")

    dg_offsets = [w.out.reserve(64) for _ in groups]
    first_cgs, dg_comments = [], []
    for index, group in enumerate(groups):
        w.offsets["DG[%d]" % index] = dg_offsets[index]
        first_cgs.append(w.data_group(index, group))
        dg_comments.append(w.text(group.definition.comment)
                           if group.definition.comment else 0)
    data_offsets = []
    for index, group in enumerate(groups):
        data = group.data()
        length = None
        if index == len(groups) - 1 and \
                unfinalized_flags & B.UNFIN_LAST_DT_LENGTH:
            length = B.HEADER.size
        definition = group.definition
        if definition.storage is None:
            data_offsets.append(w.out.place(
                B.data_block_header(b"##DT", data.nbytes, length), data))
        else:
            data_offsets.append(_stored(
                w.out, data, definition.storage, definition.fragment,
                group.groups[0].layout.record_bytes))
        w.offsets["DG[%d].DT" % index] = data_offsets[-1]
    for index, group in enumerate(groups):
        w.out.fill(dg_offsets[index], B.dg_block(
            dg_offsets[index + 1] if index + 1 < len(groups) else 0,
            first_cgs[index], data_offsets[index], dg_comments[index],
            group.definition.record_id_size))

    w.out.fill(64, B.hd_block(dg_offsets[0] if groups else 0, next_fh,
                              hd_comment, start_time_ns, tz_offset_min,
                              dst_offset_min, time_flags))
    w.out.fill(0, B.id_block(finalized, unfinalized_flags, custom_flags))
    return Mf4Log(w.out, start_time_ns, groups, w.offsets, truth_metadata)
