"""Signals from a CAN database: decode_signals and MdfFile.decode_signals.

cantools parses the database; the decoding is ours and vectorized. The
rows of each message are gathered first (one sort of the row keys), then
every signal is cut out of the payload matrix with a few whole-column
integer operations: an unaligned 8-byte window per row read in place,
shifted, masked and sign-extended, plus a ninth byte where a signal
straddles it. Values follow cantools' `decode_message` with truncated
frames allowed: a signal is missing where its bits lie beyond the
payload or its multiplexer does not select it.
"""
from __future__ import annotations

import logging
import os
from typing import Any, Dict, List, Optional, Sequence

from ._columns import (_DTYPES, _NUMBER, _Filter, _chunks, _lookup, _need,
                       _numpy, _rows)

_LOG = logging.getLogger("python_can_brenix_mf4")
_FORMATS = ("pandas", "arrow", "polars", "numpy")
# The input columns decoding reads, and those the tables carry over.
_NEEDED = ("arbitration_id", "is_extended_id", "dlc", "data")
_CARRIED = ("timestamp", "timestamp_ns", "channel")
_EXTENDED = 1 << 32


def _cantools():
    return _need("cantools", "signals", "decode_signals")


def _database(value, what: str):
    """A cantools database from a Database or a path to a database file."""
    if isinstance(value, (str, os.PathLike)):
        cantools = _cantools()
        return cantools.database.load_file(os.fspath(value))
    if not hasattr(value, "messages") or not hasattr(value, "get_message_by_name"):
        raise TypeError("%s must be a cantools Database or the path of a "
                        "database file, not %s" % (what, type(value).__name__))
    return value


class _Signal:
    """One signal's layout, in the terms the extraction needs."""

    def __init__(self, signal) -> None:
        self.signal = signal
        self.name = signal.name
        self.length = int(signal.length)
        self.signed = bool(signal.is_signed)
        self.is_float = bool(signal.conversion.is_float)
        self.little = signal.byte_order == "little_endian"
        start = int(signal.start)
        # The first bit in payload order: little endian counts from the
        # least significant bit of byte 0, big endian from the most
        # significant bit of byte 0 (the signal's most significant bit).
        self.first = start if self.little else 8 * (start // 8) + 7 - start % 8
        self.end_bit = self.first + self.length
        self.scale = signal.scale
        self.offset = signal.offset
        self.choices = dict(signal.choices or {})
        self.mux = signal.multiplexer_signal
        self.mux_ids = sorted(int(i) for i in (signal.multiplexer_ids or ()))


def _raw(np, padded, signal: _Signal, words=None):
    """The raw values of a signal in every row of a padded payload matrix
    (uint8, width at least the last byte + 9), or of payloads of at most 8
    bytes as `words` (little- and big-endian uint64): uint64, int64,
    float32 or float64."""
    n = signal.length
    if words is not None:
        if signal.little:
            value = words[0] >> np.uint64(signal.first)
            if n < 64:
                value &= np.uint64((1 << n) - 1)
        else:
            value = words[1] << np.uint64(signal.first) if signal.first \
                else words[1].copy()
            value >>= np.uint64(64 - n)
        return _typed(np, value, signal)
    rows, width = padded.shape
    if signal.little:
        first = signal.first // 8
        shift = signal.first % 8
        word = np.ndarray((rows,), "<u8", padded, first, (width,))
        value = word >> np.uint64(shift)
        if shift + n > 64:
            value |= padded[:, first + 8].astype(np.uint64) \
                << np.uint64(64 - shift)
        if n < 64:
            value &= np.uint64((1 << n) - 1)
    else:
        first = signal.first // 8
        shift = signal.first % 8
        word = np.ndarray((rows,), ">u8", padded, first, (width,))
        value = word << np.uint64(shift) if shift else word.astype(np.uint64)
        if shift + n > 64:
            value |= padded[:, first + 8].astype(np.uint64) \
                >> np.uint64(8 - shift)
        value >>= np.uint64(64 - n)
    return _typed(np, value, signal)


def _typed(np, value, signal: _Signal):
    """Raw bits (uint64, right-aligned) as the signal's type."""
    n = signal.length
    if signal.is_float:
        if n == 32:
            return value.astype(np.uint32).view(np.float32)
        return value.view(np.float64)
    if signal.signed:
        if n < 64:
            bit = np.uint64(1 << (n - 1))
            value = (value ^ bit) - bit
        return value.view(np.int64)
    return value


class _Message:
    """A database message with its signals in decoding order (every
    multiplexer before the signals it selects)."""

    def __init__(self, message) -> None:
        self.message = message
        self.name = message.name
        self.length = int(message.length)
        self.key = int(message.frame_id) + \
            (_EXTENDED if message.is_extended_frame else 0)
        self.signals = [_Signal(s) for s in message.signals]
        by_name = {s.name: s for s in self.signals}
        ordered: List[_Signal] = []
        placed = set()

        def place(signal: _Signal, depth: int) -> None:
            if signal.name in placed:
                return
            if depth > len(self.signals):
                raise ValueError("message %s: its multiplexers select each "
                                 "other in a cycle" % self.name)
            if signal.mux is not None:
                if signal.mux not in by_name:
                    raise ValueError("message %s: signal %s names the "
                                     "multiplexer %s, which it lacks"
                                     % (self.name, signal.name, signal.mux))
                place(by_name[signal.mux], depth + 1)
            placed.add(signal.name)
            ordered.append(signal)
        for signal in self.signals:
            place(signal, 0)
        self.ordered = ordered
        # Payload bytes the signals reach (frames may be shorter).
        self.width = max([(s.end_bit + 7) // 8 for s in self.signals] + [0])


def _decode_message(np, message: _Message, data, picked, first_words, dlc,
                    scaling: bool, choices: bool) -> Dict[str, tuple]:
    """signal name -> (values, present mask or None) for the rows
    `picked` of one message (`first_words`: their first 8 payload bytes
    as little-endian uint64); raw values where choices are kept
    (decode_choices) or without scaling."""
    rows = len(dlc)
    width = message.width
    words = padded = None
    if width <= 8:
        # Every signal lies in the first 8 bytes: one 64-bit word per row
        # in each byte order, and a signal is a shift and a mask of it.
        words = (first_words, first_words.byteswap() if any(
            not s.little for s in message.ordered) else None)
    else:
        padded = np.zeros((rows, width + 9), np.uint8)
        padded[:, :width] = np.take(data[:, :width], picked, axis=0)
    # Frames shorter than the message lose the signals beyond them.
    bits = None if not rows or int(dlc.min()) >= width else \
        dlc.astype(np.int64) * 8
    raws: Dict[str, Any] = {}
    present: Dict[str, Any] = {}
    out: Dict[str, tuple] = {}
    for signal in message.ordered:
        raw = _raw(np, padded, signal, words)
        raws[signal.name] = raw
        mask = None
        if bits is not None:
            short = bits < signal.end_bit
            mask = ~short if short.any() else None
        if signal.mux is not None:
            selected = np.isin(raws[signal.mux],
                               np.array(signal.mux_ids, raws[signal.mux].dtype)
                               if signal.mux_ids else
                               np.zeros(0, raws[signal.mux].dtype))
            parent = present[signal.mux]
            if parent is not None:
                selected &= parent
            mask = selected if mask is None else mask & selected
        present[signal.name] = mask
        if choices and signal.choices:
            value = raw
        elif scaling:
            value = np.multiply(raw, float(signal.scale), dtype=np.float64)
            if signal.offset:
                value += float(signal.offset)
        else:
            value = raw
        out[signal.name] = (value, mask)
    return out


def _from_arrow(np, table) -> Dict[str, Any]:
    """The columns decoding needs from a pyarrow Table or RecordBatch:
    the binary payloads as a zero-padded (n, 64) matrix."""
    names = set(table.schema.names)
    out: Dict[str, Any] = {}
    for name in _NEEDED + _CARRIED + ("kind",):
        if name not in names:
            continue
        column = table.column(name)
        if name == "data":
            out[name] = _payload_matrix(np, column)
        elif name in ("channel", "kind"):
            import pyarrow as pa
            if hasattr(column, "combine_chunks"):
                column = column.combine_chunks()
            if pa.types.is_dictionary(column.type):
                column = column.dictionary_decode()
            out[name] = np.asarray(column.to_numpy(zero_copy_only=False),
                                   dtype=str)
        else:
            out[name] = column.to_numpy()
    return out


def _payload_matrix(np, column):
    chunks = column.chunks if hasattr(column, "chunks") else [column]
    parts = []
    for chunk in chunks:
        rows = len(chunk)
        matrix = np.zeros((rows, 64), np.uint8)
        if rows:
            large = str(chunk.type) == "large_binary"
            _, offsets, values = chunk.buffers()
            offsets = np.frombuffer(offsets, np.int64 if large else np.int32,
                                    rows + 1, chunk.offset
                                    * (8 if large else 4)).astype(np.int64)
            lengths = np.diff(offsets)
            if lengths.size and lengths.max() > 64:
                raise ValueError("data: a payload is longer than 64 bytes")
            total = int(offsets[-1] - offsets[0])
            if total:
                values = np.frombuffer(values, np.uint8, total,
                                       int(offsets[0]))
                row = np.repeat(np.arange(rows), lengths)
                col = np.arange(total) - np.repeat(offsets[:-1] - offsets[0],
                                                   lengths)
                matrix[row, col] = values
        parts.append(matrix)
    if not parts:
        return np.zeros((0, 64), np.uint8)
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def _input_columns(np, columns) -> Dict[str, Any]:
    if hasattr(columns, "schema") and hasattr(columns, "column"):
        columns = _from_arrow(np, columns)
    elif not isinstance(columns, dict):
        raise TypeError("columns must be a dict of numpy arrays (to_numpy, "
                        "iter_batches) or a pyarrow Table (to_arrow), not %s"
                        % type(columns).__name__)
    missing = [name for name in _NEEDED if name not in columns]
    if missing:
        raise ValueError("columns: decoding needs the columns %s"
                         % ", ".join(missing))
    out = {name: np.asarray(columns[name]) for name in
           _NEEDED + _CARRIED + ("kind", "is_remote_frame", "is_error_frame")
           if name in columns}
    data = out["data"]
    if data.ndim != 2 or data.dtype != np.uint8 or data.shape[1] > 64:
        raise ValueError("columns: data must be a uint8 matrix of one row "
                         "of at most 64 bytes per frame")
    if data.shape[1] < 64:
        wide = np.zeros((len(data), 64), np.uint8)
        wide[:, :data.shape[1]] = data
        out["data"] = data = wide
    out["data"] = data = np.ascontiguousarray(data)
    rows = len(data)
    for name, value in out.items():
        if len(value) != rows:
            raise ValueError("columns: %s has %d rows, data %d"
                             % (name, len(value), rows))
    if "channel" in out:
        out["channel"], out["channel_names"] = _channel_codes(
            np, out["channel"])
    return out


def _channel_codes(np, names):
    """Channel names as codes into a table of the names found: one
    comparison of the column per channel while they are few (logs have a
    handful), else a sort."""
    names = names.astype(str)
    width = names.dtype.itemsize // 4
    if not len(names) or width > 8:
        table, codes = np.unique(names, return_inverse=True)
        return codes.ravel(), table
    # Each name as one integer (up to 8 characters of 21 bits would not
    # fit; ASCII names of 7 bits do, others take the sort).
    chars = names.view(np.uint32).reshape(len(names), width)
    if int(chars.max()) >= 128:
        table, codes = np.unique(names, return_inverse=True)
        return codes.ravel(), table
    keys = np.zeros(len(names), np.uint64)
    for column in range(width):
        keys |= chars[:, column].astype(np.uint64) << np.uint64(7 * column)
    # One comparison of the keys per channel while they are few (logs
    # have a handful), else a sort.
    codes = np.full(len(names), -1, np.int32)
    firsts: List[int] = []
    start = 0
    while len(firsts) < 16:
        open_rows = codes[start:] < 0
        if not open_rows.any():
            return codes, names[firsts]
        start += int(np.argmax(open_rows))
        codes[keys == keys[start]] = len(firsts)
        firsts.append(start)
    values, first, codes = np.unique(keys, return_index=True,
                                     return_inverse=True)
    return codes.ravel(), names[first]


class _Plan:
    """The databases, by the channels they serve, and the messages wanted."""

    def __init__(self, database, databases, messages) -> None:
        if database is None and databases is None:
            raise TypeError("decode_signals needs a database or databases")
        self.by_channel: Dict[str, Dict[int, _Message]] = {}
        self.default: Optional[Dict[int, _Message]] = None
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
            for channel, db in databases.items():
                if not isinstance(channel, str):
                    raise TypeError("databases: %r is not a channel name"
                                    % (channel,))
                self.by_channel[channel] = self._messages(
                    _database(db, "databases[%r]" % channel), wanted, found)
        if database is not None:
            self.default = self._messages(_database(database, "database"),
                                          wanted, found)
        if wanted is not None and wanted - found:
            raise ValueError("messages: no database has %s"
                             % ", ".join(sorted(map(str, wanted - found))))

    @staticmethod
    def _messages(db, wanted, found) -> Dict[int, _Message]:
        out = {}
        for message in db.messages:
            if getattr(message, "is_container", False):
                continue
            if wanted is not None and message.name not in wanted:
                continue
            found.add(message.name)
            chosen = _Message(message)
            out[chosen.key] = chosen
        return out

    def ids(self) -> List[int]:
        tables = list(self.by_channel.values())
        if self.default is not None:
            tables.append(self.default)
        return sorted({key % _EXTENDED for t in tables for key in t})


def _usable(np, cols, count: int):
    """The rows that are CAN data frames, or None for all."""
    if cols.get("only_can_data"):
        return None
    if "kind" in cols:
        return cols["kind"] == "CAN data"
    usable = None
    for flag in ("is_remote_frame", "is_error_frame"):
        if flag in cols:
            clear = ~cols[flag].astype(bool)
            usable = clear if usable is None else usable & clear
    if "channel" in cols:
        can = np.char.startswith(cols["channel_names"].astype(str), "CAN")
        if not can.all():
            on_can = can[cols["channel"]]
            usable = on_can if usable is None else usable & on_can
    return usable


def _decode_columns(np, cols, plan: _Plan, scaling: bool,
                    choices: bool) -> Dict[str, List[dict]]:
    """message name -> parts {rows, carried columns, signal values} of one
    batch of input columns."""
    count = len(cols["dlc"])
    usable = _usable(np, cols, count)
    keys = cols["arbitration_id"].astype(np.int64)
    keys[cols["is_extended_id"].astype(bool)] += _EXTENDED
    jobs = []
    if plan.by_channel:
        if "channel" not in cols:
            raise ValueError("columns: databases by channel need the "
                             "channel column")
        names = cols["channel_names"].tolist()
        taken = np.zeros(count, bool)
        for name, table in plan.by_channel.items():
            if name not in names:
                continue
            mask = cols["channel"] == names.index(name)
            if usable is not None:
                mask &= usable
            taken |= mask
            jobs.append((table, mask))
        if plan.default is not None:
            jobs.append((plan.default, ~taken if usable is None
                         else usable & ~taken))
    else:
        jobs.append((plan.default, usable))
    parts: Dict[str, List[dict]] = {}
    unknown = []
    for table, mask in jobs:
        rows = None if mask is None else np.flatnonzero(mask)
        chosen = keys if rows is None else keys[rows]
        if not len(chosen):
            continue
        # The message of every row (len(messages) where none has its
        # key), then the rows of each message in order: a stable sort of
        # small integers, a counting sort in numpy.
        if not table:
            unknown.append(chosen)
            continue
        known = np.array(sorted(table), np.int64)
        messages = [table[key] for key in known.tolist()]
        place = np.minimum(np.searchsorted(known, chosen), len(known) - 1)
        number = np.where(known[place] == chosen, place, len(known))
        order = np.argsort(number.astype(np.uint16 if len(known) < 65535
                                         else np.int64), kind="stable")
        bounds = np.searchsorted(number[order], np.arange(len(known) + 2))
        lost = order[bounds[len(known)]:bounds[len(known) + 1]]
        if lost.size:
            unknown.append(chosen[lost])
        # The rows of the messages, message after message: each column
        # gathered once, each message a slice of it.
        end = bounds[len(known)]
        picked_all = order[:end] if rows is None else rows[order[:end]]
        carried = {name: cols[name][picked_all]
                   for name in _CARRIED if name in cols}
        dlc = cols["dlc"][picked_all]
        words = None
        if any(m.width <= 8 for m in messages):
            data = cols["data"]
            words = np.ndarray((len(data),), "<u8", data, 0,
                               (data.strides[0],))[picked_all]
        for index, message in enumerate(messages):
            begin, stop = int(bounds[index]), int(bounds[index + 1])
            if begin == stop:
                continue
            picked = picked_all[begin:stop]
            part = {"rows": picked,
                    "carried": {name: value[begin:stop]
                                for name, value in carried.items()},
                    "signals": _decode_message(
                        np, message, cols["data"], picked,
                        None if words is None else words[begin:stop],
                        dlc[begin:stop], scaling, choices),
                    "message": message}
            if "channel" in cols:
                part["channel_names"] = cols["channel_names"]
            parts.setdefault(message.name, []).append(part)
    if unknown:
        lost = np.concatenate(unknown)
        _LOG.debug("decode_signals: %d frames of %d ids no database "
                   "message has were ignored", len(lost),
                   len(np.unique(lost)))
    return parts


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
        for part in parts:
            got = part["signals"].get(name)
            size = len(part["rows"])
            if got is None:
                values.append(np.zeros(size, dtype))
                masks.append(np.zeros(size, bool))
            else:
                values.append(got[0].astype(dtype, copy=False))
                masks.append(np.ones(size, bool) if got[1] is None
                             else got[1])
        mask = np.concatenate(masks)
        signals[name] = (np.concatenate(values),
                         None if mask.all() else mask)
    if order is not None:
        carried = {k: v[order] for k, v in carried.items()}
        signals = {k: (v[order], None if m is None else m[order])
                   for k, (v, m) in signals.items()}
    return {"carried": carried, "signals": signals,
            "rows": rows if order is None else rows[order],
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


def _categories(np, signal: _Signal, raw, mask, scaling: bool):
    """Codes (-1 where missing) and category labels of a signal with a
    value table: its labels, then every other value as cantools gives it,
    as text."""
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
        conversion = signal.signal.conversion
        for value in values.tolist():
            text = str(conversion.raw_to_scaled(value, False) if scaling
                       else value)
            if text not in index:
                index[text] = len(labels)
                labels.append(text)
        value_codes = np.array([index[str(conversion.raw_to_scaled(v, False)
                                          if scaling else v)]
                                for v in values.tolist()], np.int32)
        codes[other] = value_codes[inverse.ravel()]
    if mask is not None:
        codes[~mask] = -1
    return codes, labels


def _table(np, table: dict, choices: bool, scaling: bool, as_: str):
    carried = table["carried"]
    columns: Dict[str, Any] = {}
    for name, value in carried.items():
        columns[name] = ("plain", value, None)
    for name, (value, mask) in table["signals"].items():
        signal = signal_of(table, name)
        if choices and signal is not None and signal.choices:
            codes, labels = _categories(np, signal, value, mask, scaling)
            columns[name] = ("category", codes, labels)
        else:
            columns[name] = ("values", value, mask)
    if "channel" in columns:
        codes = columns["channel"][1]
        names = table["channel_names"]
        if as_ == "numpy":
            columns["channel"] = ("plain", names[codes], None)
        else:
            used = np.flatnonzero(np.bincount(codes, minlength=len(names)))
            index = np.zeros(len(names), np.int32)
            index[used] = np.arange(len(used), dtype=np.int32)
            columns["channel"] = ("category", index[codes],
                                  names[used].tolist())
    if as_ == "numpy":
        return {name: _numpy_column(np, kind, a, b)
                for name, (kind, a, b) in columns.items()}
    if as_ == "pandas":
        pd = _need("pandas", "pandas", "decode_signals(as_='pandas')")
        frame = {}
        for name, (kind, a, b) in columns.items():
            if kind == "category":
                frame[name] = pd.Categorical.from_codes(a, b)
            elif b is not None and a.dtype.kind in "iu":
                frame[name] = pd.arrays.IntegerArray(a, ~b)
            elif b is not None:
                values = a.astype(np.float64, copy=True)
                values[~b] = np.nan
                frame[name] = values
            else:
                frame[name] = a
        return pd.DataFrame(frame, columns=list(columns))
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


def _numpy_column(np, kind: str, a, b):
    if kind == "category":
        labels = np.array(list(b) + [""], dtype=object)
        out = labels[a]  # -1 picks the trailing "" and is masked below
        out[a < 0] = None
        return out
    if b is None:
        return a
    if a.dtype.kind == "f":
        values = a.astype(np.float64, copy=True)
        values[~b] = np.nan
        return values
    return np.ma.MaskedArray(a, mask=~b)


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
    return {name: _table(np, _merge(np, found), decode_choices, scaling, as_)
            for name, found in parts.items()}


def decode_signals_method(self, database=None, *, databases=None,
                          messages: Optional[Sequence[str]] = None,
                          decode_choices: bool = False, scaling: bool = True,
                          as_: str = "pandas", channels=None, ids=None,
                          start=None, stop=None,
                          rows: int = 1_000_000) -> Dict[str, Any]:
    """The signals of the log's CAN frames that database messages match,
    one table per message name (see decode_signals). The frames are read
    in batches of `rows`, filtered to the database's ids and to
    `channels`, `ids`, `start` and `stop` as in to_numpy.

        >>> with MdfFile("log.mf4") as log:
        ...     engine = log.decode_signals("vehicle.dbc")["EngineData"]
    """
    _check(as_, scaling, decode_choices)
    np = _numpy()
    plan = _Plan(database, databases, messages)
    found = decode_log(self, plan, scaling, decode_choices, channels=channels,
                       ids=ids, start=start, stop=stop, rows=rows)
    return {name: _table(np, table, decode_choices, scaling, as_)
            for name, table in found.items()}


def decode_log(log, plan: _Plan, scaling: bool, choices: bool, *,
               channels=None, ids=None, start=None, stop=None,
               rows: int = 1_000_000) -> Dict[str, dict]:
    """message name -> {carried columns, signals: name -> (values, present
    mask or None), rows: the frame's row among the log's frames the
    filters keep} of a log's CAN data frames."""
    np = _numpy()
    size = _rows(rows)
    wanted = plan.ids()
    if ids is not None:
        keep = set(_Filter(None, ids, None, None, None, None).ids)
        wanted = [i for i in wanted if i in keep]
    if not wanted:
        _Filter(channels, None, None, start, stop, None)  # checks them
        return {}
    chosen = _Filter(channels, wanted, ["CAN data"], start, stop,
                     list(_CARRIED) + list(_NEEDED))
    found: Dict[str, List[dict]] = {}
    offset = 0
    for count, raw in _chunks(log, chosen, size, False):
        # The library's columns as they come, channels as codes.
        cols = {name: np.frombuffer(raw[_NUMBER[name]],
                                    _DTYPES.get(name, np.bool_))
                for name in chosen.columns if name != "data"}
        cols["data"] = np.frombuffer(raw[_NUMBER["data"]],
                                     np.uint8).reshape(count, 64)
        cols["channel_names"] = _lookup(np, "channel")
        cols["only_can_data"] = True
        for name, parts in _decode_columns(np, cols, plan, scaling,
                                           choices).items():
            for part in parts:
                part["rows"] = part["rows"] + offset
            found.setdefault(name, []).extend(parts)
        offset += len(cols["dlc"])
    return {name: _merge(np, parts) for name, parts in found.items()}


def install(cls) -> None:
    """Adds decode_signals to MdfFile."""
    decode_signals_method.__name__ = "decode_signals"
    decode_signals_method.__qualname__ = "MdfFile.decode_signals"
    cls.decode_signals = decode_signals_method
