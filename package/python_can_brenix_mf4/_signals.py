"""Signals from a CAN database: decode_signals and MdfFile.decode_signals.

cantools parses the database; the decoding is ours. The databases'
messages are compiled into signal tables (one record per signal: first
bit, length, byte order, kind, scaling, multiplexer and its selector
values), and the library cuts every signal of every frame out of the
payload column in one pass without the GIL (decode/cSignalPlan.h), writing
each message's rows and each signal's values and present flags into arrays
numpy wraps without a copy. Values follow cantools' `decode_message` with
truncated frames allowed: a signal is missing where its bits lie beyond
the payload or its multiplexer does not select it.
"""
from __future__ import annotations

import collections
import logging
import os
import struct
import threading
from typing import Any, Dict, List, Optional, Sequence

from ._columns import _DTYPES, _Filter, _helper, _lookup, _need, _numpy, _rows
from ._native import _channel_codes as _native_channel_codes
from ._native import _channel_texts as _native_channel_texts
from ._native import (_decode_log, _decode_log_from, _decode_log_start,
                      _decode_log_stop, _decode_signals)

_LOG = logging.getLogger("python_can_brenix_mf4")
_FORMATS = ("pandas", "arrow", "polars", "numpy")
# The input columns decoding reads, and those the tables carry over.
_NEEDED = ("arbitration_id", "is_extended_id", "dlc", "data")
_CARRIED = ("timestamp", "timestamp_ns", "channel")
_EXTENDED = 1 << 32
# Frames per batch read from a log: the two batches the reading and the
# decoding take turns on stay in the caches. A log smaller than that is
# read in one batch of its size, but of at least _MIN_BATCH rows.
_BATCH = 1 << 16
_MIN_BATCH = 1 << 10


def _cantools():
    return _need("cantools", "signals", "decode_signals")


# Database files parsed lately, by path and the file's modification time
# and size: decoding batch after batch, or log after log, with the path of
# one database parses it once (cantools takes tens of milliseconds for a
# database of some messages). The databases are only read.
_PARSED: "collections.OrderedDict[tuple, Any]" = collections.OrderedDict()
_PARSED_KEPT = 8
_PARSED_LOCK = threading.Lock()


def _parsed_key(path: str) -> Optional[tuple]:
    """The key of a database file among those parsed lately, or None where
    it cannot be read."""
    try:
        status = os.stat(path)
        return (os.path.realpath(path), status.st_mtime_ns, status.st_size)
    except (OSError, ValueError):
        return None


def _to_parse(database, databases) -> bool:
    """Whether a database is given by the path of a file not parsed
    lately (its parsing then takes a while)."""
    values = [database] + (list(databases.values())
                           if isinstance(databases, dict) else [])
    for value in values:
        if isinstance(value, (str, os.PathLike)):
            key = _parsed_key(os.fspath(value))
            with _PARSED_LOCK:
                if key is None or key not in _PARSED:
                    return True
    return False


def _database(value, what: str):
    """A cantools database from a Database or a path to a database file."""
    if isinstance(value, (str, os.PathLike)):
        cantools = _cantools()
        path = os.fspath(value)
        key = _parsed_key(path)  # None: load_file says what is wrong
        with _PARSED_LOCK:
            found = _PARSED.get(key) if key is not None else None
            if found is not None:
                _PARSED.move_to_end(key)
                return found
        database = cantools.database.load_file(path)
        if key is not None:
            with _PARSED_LOCK:
                _PARSED[key] = database
                while len(_PARSED) > _PARSED_KEPT:
                    _PARSED.popitem(last=False)
        return database
    if not hasattr(value, "messages") or not hasattr(value, "get_message_by_name"):
        raise TypeError("%s must be a cantools Database or the path of a "
                        "database file, not %s" % (what, type(value).__name__))
    return value


# Signal kinds of the tables (cSignalKind).
_UNSIGNED, _SIGNED, _FLOAT32, _FLOAT64 = range(4)
# The tables' records (cSignalLayout, cSignalKey), made with numpy.
_LAYOUT = [("first_bit", "<u4"), ("length", "u1"), ("little", "u1"),
           ("kind", "u1"), ("raw", "u1"), ("multiplexer", "<i4"),
           ("selector_first", "<u4"), ("selector_count", "<u4"),
           ("pad", "<u4"), ("scale", "<f8"), ("offset", "<f8")]
_KEY = [("key", "<u8"), ("database", "<u4"), ("message", "<u4")]
# A first bit no payload reaches (fields that start before byte 0 or
# after byte 64 are never present).
_NOWHERE = 1 << 31
# Channel codes of the library's columns (CAN 0 to 255, LIN 0 to 255).
_CHANNEL_CODES = 512


class _Signal:
    """One signal's layout, in the terms the extraction needs."""

    def __init__(self, signal, message: str) -> None:
        self.signal = signal
        self.name = signal.name
        self.length = int(signal.length)
        self.little = signal.byte_order == "little_endian"
        if signal.conversion.is_float:
            self.kind = {32: _FLOAT32, 64: _FLOAT64}.get(self.length)
            if self.kind is None:
                raise ValueError("message %s: signal %s is a float of %d "
                                 "bits (32 or 64 are decoded)"
                                 % (message, self.name, self.length))
        else:
            self.kind = _SIGNED if signal.is_signed else _UNSIGNED
        if not 1 <= self.length <= 64:
            raise ValueError("message %s: signal %s has %d bits (1 to 64 are "
                             "decoded)" % (message, self.name, self.length))
        start = int(signal.start)
        # The first bit in payload order: little endian counts from the
        # least significant bit of byte 0, big endian from the most
        # significant bit of byte 0 (the signal's most significant bit).
        first = start if self.little else 8 * (start // 8) + 7 - start % 8
        self.first = first if 0 <= first < _NOWHERE else _NOWHERE
        self.scale = float(signal.scale)
        self.offset = float(signal.offset)
        self.choices = dict(signal.choices or {})
        self.mux = signal.multiplexer_signal
        self.mux_ids = [int(i) for i in (signal.multiplexer_ids or ())]

    def patterns(self, values) -> List[int]:
        """Raw values of this signal, as a multiplexer, in the 64-bit
        patterns the library compares (signed ones sign-extended); values
        it cannot take are left out."""
        out = set()
        n = self.length
        for value in values:
            if self.kind == _FLOAT32:
                out.add(struct.unpack("<I", struct.pack("<f", value))[0])
            elif self.kind == _FLOAT64:
                out.add(struct.unpack("<Q", struct.pack("<d", value))[0])
            elif self.kind == _SIGNED:
                if -(1 << (n - 1)) <= value < 1 << (n - 1):
                    out.add(value & ((1 << 64) - 1))
            elif 0 <= value < 1 << n:
                out.add(value)
        return sorted(out)

    def dtype(self, raw: bool) -> str:
        """The numpy type of its values: float64 when scaled, else the raw
        type."""
        if not raw:
            return "<f8"
        return ("<u8", "<i8", "<f4", "<f8")[self.kind]


class _Message:
    """A database message with its signals in decoding order (every
    multiplexer before the signals it selects)."""

    def __init__(self, message) -> None:
        self.message = message
        self.name = message.name
        self.key = int(message.frame_id) + \
            (_EXTENDED if message.is_extended_frame else 0)
        self.signals = [_Signal(s, self.name) for s in message.signals]
        by_name = {s.name: s for s in self.signals}
        ordered: List[_Signal] = []
        placed = set()
        for signal in self.signals:
            # The chain of multiplexers above the signal, walked without
            # recursion; a chain longer than the signals is a cycle.
            chain = [signal]
            while chain[-1].mux is not None and chain[-1].mux not in placed:
                parent = by_name.get(chain[-1].mux)
                if parent is None:
                    raise ValueError("message %s: signal %s names the "
                                     "multiplexer %s, which it lacks"
                                     % (self.name, chain[-1].name,
                                        chain[-1].mux))
                if len(chain) > len(self.signals):
                    raise ValueError("message %s: its multiplexers select "
                                     "each other in a cycle" % self.name)
                chain.append(parent)
            for one in reversed(chain):
                if one.name not in placed:
                    placed.add(one.name)
                    ordered.append(one)
        self.ordered = ordered


def _buffer(np, array):
    """The bytes of an array for the library: the bytearray or bytes it
    wraps whole (the columns of to_numpy and iter_batches) without a copy,
    else a copy."""
    base, offset = _buffer_at(np, array)
    if offset == 0 and len(base) == array.nbytes:
        return base
    return np.ascontiguousarray(array).tobytes()


def _buffer_at(np, array):
    """(bytes or bytearray, offset) of an array's elements for the library:
    the one it views (a part of a message's block, say), else a copy."""
    base = array
    while isinstance(base, np.ndarray) and base.base is not None:
        base = base.base
    if isinstance(base, memoryview) and base.c_contiguous:
        base = base.obj
    if isinstance(base, (bytes, bytearray)) and array.flags.c_contiguous \
            and len(base):
        offset = array.ctypes.data - np.frombuffer(base, np.uint8).ctypes.data
        if 0 <= offset <= len(base) - array.nbytes:
            return base, offset
    return np.ascontiguousarray(array).tobytes(), 0


def _from_arrow(np, table) -> Dict[str, Any]:
    """The columns decoding needs from a pyarrow Table or RecordBatch:
    the binary payloads as packed values and int64 offsets."""
    import pyarrow as pa
    names = set(table.schema.names)
    out: Dict[str, Any] = {}
    for name in _NEEDED + _CARRIED + ("kind",):
        if name not in names:
            continue
        column = table.column(name)
        if hasattr(column, "combine_chunks"):
            column = column.combine_chunks()
        if name == "data":
            rows = len(column)
            if not (pa.types.is_binary(column.type)
                    or pa.types.is_large_binary(column.type)):
                raise ValueError("columns: data must be binary")
            _, offsets, values = column.buffers()
            large = pa.types.is_large_binary(column.type)
            offsets = np.frombuffer(offsets, np.int64 if large else np.int32,
                                    rows + 1, column.offset
                                    * (8 if large else 4)).astype(np.int64)
            first = int(offsets[0])
            offsets -= first
            if rows and int(np.diff(offsets).max()) > 64:
                raise ValueError("data: a payload is longer than 64 bytes")
            out["offsets"] = offsets
            out[name] = b"" if values is None else \
                values[first:first + int(offsets[-1])].to_pybytes()
        elif name in ("channel", "kind"):
            if pa.types.is_dictionary(column.type):
                column = column.dictionary_decode()
            out[name] = np.asarray(column.to_numpy(zero_copy_only=False),
                                   dtype=str)
        else:
            out[name] = column.to_numpy(zero_copy_only=False)
    return out


def _input_columns(np, columns) -> Dict[str, Any]:
    """A batch for _decode_columns from columns of to_numpy, iter_batches
    or to_arrow."""
    offsets = None
    if hasattr(columns, "schema") and hasattr(columns, "column"):
        columns = _from_arrow(np, columns)
        offsets = columns.pop("offsets", None)
    elif not isinstance(columns, dict):
        raise TypeError("columns must be a dict of numpy arrays (to_numpy, "
                        "iter_batches) or a pyarrow Table (to_arrow), not %s"
                        % type(columns).__name__)
    missing = [name for name in _NEEDED if name not in columns]
    if missing:
        raise ValueError("columns: decoding needs the columns %s"
                         % ", ".join(missing))
    cols = {name: columns[name] if name == "data" and offsets is not None
            else np.asarray(columns[name]) for name in
            _NEEDED + _CARRIED + ("kind", "is_remote_frame", "is_error_frame")
            if name in columns}
    rows = len(cols["dlc"])
    batch: Dict[str, Any] = {"count": rows, "offsets": None, "lengths": None}
    data = cols["data"]
    if offsets is not None:
        batch["payload"] = data
        batch["offsets"] = offsets.tobytes()
    else:
        if data.ndim != 2 or data.dtype != np.uint8 or data.shape[1] > 64:
            raise ValueError("columns: data must be a uint8 matrix of one "
                             "row of at most 64 bytes per frame")
        if data.shape[1] < 64:
            wide = np.zeros((len(data), 64), np.uint8)
            wide[:, :data.shape[1]] = data
            data = wide
        batch["payload"] = _buffer(np, data)
        lengths = cols["dlc"]
        if lengths.dtype != np.uint8:
            lengths = np.clip(lengths, 0, 64).astype(np.uint8)
        batch["lengths"] = _buffer(np, lengths)
    for name, value in cols.items():
        if len(value) != rows and not (name == "data" and offsets is not None):
            raise ValueError("columns: %s has %d rows, dlc %d"
                             % (name, len(value), rows))
    # The carried columns as the library's types (the library copies
    # their elements).
    batch["carried"] = {name: cols[name].astype(_DTYPES[name], copy=False)
                        for name in ("timestamp", "timestamp_ns")
                        if name in cols}
    codes = names = None
    if "channel" in cols:
        codes, names = _string_codes(np, cols["channel"])
        batch["carried"]["channel"] = codes
        batch["channel_names"] = names
    ids = cols["arbitration_id"]
    usable = _usable(np, cols, codes, names)
    if ids.dtype != np.uint32:
        # Ids beyond 32 bits are no arbitration ids: no message has them.
        fits = (ids >= 0) & (ids <= 0xFFFFFFFF)
        if not fits.all():
            usable = fits if usable is None else usable & fits
        ids = ids.astype(np.uint32)
    batch["ids"] = _buffer(np, ids)
    batch["extended"] = _buffer(np, cols["is_extended_id"].astype(
        np.bool_, copy=False))
    batch["usable"] = None if usable is None else usable.tobytes()
    return batch


def _string_codes(np, names):
    """Strings (channel names, kinds) as codes into a table of the strings
    found: the library compares each row with the few strings found so
    far (codes uint16); many distinct strings take a sort."""
    names = names.astype(str, copy=False)
    if len(names) and names.dtype.itemsize:
        found = _native_channel_codes(_buffer(np, names),
                                      names.dtype.itemsize, _helper())
        if found is not None:
            codes, firsts = found
            return np.frombuffer(codes, np.uint16), names[firsts]
    table, codes = np.unique(names, return_inverse=True)
    return codes.ravel(), table


class _Plan:
    """The databases, by the channels they serve, the messages wanted, and
    their tables for the library."""

    def __init__(self, database, databases, messages) -> None:
        if database is None and databases is None:
            raise TypeError("decode_signals needs a database or databases")
        # The messages of every database in turn, and per database its
        # messages' numbers by key.
        self.messages: List[_Message] = []
        self.tables: List[Dict[int, int]] = []
        self.by_channel: Dict[str, int] = {}  # channel name -> database
        self.default: Optional[int] = None
        self._layouts: Dict[tuple, tuple] = {}
        found = set()
        wanted = None
        if messages is not None:
            if isinstance(messages, (str, bytes)):
                raise TypeError("messages must be a list of message names")
            wanted = set(messages)
            if not wanted:
                raise ValueError("messages: the list is empty (None decodes "
                                 "every message)")
        if databases is not None:
            if not isinstance(databases, dict):
                raise TypeError("databases must be a dict of channel name "
                                "('CAN 1', ...) to database")
            if len(databases) >= _CHANNEL_CODES:
                raise ValueError("databases: more channels than a log has")
            for channel, db in databases.items():
                if not isinstance(channel, str):
                    raise TypeError("databases: %r is not a channel name"
                                    % (channel,))
                self.by_channel[channel] = self._add(
                    _database(db, "databases[%r]" % channel), wanted, found)
        if database is not None:
            self.default = self._add(_database(database, "database"), wanted,
                                     found)
        if wanted is not None and wanted - found:
            raise ValueError("messages: no database has %s"
                             % ", ".join(sorted(map(str, wanted - found))))

    def _add(self, db, wanted, found) -> int:
        """Adds a database's messages; its number."""
        table: Dict[int, int] = {}
        for message in db.messages:
            if getattr(message, "is_container", False):
                continue
            if wanted is not None and message.name not in wanted:
                continue
            found.add(message.name)
            chosen = _Message(message)
            if chosen.key % _EXTENDED > 0x1FFFFFFF:
                continue  # no arbitration id: no frame has it
            table[chosen.key] = len(self.messages)
            self.messages.append(chosen)
        self.tables.append(table)
        return len(self.tables) - 1

    def ids(self) -> List[int]:
        return sorted({key % _EXTENDED for t in self.tables for key in t})

    def shared(self) -> bool:
        """Whether messages of one name come from several databases (their
        rows are then merged in row order)."""
        return len({m.name for m in self.messages}) < len(self.messages)

    def records(self, np, scaling: bool, choices: bool) -> tuple:
        """The library's tables: signal records, selectors, messages and
        keys as bytes, and per message whether each signal (in decoding
        order) keeps raw values."""
        found = self._layouts.get((scaling, choices))
        if found is not None:
            return found
        records, selectors, messages, raws = [], [], [], []
        for message in self.messages:
            index = {s.name: i for i, s in enumerate(message.ordered)}
            messages.append((len(records), len(message.ordered)))
            raw_of = []
            for signal in message.ordered:
                raw = not scaling or bool(choices and signal.choices)
                mux, values = -1, []
                if signal.mux is not None:
                    mux = index[signal.mux]
                    values = message.ordered[mux].patterns(signal.mux_ids)
                records.append((signal.first, signal.length, signal.little,
                                signal.kind, raw, mux, len(selectors),
                                len(values), 0, signal.scale, signal.offset))
                selectors.extend(values)
                raw_of.append(raw)
            raws.append(raw_of)
        keys = [(key, number, message) for number, table in
                enumerate(self.tables) for key, message in table.items()]
        found = (np.array(records, _LAYOUT).tobytes(),
                 np.array(selectors, "<u8").tobytes(),
                 np.array(messages, "<u4").tobytes(),
                 np.array(keys, _KEY).tobytes(), raws)
        self._layouts[(scaling, choices)] = found
        return found

    def tables_for(self, signals, selectors, messages, keys,
                   channel_databases) -> tuple:
        """The library's tables: the records of `records`, the number of
        databases, the database of each channel code and the default
        one."""
        return (signals, selectors, messages, keys, len(self.tables),
                channel_databases,
                -1 if self.default is None else self.default)

    def channel_databases(self, np, keys: Sequence[str]) -> Optional[bytes]:
        """The database of each channel code (names `keys`), -1 for the
        default one, as the library's 512 int32; None without databases by
        channel."""
        if not self.by_channel:
            return None
        table = np.full(_CHANNEL_CODES, -1, np.int32)
        for code, name in enumerate(keys[:_CHANNEL_CODES]):
            table[code] = self.by_channel.get(name, -1)
        return table.tobytes()


def _usable(np, cols, codes, names):
    """The rows that are CAN data frames, or None for all."""
    if "kind" in cols:
        # Comparing every row's text costs several times coding the rows.
        kinds, found = _string_codes(np, cols["kind"])
        can = np.flatnonzero(found == "CAN data")  # the strings found differ
        if len(can) == 0:
            return np.zeros(len(kinds), bool)
        return None if len(found) == 1 else kinds == can[0]
    usable = None
    for flag in ("is_remote_frame", "is_error_frame"):
        if flag in cols:
            clear = ~cols[flag].astype(bool)
            usable = clear if usable is None else usable & clear
    if codes is not None:
        can = np.char.startswith(names.astype(str), "CAN")
        if not can.all():
            on_can = can[codes]
            usable = on_can if usable is None else usable & on_can
    return usable


def _decode_columns(np, batch, plan: _Plan, scaling: bool,
                    choices: bool) -> Dict[str, List[dict]]:
    """message name -> parts {rows, carried columns, signal values} of a
    batch of columns (_input_columns)."""
    signals, selectors, messages, keys, raws = plan.records(np, scaling,
                                                          choices)
    channels, channel_databases = None, None
    if plan.by_channel:
        if "channel" not in batch["carried"]:
            raise ValueError("columns: databases by channel need the "
                             "channel column")
        # The channels with databases of their own as codes 1 to n, the
        # others as 0.
        found = batch["channel_names"].tolist()
        lookup = np.zeros(len(found), np.uint16)
        names = [""]
        for name in plan.by_channel:
            if name in found:
                lookup[found.index(name)] = len(names)
                names.append(name)
        channels = lookup[batch["carried"]["channel"]].tobytes()
        channel_databases = plan.channel_databases(np, names)
    count = batch["count"]
    carried = batch["carried"]
    # Row numbers only where they are read: to merge the rows of one name
    # from several databases, or to find the ids of the rows of none.
    debug = _LOG.isEnabledFor(logging.DEBUG)
    results = _decode_signals(
        plan.tables_for(signals, selectors, messages, keys,
                        channel_databases),
        count, batch["ids"], batch["extended"], channels, batch["usable"],
        batch["payload"], batch["offsets"], batch["lengths"],
        [(_buffer(np, value), value.dtype.itemsize)
         for value in carried.values()], _helper(), plan.shared() or debug)
    parts, matched = _parts(np, plan, raws, results,
                            [value.dtype for value in carried.values()],
                            list(carried), batch.get("channel_names"))
    if matched < count and debug:
        _log_unknown(np, batch, parts)
    return parts


def _parts(np, plan: _Plan, raws, results, dtypes, carried, channel_names):
    """message name -> parts {rows (None when not asked for), carried
    columns, signals: name -> (values, present mask or None)} of the
    library's results, and the rows they hold."""
    parts: Dict[str, List[dict]] = {}
    matched = 0
    for message, raw_of, result in zip(plan.messages, raws, results):
        if result is None:
            continue
        # One block per message holds its arrays, each from its offset;
        # a signal that misses values has its present bytes apart.
        block, count, rows_at, carried_at, signals = result
        matched += count
        found = {}
        for signal, raw, (values_at, present, here) in zip(
                message.ordered, raw_of, signals):
            found[signal.name] = (
                np.frombuffer(block, signal.dtype(raw), count, values_at),
                None if here == count else np.frombuffer(present, bool, count))
        part = {"rows": None if rows_at is None else
                np.frombuffer(block, np.int64, count, rows_at),
                "count": count,
                "carried": {name: np.frombuffer(block, dtype, count, at)
                            for name, dtype, at in
                            zip(carried, dtypes, carried_at)},
                # The signals in the database's order.
                "signals": {s.name: found[s.name] for s in message.signals},
                "message": message,
                "channel_names": channel_names}
        parts.setdefault(message.name, []).append(part)
    return parts, matched


def _log_unknown(np, batch, parts) -> None:
    """Counts the usable rows of no message in a debug line."""
    lost = np.ones(batch["count"], bool)
    if batch["usable"] is not None:
        lost &= np.frombuffer(batch["usable"], bool)
    for found in parts.values():
        for part in found:
            lost[part["rows"]] = False
    keys = np.frombuffer(batch["ids"], "<u4", batch["count"]).astype(np.int64)
    keys[np.frombuffer(batch["extended"], bool, batch["count"])] += _EXTENDED
    if lost.any():
        _LOG.debug("decode_signals: %d frames of %d ids no database "
                   "message has were ignored", int(lost.sum()),
                   len(np.unique(keys[lost])))


def _merge(np, parts: List[dict]) -> dict:
    """The parts of one message name as one table in row order: the
    batches in turn, and within a batch the databases' rows merged."""
    if len(parts) == 1:
        return parts[0]
    rows = np.concatenate([p["rows"] for p in parts])
    order = np.argsort(rows, kind="stable") if len(
        {id(p["message"]) for p in parts}) > 1 else None
    carried = {name: np.concatenate([p["carried"][name] for p in parts])
               for name in parts[0]["carried"]}
    signals: Dict[str, tuple] = {}
    names: List[str] = []
    for part in parts:
        for name in part["signals"]:
            if name not in signals:
                names.append(name)
                signals[name] = None
    for name in names:
        values, masks = [], []
        dtype = None
        for part in parts:
            got = part["signals"].get(name)
            if got is not None:
                dtype = got[0].dtype if dtype is None else \
                    np.result_type(dtype, got[0].dtype)
        # Missing floats are NaN, missing integers 0, as in the
        # library's arrays.
        missing = np.nan if dtype.kind == "f" else 0
        for part in parts:
            got = part["signals"].get(name)
            size = part["count"]
            if got is None:
                values.append(np.full(size, missing, dtype))
                masks.append(np.zeros(size, bool))
                continue
            value = got[0].astype(dtype, copy=False)
            if got[1] is not None and dtype.kind == "f" and \
                    got[0].dtype.kind != "f":  # integers converted: a copy
                np.putmask(value, ~got[1], missing)
            values.append(value)
            masks.append(np.ones(size, bool) if got[1] is None else got[1])
        mask = np.concatenate(masks)
        signals[name] = (np.concatenate(values),
                         None if mask.all() else mask)
    if order is not None:
        carried = {k: v[order] for k, v in carried.items()}
        signals = {k: (v[order], None if m is None else m[order])
                   for k, (v, m) in signals.items()}
    return {"carried": carried, "signals": signals,
            "rows": rows if order is None else rows[order],
            "count": len(rows),
            "message": parts[0]["message"],
            "messages": [p["message"] for p in parts],
            "channel_names": parts[0].get("channel_names")}


def _signal_named(message: _Message, name: str) -> Optional[_Signal]:
    for signal in message.signals:
        if signal.name == name:
            return signal
    return None


def signal_of(table: dict, name: str) -> Optional[_Signal]:
    """The signal `name` of a merged table's messages (the first that has
    it)."""
    for message in table.get("messages", [table["message"]]):
        signal = _signal_named(message, name)
        if signal is not None:
            return signal
    return None


# Value-table signals of at most this many bits are coded through a table
# of every raw value they can take.
_LOOKUP_BITS = 16


def _categories(np, signal: _Signal, raw, mask, scaling: bool,
                bounded: bool = False):
    """Codes (-1 where missing) and category labels of a signal with a
    value table: its labels, then every other value as cantools gives it,
    as text (in ascending order of the values). `bounded`: the values are
    the library's of this signal, within what its bits can hold."""
    labels: List[str] = []
    index: Dict[str, int] = {}
    keys = sorted(signal.choices)
    key_codes = []
    for key in keys:
        label = str(signal.choices[key])
        if label not in index:
            index[label] = len(labels)
            labels.append(label)
        key_codes.append(index[label])
    conversion = signal.signal.conversion

    def code_of(value) -> int:
        text = str(conversion.raw_to_scaled(value, False) if scaling
                   else value)
        if text not in index:
            index[text] = len(labels)
            labels.append(text)
        return index[text]

    lookup = raw.dtype.kind in "iu" and signal.length <= _LOOKUP_BITS
    if lookup:
        # A table of every value the field can take (the library masks
        # and sign-extends its bits), marked where a row has it: one pass
        # to mark, one to look up.
        first = -(1 << (signal.length - 1)) if raw.dtype.kind == "i" else 0
        size = 1 << signal.length
        # Unsigned values below 2 ** 63: their int64 view is them.
        at = raw.view(np.int64) if raw.dtype == np.uint64 else \
            np.subtract(raw, first, dtype=np.int64)
        # A table merged from databases whose signals of this name differ
        # may hold values beyond this signal's: those take the search.
        lookup = bounded or not len(at) or (
            int(at.min()) >= 0 and int(at.max()) < size)
    if lookup:
        table = np.full(size, -1, np.int32)
        for key, code in zip(keys, key_codes):
            if first <= key < first + size:
                table[key - first] = code
        if (table < 0).any():  # values without a label: those found named
            seen = np.zeros(size, bool)
            seen[at if mask is None else at[mask]] = True
            for position in np.flatnonzero(seen & (table < 0)).tolist():
                table[position] = code_of(position + first)
        kind = _code_type(np, len(labels))
        if len(labels) == size and (table == np.arange(size)).all():
            codes = at.astype(kind)  # the labels in the values' order
        else:
            codes = np.take(table.astype(kind), at)
        if mask is not None:
            codes[~mask] = -1
        return codes, labels
    key_array = np.array(keys, raw.dtype)
    position = np.searchsorted(key_array, raw)
    position_c = np.minimum(position, max(len(keys) - 1, 0))
    labelled = (position < len(keys)) & (key_array[position_c] == raw) \
        if len(keys) else np.zeros(len(raw), bool)
    codes = np.full(len(raw), -1, np.int32)
    codes[labelled] = np.array(key_codes, np.int32)[position_c[labelled]]
    other = ~labelled if mask is None else ~labelled & mask
    if other.any():
        values, inverse = np.unique(raw[other], return_inverse=True)
        value_codes = np.array([code_of(v) for v in values.tolist()],
                               np.int32)
        codes[other] = value_codes[inverse.ravel()]
    if mask is not None:
        codes[~mask] = -1
    return codes, labels


def _code_type(np, categories: int):
    """The narrowest integer type of codes into `categories` categories
    (pandas keeps codes of that type as they are)."""
    return np.int8 if categories < 1 << 7 else \
        np.int16 if categories < 1 << 15 else np.int32


def _pandas_category(pd, codes, labels: List[str], dtypes: dict):
    """A pandas Categorical of codes (valid ones: -1 or into labels); the
    dtype of each distinct label list is made once (making one checks the
    labels, which costs more than taking the codes)."""
    key = tuple(labels)
    dtype = dtypes.get(key)
    if dtype is None:
        dtype = dtypes[key] = pd.CategoricalDtype(labels)
    try:
        return pd.Categorical.from_codes(codes, dtype=dtype, validate=False)
    except TypeError:  # pandas before 2.1 checks the codes always
        return pd.Categorical.from_codes(codes, dtype=dtype)


def _tables(np, tables: Dict[str, dict], choices: bool, scaling: bool,
            as_: str) -> Dict[str, Any]:
    """Every message's table as `as_` asks."""
    dtypes: dict = {}  # the pandas category dtypes made for the tables
    texts = _channel_texts(np, tables) if as_ == "numpy" else {}
    return {name: _table(np, table, choices, scaling, as_, dtypes,
                         texts.get(name))
            for name, table in tables.items()}


def _table(np, table: dict, choices: bool, scaling: bool, as_: str,
           dtypes: Optional[dict] = None, channel_text=None):
    """One message's table as `as_` asks; `dtypes` keeps the pandas
    category dtypes made for the tables of one call; `channel_text` is
    numpy's channel column where it was made already."""
    carried = table["carried"]
    columns: Dict[str, Any] = {}
    # The rows of one database message (not merged from databases whose
    # signals of a name may differ) hold its signals' values as the library
    # gives them, within what their bits can hold.
    bounded = len({id(m) for m in table.get("messages", ())}) < 2
    for name, value in carried.items():
        columns[name] = ("plain", value, None)
    for name, (value, mask) in table["signals"].items():
        signal = signal_of(table, name)
        if choices and signal is not None and signal.choices:
            codes, labels = _categories(np, signal, value, mask, scaling,
                                        bounded)
            columns[name] = ("category", codes, labels)
        else:
            columns[name] = ("values", value, mask)
    if "channel" in columns:
        codes = columns["channel"][1]
        names = table["channel_names"]
        if as_ == "numpy":
            columns["channel"] = ("plain", _channel_names(np, codes, names)
                                  if channel_text is None else channel_text,
                                  None)
        else:
            columns["channel"] = ("category",) + _channel_categories(
                np, codes, names)
    if as_ == "numpy":
        return {name: _numpy_column(np, kind, a, b)
                for name, (kind, a, b) in columns.items()}
    if as_ == "pandas":
        pd = _need("pandas", "pandas", "decode_signals(as_='pandas')")
        frame = {}
        for name, (kind, a, b) in columns.items():
            if kind == "category":
                frame[name] = _pandas_category(
                    pd, a, b, {} if dtypes is None else dtypes)
            elif b is not None and a.dtype.kind in "iu":
                frame[name] = pd.arrays.IntegerArray(a, ~b)
            elif b is not None:
                frame[name] = _float64(np, a)
            else:
                frame[name] = a
        return _pandas_frame(np, pd, frame)
    pa = _need("pyarrow", "arrow" if as_ == "arrow" else "polars",
               "decode_signals(as_=%r)" % as_)
    arrays = []
    for name, (kind, a, b) in columns.items():
        if kind == "category":
            arrays.append(pa.DictionaryArray.from_arrays(
                pa.array(a, mask=a < 0), pa.array(b, pa.string())))
        else:
            arrays.append(pa.array(a, mask=None if b is None else ~b))
    result = pa.table(arrays, names=list(columns))
    if as_ == "polars":
        pl = _need("polars", "polars", "decode_signals(as_='polars')")
        return pl.from_arrow(result)
    return result


# pandas' create_dataframe_from_blocks (pandas 3 on), or None, once looked
# up (a failed import costs its search every time).
_FROM_BLOCKS: List[Any] = []


def _from_blocks():
    if not _FROM_BLOCKS:
        try:
            from pandas.api.internals import create_dataframe_from_blocks
        except ImportError:
            create_dataframe_from_blocks = None
        _FROM_BLOCKS.append(create_dataframe_from_blocks)
    return _FROM_BLOCKS[0]


def _pandas_frame(np, pd, frame: Dict[str, Any]):
    """A DataFrame of the columns `frame` has, each array this table's
    alone: no copy, no consolidation. Where pandas takes blocks as they
    are (from pandas 3), each column is made a block of its own directly,
    without the checks of every column the constructor makes (a third of a
    table's time)."""
    create_dataframe_from_blocks = _from_blocks()
    if create_dataframe_from_blocks is None or any(
            isinstance(column, np.ndarray) and column.dtype.kind not in "biuf"
            for column in frame.values()):  # numbers alone go as they are
        return pd.DataFrame(frame, copy=False)
    count = len(next(iter(frame.values()))) if frame else 0
    blocks = [(column.reshape(1, -1) if isinstance(column, np.ndarray)
               else column, np.array([i]))
              for i, column in enumerate(frame.values())]
    return create_dataframe_from_blocks(
        blocks, index=pd.RangeIndex(count), columns=pd.Index(list(frame)))


def _channel_texts(np, tables: Dict[str, dict]) -> Dict[str, Any]:
    """numpy's channel column of the tables that have one (see
    _channel_names), written by the library: on two threads, a large one
    in huge pages; tables of codes it does not take are left out."""
    groups: Dict[int, list] = {}  # by their table of names
    for name, table in tables.items():
        codes = table["carried"].get("channel")
        names = table.get("channel_names")
        if codes is not None and codes.dtype == np.uint16 and \
                names is not None and names.dtype.str[:2] == "<U" and \
                names.dtype.itemsize:
            groups.setdefault(id(names), []).append((name, codes, names))
    texts = {}
    for found in groups.values():
        names = found[0][2]
        made = _native_channel_texts(
            [_buffer_at(np, codes) + (len(codes),) for _, codes, _ in found],
            _buffer(np, names), names.dtype.itemsize, _helper())
        for (name, codes, _), (text, offset, chars) in zip(found, made):
            texts[name] = np.frombuffer(text, "<U%d" % chars, len(codes),
                                        offset)
    return texts


def _channel_names(np, codes, names):
    """numpy's channel column: the rows' names, as text only as wide as the
    names from the rows' lowest code to their highest need (every row is
    written whole: "CAN 1" takes 20 bytes, not the table's 28)."""
    if len(codes):
        low, high = int(codes.min()), int(codes.max())
        wide = max(len(name) for name in names[low:high + 1].tolist())
        if wide < names.dtype.itemsize // 4:
            names = names.astype("<U%d" % max(wide, 1))
    return np.take(names, codes)


def _channel_categories(np, codes, names):
    """The channels the rows have, in code order, and the rows' codes into
    them in the narrowest type pandas keeps as is: (codes, labels)."""
    if len(codes) == 0:
        return np.zeros(0, np.int8), []
    low, high = int(codes.min()), int(codes.max())
    if high - low < 2:  # the channels from low to high, each of them
        used = np.arange(low, high + 1)
    else:
        used = np.flatnonzero(np.bincount(codes, minlength=len(names)))
    kind = _code_type(np, len(used))
    if high == low:  # one channel
        return np.zeros(len(codes), kind), names[used].tolist()
    if len(used) == high - low + 1:  # a range of codes: shifted
        shifted = np.empty(len(codes), kind)
        np.subtract(codes, codes.dtype.type(low), out=shifted,
                    casting="unsafe")
        return shifted, names[used].tolist()
    index = np.zeros(len(names), kind)
    index[used] = np.arange(len(used))
    return np.take(index, codes), names[used].tolist()


def _numpy_column(np, kind: str, a, b):
    if kind == "category":
        labels = np.array(list(b) + [""], dtype=object)
        out = labels[a]  # -1 picks the trailing "" and is masked below
        out[a < 0] = None
        return out
    if b is None:
        return a
    if a.dtype.kind == "f":
        return _float64(np, a)
    return np.ma.MaskedArray(a, mask=~b)


def _float64(np, a):
    """Float values as float64, NaN where missing as the library (and
    _merge) leave them: as they are, or converted from float32."""
    if a.dtype == np.float64:
        return a
    with np.errstate(invalid="ignore"):  # signalling NaNs in the payloads
        return a.astype(np.float64)


def _check(as_: str, scaling, decode_choices) -> None:
    if as_ not in _FORMATS:
        raise ValueError("as_ must be one of %s, not %r"
                         % (", ".join(_FORMATS), as_))
    for name, value in (("scaling", scaling),
                        ("decode_choices", decode_choices)):
        if not isinstance(value, bool):
            raise TypeError("%s must be True or False" % name)


def decode_signals(columns, database=None, *, databases=None,
                   messages: Optional[Sequence[str]] = None,
                   decode_choices: bool = False, scaling: bool = True,
                   as_: str = "pandas") -> Dict[str, Any]:
    """The signals of every frame a database message matches, as one table
    per message name: columns timestamp, timestamp_ns and channel (those
    of `columns` has), then one per signal.

    `columns` comes from MdfFile.to_numpy, iter_batches or to_arrow;
    `database` is a cantools Database or the path of a database file
    (DBC, ARXML, KCD, SYM); `databases` maps channel names to databases
    (`database` then serves the other channels); `messages` restricts the
    work to these message names. Physical values are float64 (raw
    integers with `scaling=False`); with `decode_choices` signals with a
    value table become categorical labels. A signal is missing (NaN,
    null, masked) where its bits lie beyond the frame's payload or its
    multiplexer does not select it. `as_` is "pandas", "arrow", "polars"
    or "numpy" (dicts of arrays; integer columns with missing values as
    numpy masked arrays).

        >>> import cantools
        >>> db = cantools.database.load_file("vehicle.dbc")
        >>> with MdfFile("log.mf4") as log:
        ...     tables = decode_signals(log.to_numpy(), db)
        >>> tables["EngineData"]["EngineSpeed"].mean()
    """
    _check(as_, scaling, decode_choices)
    np = _numpy()
    plan = _Plan(database, databases, messages)
    cols = _input_columns(np, columns)
    parts = _decode_columns(np, cols, plan, scaling, decode_choices)
    return _tables(np, {name: _merge(np, found)
                        for name, found in parts.items()},
                   decode_choices, scaling, as_)


def decode_signals_method(self, database=None, *, databases=None,
                          messages: Optional[Sequence[str]] = None,
                          decode_choices: bool = False, scaling: bool = True,
                          as_: str = "pandas", channels=None, ids=None,
                          start=None, stop=None,
                          rows: int = _BATCH) -> Dict[str, Any]:
    """The signals of the log's CAN frames that database messages match,
    one table per message name (see decode_signals). The frames are read
    in batches of `rows`, filtered to the database's ids and to
    `channels`, `ids`, `start` and `stop` as in to_numpy.

        >>> with MdfFile("log.mf4") as log:
        ...     engine = log.decode_signals("vehicle.dbc")["EngineData"]
    """
    _check(as_, scaling, decode_choices)
    np = _numpy()
    # A database file to parse: the reading starts meanwhile.
    prefetch = _prefetch(self, channels, ids, start, stop, rows) \
        if _to_parse(database, databases) else None
    try:
        plan = _Plan(database, databases, messages)
        found = decode_log(self, plan, scaling, decode_choices,
                           channels=channels, ids=ids, start=start,
                           stop=stop, rows=rows, prefetch=prefetch)
    finally:
        if prefetch is not None:
            _decode_log_stop(prefetch)
    return _tables(np, found, decode_choices, scaling, as_)


def _batch_rows(rows: int, reader) -> int:
    """Rows per batch: the batches need not hold the whole log, nor more
    rows than it has."""
    return max(min(rows, reader.estimate() + 1), min(rows, _MIN_BATCH))


def _prefetch(log, channels, ids, start, stop, rows):
    """The log's CAN data frames of `channels`, `ids`, `start` and `stop`,
    read ahead on a second thread while the databases are parsed, their
    ids not known yet (decode_log keeps those of the databases' messages);
    None where that is not to be (one thread, reads through Python, a busy
    log, or arguments decode_log refuses, which it then does in its own
    order). The caller stops it (_decode_log_stop) once done."""
    if not _helper():
        return None
    try:
        size = _rows(rows)
        reader = _Filter(channels, ids, ["CAN data"], start, stop,
                         None).reader(log)
        size = _batch_rows(size, reader)
    except Exception:  # raised again, in order, by decode_log
        return None
    return _decode_log_start(reader, size)


def decode_log(log, plan: _Plan, scaling: bool, choices: bool, *,
               channels=None, ids=None, start=None, stop=None,
               rows: int = _BATCH, row_numbers: bool = False,
               prefetch=None) -> Dict[str, dict]:
    """message name -> {carried columns, signals: name -> (values, present
    mask or None), count: the rows, rows: with `row_numbers` the frame's
    row among the log's frames the filters keep, else None} of a log's CAN
    data frames. `prefetch` (of _prefetch, with the same filters) holds
    the frames read ahead; the caller stops it."""
    np = _numpy()
    size = _rows(rows)
    wanted = plan.ids()
    if ids is not None:
        keep = set(_Filter(None, ids, None, None, None, None).ids)
        wanted = [i for i in wanted if i in keep]
    if not wanted:
        _Filter(channels, None, None, start, stop, None)  # checks them
        return {}
    chosen = _Filter(channels, wanted, ["CAN data"], start, stop, None)
    signals, selectors, messages, keys, raws = plan.records(np, scaling,
                                                          choices)
    names = _lookup(np, "channel")
    tables = plan.tables_for(signals, selectors, messages, keys,
                             plan.channel_databases(np, names.tolist()))
    # Messages of one name from several databases are merged in row order.
    shared = plan.shared()
    if prefetch is not None:
        # The frames of every id were read: those of the wanted ones are
        # kept, as the reader's filter would have.
        results, count, unmatched = _decode_log_from(
            prefetch, tables, row_numbers or shared,
            np.array(wanted, "<u4").tobytes())
    else:
        reader = chosen.reader(log)
        results, count, unmatched = _decode_log(
            reader, tables, _batch_rows(size, reader), row_numbers or shared,
            _helper())
    parts, _ = _parts(np, plan, raws, results,
                      [np.dtype(_DTYPES[name]) for name in _CARRIED],
                      _CARRIED, names)
    if unmatched:
        _LOG.debug("decode_signals: %d frames of %d whose id no database "
                   "message of their channel has were ignored", unmatched,
                   count)
    merged = {name: _merge(np, found) for name, found in parts.items()}
    if not row_numbers:
        for table in merged.values():
            table["rows"] = None
    return merged


def install(cls) -> None:
    """Adds decode_signals to MdfFile."""
    decode_signals_method.__name__ = "decode_signals"
    decode_signals_method.__qualname__ = "MdfFile.decode_signals"
    cls.decode_signals = decode_signals_method
