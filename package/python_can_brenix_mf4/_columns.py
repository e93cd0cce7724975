"""Frames as columns: MdfFile.to_numpy, iter_batches, to_arrow, to_pandas and
to_polars.

The library merges the frames of every data group in the order of message
iteration, applies the filters and writes each column straight into a
bytearray, which numpy wraps without a copy; Arrow, pandas and polars are
built from those arrays.
"""
from __future__ import annotations

import numbers
import os
from collections.abc import Iterable
from typing import Any, Dict, Iterator, List, Optional, Sequence

from ._native import _ColumnReader

# The columns, in table order, with their numpy types ("data" is a matrix
# of 64 bytes per row; "channel" and "kind" are strings).
COLUMNS = ("timestamp", "timestamp_ns", "channel", "kind", "arbitration_id",
           "is_extended_id", "is_remote_frame", "is_error_frame", "is_fd",
           "is_rx", "bitrate_switch", "error_state_indicator", "dlc", "data",
           "error_type", "group")
# The frame kinds, numbered from 1 as the library numbers them.
KINDS = ("CAN data", "CAN remote", "CAN error", "LIN", "LIN checksum error",
         "LIN receive error", "LIN sync error", "LIN transmission error")

# The library's column numbers (cMdfColumn): COLUMNS in order, then the
# packed payload values and their offsets.
_NUMBER = {name: i for i, name in enumerate(COLUMNS)}
_DATA_VALUES, _DATA_OFFSETS = len(COLUMNS), len(COLUMNS) + 1
_DTYPES = {"timestamp": "<f8", "timestamp_ns": "<i8", "channel": "<u2",
           "kind": "u1", "arbitration_id": "<u4", "dlc": "u1", "data": "u1",
           "error_type": "u1", "group": "<u2"}
_BUS = {"CAN": 0, "LIN": 256}
# Rows of the first fill when the file gives no useful count, and of the
# largest one.
_MIN_CHUNK = 1 << 16
_MAX_CHUNK = 1 << 24
# MF4_THREADS=1: every fill on the calling thread alone.
THREADS_ENV = "MF4_THREADS"


class _Filter:
    """The validated filter and column arguments of one call."""

    def __init__(self, channels, ids, kinds, start, stop, columns) -> None:
        self.channels = _channel_codes(channels)
        self.ids = _ids(ids)
        self.kinds = _kind_mask(kinds)
        self.start = _bound("start", start)
        self.stop = _bound("stop", stop)
        self.columns = _columns(columns)

    def reader(self, log) -> _ColumnReader:
        return _ColumnReader(log, self.channels, self.ids, self.kinds,
                             self.start, self.stop)


def _sequence(name: str, value: Any) -> List[Any]:
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError("%s must be a list, not %s"
                        % (name, type(value).__name__))
    return list(value)


def _channel_codes(channels) -> List[int]:
    if channels is None:
        return []
    codes = []
    for channel in _sequence("channels", channels):
        if not isinstance(channel, str):
            raise TypeError("channels: %r is not a channel name like 'CAN 1'"
                            % (channel,))
        bus, _, number = channel.partition(" ")
        if bus not in _BUS or not number.isdigit() or int(number) > 255 \
                or number != str(int(number)):
            raise ValueError("channels: unknown channel %r (channels are "
                             "'CAN 0' to 'CAN 255' and 'LIN 0' to 'LIN 255')"
                             % channel)
        codes.append(_BUS[bus] + int(number))
    if not codes:
        raise ValueError("channels: the list is empty (None keeps every "
                         "channel)")
    return codes


def _ids(ids) -> List[int]:
    if ids is None:
        return []
    out = []
    for value in _sequence("ids", ids):
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError("ids: %r is not an integer" % (value,))
        if not 0 <= value <= 0x1FFFFFFF:
            raise ValueError("ids: %r is not an arbitration id (0 to "
                             "0x1FFFFFFF)" % (value,))
        out.append(int(value))
    if not out:
        raise ValueError("ids: the list is empty (None keeps every id)")
    return out


def _kind_mask(kinds) -> int:
    if kinds is None:
        return 0
    mask = 0
    for kind in _sequence("kinds", kinds):
        if not isinstance(kind, str):
            raise TypeError("kinds: %r is not a frame kind" % (kind,))
        if kind not in KINDS:
            raise ValueError("kinds: unknown kind %r (one of %s)"
                             % (kind, ", ".join(repr(k) for k in KINDS)))
        mask |= 1 << (KINDS.index(kind) + 1)
    if not mask:
        raise ValueError("kinds: the list is empty (None keeps every kind)")
    return mask


def _bound(name: str, value) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a number of seconds since 1970, not %s"
                        % (name, type(value).__name__))
    return float(value)


def _columns(columns) -> Sequence[str]:
    if columns is None:
        return COLUMNS
    chosen = []
    for name in _sequence("columns", columns):
        if not isinstance(name, str):
            raise TypeError("columns: %r is not a column name" % (name,))
        if name not in COLUMNS:
            raise ValueError("columns: unknown column %r (one of %s)"
                             % (name, ", ".join(COLUMNS)))
        if name not in chosen:
            chosen.append(name)
    return tuple(chosen)


def _rows(rows) -> int:
    if isinstance(rows, bool) or not isinstance(rows, numbers.Integral):
        raise TypeError("rows must be an integer, not %s"
                        % type(rows).__name__)
    if rows < 1:
        raise ValueError("rows must be at least 1")
    return int(rows)


def _need(module: str, extra: str, what: str):
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            "%s needs %s: pip install 'python-can-brenix-mf4[%s]'"
            % (what, module, extra)) from error


def _numpy():
    return _need("numpy", "all", "reading columns")


def _wanted(columns: Sequence[str], packed: bool) -> int:
    mask = 0
    for name in columns:
        if name == "data" and packed:
            mask |= 1 << _DATA_VALUES | 1 << _DATA_OFFSETS
        else:
            mask |= 1 << _NUMBER[name]
    return mask


def _helper() -> bool:
    """Whether a fill may share its work with a second thread: not with
    MF4_THREADS=1 (the library also keeps to one thread on one CPU)."""
    return os.environ.get(THREADS_ENV, "").strip() != "1"


def _chunks(log, chosen: _Filter, rows: Optional[int],
            packed: bool) -> Iterator[tuple]:
    """(count, raw columns) per fill, until the frames run out. Without
    `rows` the first fill is sized to hold the whole file when its counts
    are right, and later ones grow. Unless packed, the "channel" and "kind"
    columns come as the bytes of their numpy strings."""
    reader = chosen.reader(log)
    wanted = _wanted(chosen.columns, packed)
    names = {}
    if not packed:
        for what in ("channel", "kind"):
            if what in chosen.columns:
                names[what + "_names"] = _names(what)
    helper = _helper()
    # One row more than the estimate: a fill that is not full ends it.
    size = max(reader.estimate() + 1, _MIN_CHUNK)
    if rows is not None:
        size = min(rows, size)
    while True:
        count, raw = reader.fill(size, wanted, helper=helper, **names)
        if count == 0:
            return
        yield count, raw
        raw = None  # the next fill is the only batch this one holds
        if count < size:
            return
        if rows is None:
            size = min(2 * size, _MAX_CHUNK)


_NAMES: Dict[str, Any] = {}


def _lookup(np, what: str):
    """The numpy string tables of the channel codes and the kinds."""
    table = _NAMES.get(what)
    if table is None:
        table = _NAMES[what] = np.array(_name_list(what))
    return table


def _name_list(what: str) -> List[str]:
    if what == "channel":
        return ["CAN %d" % i for i in range(256)] + \
            ["LIN %d" % i for i in range(256)]
    return [""] + list(KINDS)


def _names(what: str) -> bytes:
    """The bytes of a string table (numpy's fixed-width UCS-4), which the
    library copies into each row of the column."""
    table = _NAMES.get(what + " bytes")
    if table is None:
        table = _NAMES[what + " bytes"] = _lookup(_numpy(), what).tobytes()
    return table


def _numpy_columns(np, count: int, raw: list,
                   columns: Sequence[str]) -> Dict[str, Any]:
    out = {}
    for name in columns:
        buffer = raw[_NUMBER[name]]
        if name in ("channel", "kind"):
            out[name] = np.frombuffer(buffer, _lookup(np, name).dtype)
        elif name == "data":
            out[name] = np.frombuffer(buffer, np.uint8).reshape(count, 64)
        else:
            out[name] = np.frombuffer(buffer, _DTYPES.get(name, np.bool_))
    return out


def to_numpy(self, *, channels=None, ids=None, kinds=None, start=None,
             stop=None, columns=None) -> Dict[str, Any]:
    """Every frame as a dict of numpy arrays, one per column, in the order
    of message iteration (see the README for the columns). Filters:
    `channels` ("CAN 1", "LIN 2", ...), `ids` (arbitration ids), `kinds`
    ("CAN data", ...), `start`/`stop` (seconds since 1970, start
    inclusive, stop exclusive); `columns` picks the columns."""
    chosen = _Filter(channels, ids, kinds, start, stop, columns)
    np = _numpy()
    parts = [_numpy_columns(np, count, raw, chosen.columns)
             for count, raw in _chunks(self, chosen, None, False)]
    if len(parts) == 1:
        return parts[0]
    if not parts:
        return {name: _empty(np, name) for name in chosen.columns}
    return {name: np.concatenate([p[name] for p in parts])
            for name in chosen.columns}


def _empty(np, name: str):
    if name == "data":
        return np.zeros((0, 64), np.uint8)
    if name in ("channel", "kind"):
        return _lookup(np, name)[:0]
    return np.zeros(0, _DTYPES.get(name, np.bool_))


def iter_batches(self, rows: int = 1_000_000, *, channels=None, ids=None,
                 kinds=None, start=None, stop=None,
                 columns=None) -> Iterator[Dict[str, Any]]:
    """The frames of to_numpy in batches of at most `rows` rows, in order;
    only the batch being built is held beyond the reader's own state."""
    rows = _rows(rows)
    chosen = _Filter(channels, ids, kinds, start, stop, columns)
    np = _numpy()

    def batches():
        for count, raw in _chunks(self, chosen, rows, False):
            yield _numpy_columns(np, count, raw, chosen.columns)
            del raw  # only the caller's batch is left, if it kept it
    return batches()


def _joined(np, pieces: list, dtype):
    """The pieces of a column as one array."""
    if not pieces:
        return np.zeros(0, dtype)
    return pieces[0] if len(pieces) == 1 else np.concatenate(pieces)


def _used_channels(np, codes):
    """Channel codes as indexes into the names of the channels used, and
    those names (in code order: CAN before LIN, by number)."""
    used = np.flatnonzero(np.bincount(codes, minlength=512))
    index = np.zeros(512, np.int16)
    index[used] = np.arange(len(used), dtype=np.int16)
    return index[codes], _lookup(np, "channel")[used].tolist()


def _arrow_batch(pa, np, count: int, raw: list, columns: Sequence[str]):
    arrays = []
    for name in columns:
        buffer = raw[_NUMBER[name]]
        if name == "channel":
            codes, names = _used_channels(np, np.frombuffer(buffer,
                                                            np.uint16))
            arrays.append(pa.DictionaryArray.from_arrays(
                codes, pa.array(names, pa.string())))
        elif name == "kind":
            codes = np.frombuffer(buffer, np.uint8).astype(np.int8) - 1
            arrays.append(pa.DictionaryArray.from_arrays(
                codes, pa.array(list(KINDS), pa.string())))
        elif name == "data":
            values = raw[_DATA_VALUES]
            offsets = np.frombuffer(raw[_DATA_OFFSETS], np.int64)
            if offsets[-1] < 2**31:
                kind, offsets = pa.binary(), offsets.astype(np.int32)
            else:
                kind = pa.large_binary()
            arrays.append(pa.Array.from_buffers(
                kind, count, [None, pa.py_buffer(offsets),
                              pa.py_buffer(values)]))
        else:
            arrays.append(pa.array(np.frombuffer(
                buffer, _DTYPES.get(name, np.bool_))))
    return pa.RecordBatch.from_arrays(arrays, names=list(columns))


def to_arrow(self, *, channels=None, ids=None, kinds=None, start=None,
             stop=None, columns=None):
    """The frames of to_numpy as a pyarrow.Table: channel and kind as
    dictionaries, data as binary of exactly dlc bytes."""
    chosen = _Filter(channels, ids, kinds, start, stop, columns)
    pa = _need("pyarrow", "arrow", "to_arrow")
    np = _numpy()
    batches = [_arrow_batch(pa, np, count, raw, chosen.columns)
               for count, raw in _chunks(self, chosen, None, True)]
    if not batches:
        batches = [_arrow_batch(pa, np, 0, _empty_raw(np, chosen.columns),
                                chosen.columns)]
    return pa.Table.from_batches(batches)


def _empty_raw(np, columns: Sequence[str]) -> list:
    raw = [bytearray() for _ in range(len(COLUMNS) + 2)]
    raw[_DATA_OFFSETS] = bytearray(8)
    return raw


def to_pandas(self, *, channels=None, ids=None, kinds=None, start=None,
              stop=None, columns=None):
    """The frames of to_numpy as a pandas.DataFrame: channel and kind
    categorical, data bytes of exactly dlc bytes."""
    chosen = _Filter(channels, ids, kinds, start, stop, columns)
    pd = _need("pandas", "pandas", "to_pandas")
    np = _numpy()
    parts: Dict[str, list] = {name: [] for name in chosen.columns}
    for count, raw in _chunks(self, chosen, None, True):
        for name in chosen.columns:
            buffer = raw[_NUMBER[name]]
            if name == "data":
                values = np.empty(count, object)
                values[:] = _ColumnReader.split(raw[_DATA_VALUES],
                                                raw[_DATA_OFFSETS])
                parts[name].append(values)
            else:
                parts[name].append(np.frombuffer(
                    buffer, _DTYPES.get(name, np.bool_)))
    frame = {}
    for name in chosen.columns:
        values = _joined(np, parts[name],
                         object if name == "data"
                         else _DTYPES.get(name, np.bool_))
        if name == "channel":
            codes, names = _used_channels(np, values)
            values = pd.Categorical.from_codes(codes, names)
        elif name == "kind":
            values = pd.Categorical.from_codes(
                values.astype(np.int8) - 1, list(KINDS))
        frame[name] = values
    return pd.DataFrame(frame, columns=list(chosen.columns))


def to_polars(self, *, channels=None, ids=None, kinds=None, start=None,
              stop=None, columns=None):
    """The frames of to_numpy as a polars.DataFrame (through Arrow):
    channel and kind categorical, data binary of exactly dlc bytes."""
    _Filter(channels, ids, kinds, start, stop, columns)
    pl = _need("polars", "polars", "to_polars")
    _need("pyarrow", "polars", "to_polars")
    table = to_arrow(self, channels=channels, ids=ids, kinds=kinds,
                     start=start, stop=stop, columns=columns)
    return pl.from_arrow(table, rechunk=False)


def install(cls) -> None:
    """Adds the column methods to MdfFile."""
    for method in (to_numpy, iter_batches, to_arrow, to_pandas, to_polars):
        method.__qualname__ = "MdfFile." + method.__name__
        setattr(cls, method.__name__, method)
