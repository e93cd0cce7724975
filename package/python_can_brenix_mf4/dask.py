"""Fleets of logs on Dask: read_logs gives the frames of many logs as a
dask.dataframe.DataFrame, one partition per file or per block of a big
file, for a cluster or the local machine (needs the extra: pip install
'python-can-brenix-mf4[dask]').

    from distributed import Client
    from python_can_brenix_mf4.dask import read_logs
    client = Client()
    frames = read_logs("s3://bucket/logs/**/*.MF4", channels=["CAN 1"])
    frames.groupby(["file", "arbitration_id"], observed=True).size().compute()
"""
from __future__ import annotations

import os
from typing import Any, List, Mapping, Optional, Sequence, Tuple

from . import _fleet

_EXTRA = "pip install 'python-can-brenix-mf4[dask]'"


def _dask_dataframe():
    try:
        import dask.dataframe
    except ImportError as error:
        raise ImportError("python_can_brenix_mf4.dask needs dask[dataframe]: "
                          + _EXTRA) from error
    return dask.dataframe


def _filesystem(path: str, storage_options: Optional[dict]):
    try:
        from fsspec.core import url_to_fs
    except ImportError as error:
        raise ImportError("python_can_brenix_mf4.dask needs fsspec: "
                          + _EXTRA) from error
    return url_to_fs(path, **(storage_options or {}))


def _is_local(fs) -> bool:
    protocol = fs.protocol
    return "file" in (protocol if isinstance(protocol, tuple)
                      else (protocol,))


def _expand(paths: List[str], storage_options: Optional[dict]
            ) -> List[Tuple[str, Optional[Exception]]]:
    """Local paths as _fleet.expand finds them; URLs through fsspec:
    directories give their .mf4 files (recursively), patterns their
    matches, both sorted."""
    found: List[Tuple[str, Optional[Exception]]] = []
    for path in paths:
        if "://" not in path:
            found += _fleet.expand([path])
            continue
        fs, inner = _filesystem(path, storage_options)
        if fs.isdir(inner):
            names = sorted(n for n in fs.find(inner)
                           if _fleet.is_log_name(n))
        elif not fs.exists(inner) and _fleet._GLOB & set(inner):
            names = sorted(fs.glob(inner))
            if not names:
                found.append((path, FileNotFoundError(
                    "no file matches the pattern")))
        else:
            names = [inner]
        found += [(fs.unstrip_protocol(n), None) for n in names]
    seen, out = set(), []
    for entry in found:
        if entry[0] not in seen:
            seen.add(entry[0])
            out.append(entry)
    return out


def _read_file(source: Tuple[int, str, Optional[str], int, int],
               options: dict):
    """The partition of one file or part of a file (a pandas.DataFrame
    whose `file` column holds the file's number); runs on a worker.
    `source` is (file number, path or URL, error text when the file is
    known to be missing, part, parts); `options` holds the passwords, the
    filters, the columns, on_error and the storage options, the same for
    every file. A skipped file gives an empty partition with
    attrs["skipped"] = [(path, reason)]; of a file in parts, the part whose
    rows failed warns, and any part that failed notes the file."""
    import numpy as np
    number, path, missing, part, parts = source
    chosen = _fleet.Options(options["passwords"], options["columns"],
                            **options["filters"],
                            any_writer=options["any_writer"])
    try:
        if missing is not None:
            raise FileNotFoundError(missing)
        table = _open_and_read(path, chosen, options["storage_options"],
                               part, parts)
    except MemoryError:
        raise
    except Exception as error:  # noqa: BLE001 - reported per file
        frame = _meta(options["columns"])
        skipped: List[Tuple[str, str]] = []
        if isinstance(error, _fleet.EarlierRows):
            # The part of the rows that failed warns, if it failed as well;
            # this part only notes the file.
            if options["on_error"] == "raise":
                _fleet.failed(path, error.__cause__ or error, "raise", None)
            skipped.append((path, str(error)))
        else:
            _fleet.failed(path, error, options["on_error"], skipped)
        frame.attrs["skipped"] = skipped
        return frame
    frame = _pandas(table.select(list(chosen.columns)))
    frame["file"] = np.full(len(frame), number, np.int32)
    return frame


def _name_files(frame, files):
    """A partition of _read_file with its `file` column as the categorical
    of all files: `files` is an empty categorical Series of them, the one
    partition of a dask Series that every partition of the files shares,
    so that the list is one key of the graph, which each worker fetches
    once, not a part of every file's task."""
    import pandas as pd
    return frame.assign(file=pd.Categorical.from_codes(
        frame["file"].to_numpy(), dtype=files.dtype))


def _open_and_read(path: str, chosen, storage_options, part: int,
                   parts: int):
    if "://" not in path:
        return _fleet.read_part(path, chosen.passwords, chosen, part, parts)
    fs, inner = _filesystem(path, storage_options)
    if _is_local(fs):
        return _fleet.read_part(inner, chosen.passwords, chosen, part, parts)
    with fs.open(inner, "rb") as file:
        return _fleet.read_part(file, chosen.passwords, chosen, part, parts)


def _skipped_of(frame):
    """The (path, reason) of a partition's skipped file, if any."""
    import pandas as pd
    rows = frame.attrs.get("skipped", [])
    return pd.DataFrame({
        "path": pd.Series([path for path, _ in rows], dtype=object),
        "reason": pd.Series([why for _, why in rows], dtype=object)})


def _parts(path: str, error: Optional[Exception], blocksize: Optional[int],
           storage_options: Optional[dict]) -> int:
    """Partitions of one file: one, or one per `blocksize` bytes."""
    if blocksize is None or error is not None:
        return 1
    try:
        if "://" not in path:
            size = os.path.getsize(path)
        else:
            fs, inner = _filesystem(path, storage_options)
            size = fs.size(inner)
    except OSError:
        return 1  # the partition reports why it cannot read the file
    return max(1, -(-int(size or 0) // blocksize))


def _blocksize(blocksize: Any) -> Optional[int]:
    if blocksize is None:
        return None
    if isinstance(blocksize, str):
        from dask.utils import parse_bytes
        try:
            blocksize = parse_bytes(blocksize)
        except (ValueError, TypeError) as error:
            raise ValueError("blocksize: %s" % error) from None
    if isinstance(blocksize, bool) or not isinstance(blocksize, int) \
            or blocksize < 1:
        raise ValueError("blocksize must be a positive number of bytes "
                         "(or a text like '256 MiB'), not %r" % (blocksize,))
    return blocksize


def _pandas(table):
    """`table` as pandas, the payloads as Arrow binary (object columns of
    bytes would be taken for strings by dask)."""
    import pandas as pd
    import pyarrow as pa

    if "data" in table.column_names:
        # One type for every partition, whatever its size.
        table = table.set_column(
            table.column_names.index("data"), "data",
            table.column("data").cast(pa.large_binary()))
    return table.to_pandas(types_mapper=lambda kind: pd.ArrowDtype(kind)
                           if pa.types.is_large_binary(kind) else None)


def _meta(columns: Sequence[str], files: Any = None):
    """The empty frame of every partition: its `file` column the file
    numbers of _read_file, or, with `files` (a pandas.CategoricalDtype),
    the file names."""
    import numpy as np
    import pandas as pd
    pa = _fleet._columns._need("pyarrow", "dask", "read_logs")
    frame = _pandas(_fleet.empty_table(pa, columns))
    frame["file"] = (np.zeros(0, np.int32) if files is None
                     else pd.Categorical([], dtype=files))
    return frame


def _graph_meta(columns: Sequence[str], files: Any = None):
    """_meta as the graph has it: the categories of `channel` are those
    the partitions meet."""
    from dask.dataframe.utils import clear_known_categories
    frame = _meta(columns, files)
    if "channel" in frame:
        frame = clear_known_categories(frame, cols=["channel"])
    return frame


def read_logs(paths: Any, *, passwords: Optional[Mapping[str, str]] = None,
              columns: Optional[Sequence[str]] = None,
              channels: Optional[Sequence[str]] = None,
              ids: Optional[Sequence[int]] = None,
              kinds: Optional[Sequence[str]] = None,
              start: Optional[float] = None, stop: Optional[float] = None,
              on_error: str = "raise", blocksize: Any = None,
              storage_options: Optional[Mapping[str, Any]] = None,
              any_writer: bool = False) -> Any:
    """The frames of many logs as a dask.dataframe.DataFrame built with
    dask.dataframe.from_map: one partition per file (or per `blocksize`
    bytes of a big file), in the order of the files, each file's frames in
    the order of MdfFile.to_arrow; the columns of MdfFile.to_pandas and a
    categorical `file` column (categories: all files). The column types
    are known without reading any file.

    `paths`: as for python_can_brenix_mf4.read_logs, local or fsspec URLs
    ("s3://...", "memory://...", with `storage_options`). Only the paths,
    passwords, filters and options go into the graph: workers read the
    files themselves (they need this package and access to the files).
    Passwords thereby travel in the graph to the workers. `any_writer`:
    read logs of any MF4 writer (see MdfFile).

    `blocksize` (bytes, or a text like "256 MiB"; default: one partition
    per file) splits a file of more bytes into that many partitions of
    about equal rows (by the frame count in the file's metadata; an
    unfinalized file without counts stays whole). Each partition decodes
    the file from its start to the end of its rows and keeps only its own,
    so a split bounds the memory of each task, not the decoding work.

    A file that cannot be read raises RuntimeError naming it and the
    reason when its partition is computed (on_error="raise"), or gives an
    empty partition (on_error="skip"): one warning on the worker's
    "python_can_brenix_mf4" logger names the file and the reason, and the
    returned DataFrame's `skipped` attribute, a dask DataFrame of the
    columns path and reason, lists it. Compute it together with the
    result so that each file is read once:

        frames = read_logs("logs/", on_error="skip")
        counts, skipped = dask.compute(
            frames.groupby("file", observed=True).size(), frames.skipped)
    """
    dd = _dask_dataframe()
    _fleet.check_on_error(on_error)
    if storage_options is not None and not isinstance(storage_options,
                                                      Mapping):
        raise TypeError("storage_options must be a dict")
    chosen = _fleet.Options(passwords, columns, channels, ids, kinds, start,
                            stop, any_writer)
    block = _blocksize(blocksize)
    storage = dict(storage_options) if storage_options else None
    files = _expand(_fleet.path_list(paths), storage)
    sources = []
    for number, (path, error) in enumerate(files):
        why = None if error is None else _fleet.reason(error)
        parts = _parts(path, error, block, storage)
        sources += [(number, path, why, part, parts)
                    for part in range(parts)]
    options = {"passwords": chosen.passwords, "columns": chosen.columns,
               "filters": chosen.filters, "any_writer": chosen.any_writer,
               "on_error": on_error, "storage_options": storage}
    import pandas as pd
    names = pd.CategoricalDtype([p for p, _ in files])
    meta = _graph_meta(chosen.columns, names)
    if not sources:
        frames = dd.from_pandas(meta, npartitions=1)
    else:
        shared = dd.from_pandas(pd.Series(pd.Categorical([], dtype=names),
                                          name="file"), npartitions=1,
                                sort=False)
        frames = dd.from_map(_read_file, sources, options=options,
                             meta=_graph_meta(chosen.columns),
                             label="read-logs",
                             enforce_metadata=False).map_partitions(
            _name_files, shared, meta=meta, enforce_metadata=False)
    frames.skipped = frames.map_partitions(
        _skipped_of, meta=_skipped_of(meta.iloc[:0]),
        enforce_metadata=False).drop_duplicates(subset=["path"], split_out=1)
    return frames
