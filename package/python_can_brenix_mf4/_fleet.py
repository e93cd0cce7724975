"""Fleets of logs on one machine: read_logs reads many files in parallel
threads (the library decodes without the GIL) and merges their frames by
timestamp into one table with a `file` column.

    from python_can_brenix_mf4 import read_logs
    skipped = []
    table = read_logs(["logs/vehicle_1", "logs/2024-*/*.MF4"],
                      channels=["CAN 1"], on_error="skip", skipped=skipped)
"""
from __future__ import annotations

import glob
import logging
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any, List, Mapping, Optional, Sequence, Tuple, Union

from . import _columns
from ._native import MdfFile

PathArgument = Union[str, "os.PathLike[str]"]
ON_ERROR = ("raise", "skip")
TARGETS = ("arrow", "pandas", "polars")
_GLOB = set("*?[")
_LOG = logging.getLogger("python_can_brenix_mf4")


def is_log_name(name: str) -> bool:
    """True for the names of MF4 files (.mf4, any case)."""
    return name.lower().endswith(".mf4")


def check_on_error(on_error: Any) -> str:
    if on_error not in ON_ERROR:
        raise ValueError("on_error must be 'raise' or 'skip', not %r"
                         % (on_error,))
    return on_error


def path_list(paths: Any) -> List[str]:
    """`paths` (one path or a list of them) as a list of str."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    elif isinstance(paths, bytes) or not hasattr(paths, "__iter__"):
        raise TypeError("paths must be a path or a list of paths, not %s"
                        % type(paths).__name__)
    out = []
    for path in paths:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError("paths: %r is not a path" % (path,))
        out.append(os.fspath(path))
    return out


def reason(error: BaseException) -> str:
    """The message of `error` followed by that of its cause, if any."""
    text = str(error) or type(error).__name__
    if error.__cause__ is not None:
        text += " (%s)" % (str(error.__cause__)
                           or type(error.__cause__).__name__)
    return text


def failed(path: str, error: Exception, on_error: str,
           skipped: Optional[list]) -> None:
    """Raises RuntimeError naming `path` and the reason, or, with on_error
    "skip", logs one warning saying so and notes (path, reason) in
    `skipped`."""
    why = reason(error)
    if on_error == "raise":
        raise RuntimeError("could not read %s: %s" % (path, why)) from error
    _LOG.warning("skipped %s: %s", path, why)
    if skipped is not None:
        skipped.append((path, why))


def expand(paths: Sequence[str]) -> List[Tuple[str, Optional[Exception]]]:
    """The files `paths` name, in order and each once: a directory gives
    its .mf4 files, recursively and sorted; a glob pattern its matches,
    sorted. A pattern that matches nothing gives an error in place of the
    file."""
    found: List[Tuple[str, Optional[Exception]]] = []
    seen = set()

    def add(path, error=None):
        if path not in seen:
            seen.add(path)
            found.append((path, error))
    for path in paths:
        if os.path.isdir(path):
            names = []
            for folder, _, files in os.walk(path):
                names += [os.path.join(folder, f) for f in files
                          if is_log_name(f)]
            for name in sorted(names):
                add(name)
        elif not os.path.exists(path) and _GLOB & set(path):
            matches = sorted(m for m in glob.glob(path, recursive=True)
                             if os.path.isfile(m))
            if not matches:
                add(path, FileNotFoundError("no file matches the pattern"))
            for match in matches:
                add(match)
        else:
            add(path)
    return found


def read_one(source: Any, passwords, chosen: "Options"):
    """The frames of one log as a pyarrow Table of the chosen columns plus
    timestamp_ns."""
    with MdfFile(source, passwords=passwords,
                 any_writer=chosen.any_writer) as log:
        return log.to_arrow(columns=with_time(chosen.columns),
                            **chosen.filters)


class EarlierRows(Exception):
    """Reading failed before the rows of a part of a file: the part whose
    rows the failure hit warns of it."""


def read_part(source: Any, passwords, chosen: "Options", part: int,
              parts: int):
    """The rows of part `part` of `parts` of one log, as read_one gives
    them all: the file's frame count (as its metadata gives it) split into
    `parts` equal ranges, the last to the end. The rows before the range
    are decoded without being written, so a part costs the decoding of the
    rows up to its end. A failure before the range raises EarlierRows."""
    if parts == 1:
        return read_one(source, passwords, chosen)
    pa = _columns._need("pyarrow", "arrow", "read_logs")
    np = _columns._numpy()
    columns = with_time(chosen.columns)
    f = chosen.filters
    batches = []
    own = part == 0  # the failures from here on are this part's
    try:
        with MdfFile(source, passwords=passwords,
                     any_writer=chosen.any_writer) as log:
            reader = _columns._Filter(f["channels"], f["ids"], f["kinds"],
                                      f["start"], f["stop"],
                                      columns).reader(log)
            total = reader.estimate()
            first = total * part // parts
            end = total * (part + 1) // parts if part + 1 < parts else None
            if first > 0 and reader.fill(first, 0, helper=False)[0] < first:
                return empty_table(pa, columns)
            own = True
            wanted = _columns._wanted(columns, True)
            left = None if end is None else end - first
            while left is None or left > 0:
                size = _PART_FILL if left is None else min(left, _PART_FILL)
                count, raw = reader.fill(size, wanted,
                                         helper=_columns._helper())
                if count:
                    batches.append(_columns._arrow_batch(pa, np, count, raw,
                                                         columns))
                if count < size:
                    break
                if left is not None:
                    left -= count
    except MemoryError:
        raise
    except Exception as error:  # noqa: BLE001 - reported by one part
        if own:
            raise
        raise EarlierRows(reason(error)) from error
    if not batches:
        return empty_table(pa, columns)
    return pa.Table.from_batches(batches)


# Rows per fill of a part of a file.
_PART_FILL = 1 << 20


def with_time(columns: Sequence[str]) -> List[str]:
    return list(columns) + (["timestamp_ns"]
                            if "timestamp_ns" not in columns else [])


class Options:
    """The validated filters, columns and passwords of a fleet read: plain
    data, so that it travels to other processes."""

    def __init__(self, passwords, columns, channels, ids, kinds, start,
                 stop, any_writer=False) -> None:
        if passwords is not None and not isinstance(passwords, Mapping):
            raise TypeError("passwords must be a dict, not %s"
                            % type(passwords).__name__)
        self.passwords = dict(passwords) if passwords is not None else None
        self.any_writer = bool(any_writer)
        checked = _columns._Filter(channels, ids, kinds, start, stop, columns)
        self.columns = tuple(checked.columns)
        self.filters = {"channels": channels if channels is None
                        else list(channels),
                        "ids": ids if ids is None else list(ids),
                        "kinds": kinds if kinds is None else list(kinds),
                        "start": checked.start, "stop": checked.stop}


def empty_table(pa, columns: Sequence[str]):
    np = _columns._numpy()
    return pa.Table.from_batches([_columns._arrow_batch(
        pa, np, 0, _columns._empty_raw(np, columns), columns)])


def read_logs(paths: Union[PathArgument, Sequence[PathArgument]], *,
              passwords: Optional[Mapping[str, str]] = None,
              columns: Optional[Sequence[str]] = None,
              channels: Optional[Sequence[str]] = None,
              ids: Optional[Sequence[int]] = None,
              kinds: Optional[Sequence[str]] = None,
              start: Optional[float] = None, stop: Optional[float] = None,
              on_error: str = "raise", skipped: Optional[list] = None,
              to: str = "arrow", threads: Optional[int] = None,
              any_writer: bool = False) -> Any:
    """The frames of many logs as one table, merged by timestamp (frames of
    equal timestamps in the order of the files, each file's in the order of
    MdfFile.to_arrow), with a dictionary-encoded `file` column (the path
    each frame came from) after the columns of MdfFile.to_arrow.

    `paths`: files, directories (their .mf4/.MF4 files, recursively) and
    glob patterns ("**" recursive); each file is read once, in sorted order
    within a directory or pattern. `passwords` serves every file (see
    MdfFile); `columns` and the filters are those of MdfFile.to_arrow.
    `to`: "arrow" (pyarrow.Table), "pandas" or "polars". `threads`: files
    read at once (default: one per CPU). `any_writer`: read logs of any
    MF4 writer (see MdfFile).

    A file that cannot be read raises RuntimeError naming it and the
    reason (on_error="raise"), or is skipped (on_error="skip"): one warning
    on the "python_can_brenix_mf4" logger names it and the reason, and
    (path, reason) is appended to the list `skipped` when one is given.

        skipped = []
        frames = read_logs("logs/", to="pandas", on_error="skip",
                           skipped=skipped)
        frames.groupby(["file", "arbitration_id"], observed=True).size()
    """
    check_on_error(on_error)
    if to not in TARGETS:
        raise ValueError("to must be one of %s, not %r"
                         % (", ".join(map(repr, TARGETS)), to))
    if skipped is not None and not isinstance(skipped, list):
        raise TypeError("skipped must be a list, not %s"
                        % type(skipped).__name__)
    if threads is not None and (isinstance(threads, bool) or
                                not isinstance(threads, int) or threads < 1):
        raise ValueError("threads must be a positive integer")
    options = Options(passwords, columns, channels, ids, kinds, start, stop,
                      any_writer)
    pa = _columns._need("pyarrow", "arrow", "read_logs")
    if to == "pandas":
        _columns._need("pandas", "pandas", "read_logs(to='pandas')")
    elif to == "polars":
        _columns._need("polars", "polars", "read_logs(to='polars')")
    files = expand(path_list(paths))

    def read(entry):
        path, error = entry
        if error is not None:
            return error
        try:
            return read_one(path, options.passwords, options)
        except MemoryError:
            raise
        except Exception as error:  # noqa: BLE001 - reported per file
            return error
    workers = threads or min(len(files), os.cpu_count() or 1) or 1
    with ThreadPoolExecutor(max_workers=workers) as pool:
        results = list(pool.map(read, files))
    names, tables = [], []
    for (path, _), result in zip(files, results):
        if isinstance(result, Exception):
            failed(path, result, on_error, skipped)
        else:
            names.append(path)
            tables.append(result)
    table = merged(pa, tables, names, options.columns)
    if to == "pandas":
        return table.to_pandas()
    if to == "polars":
        import polars
        return polars.from_arrow(table)
    return table


def merged(pa, tables: list, names: List[str], columns: Sequence[str]):
    """The tables of the files as one, ordered by timestamp_ns (stable), the
    `file` column added and timestamp_ns kept only if chosen."""
    np = _columns._numpy()
    if not tables:
        tables, names = [empty_table(pa, with_time(columns))], []
    counts = [t.num_rows for t in tables]
    table = pa.concat_tables(tables).unify_dictionaries()
    order = np.argsort(table.column("timestamp_ns").to_numpy(),
                       kind="stable")
    codes = np.repeat(np.arange(len(counts), dtype=np.int32), counts)[order]
    table = table.select(list(columns)).take(pa.array(order))
    files = pa.DictionaryArray.from_arrays(
        pa.array(codes, pa.int32()), pa.array(names, pa.string()))
    return table.append_column("file", files).combine_chunks()
