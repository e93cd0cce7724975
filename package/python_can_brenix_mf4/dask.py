"""Fleets of logs on Dask: read_logs gives the frames of many logs as a
dask.dataframe.DataFrame, one partition per file, for a cluster or the
local machine (needs the extra: pip install 'python-can-brenix-mf4[dask]').

    from distributed import Client
    from python_can_brenix_mf4.dask import read_logs
    client = Client()
    frames = read_logs("s3://bucket/logs/**/*.MF4", channels=["CAN 1"])
    frames.groupby(["file", "arbitration_id"], observed=True).size().compute()
"""
from __future__ import annotations

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


def _read_file(source: Tuple[int, str, Optional[str]], options: dict):
    """The partition of one file (a pandas.DataFrame); runs on a worker.
    `source` is (file number, path or URL, error text when the file is
    known to be missing); `options` holds the passwords, the filters, the
    columns, on_error, the files and the storage options."""
    import pandas as pd
    number, path, missing = source
    chosen = _fleet.Options(options["passwords"], options["columns"],
                            **options["filters"])
    try:
        if missing is not None:
            raise FileNotFoundError(missing)
        table = _open_and_read(path, chosen, options["storage_options"])
    except MemoryError:
        raise
    except Exception as error:  # noqa: BLE001 - reported per file
        _fleet.failed(path, error, options["on_error"], None)
        return _meta(options)
    frame = _pandas(table.select(list(chosen.columns)))
    frame["file"] = pd.Categorical.from_codes(
        [number] * len(frame), categories=options["files"])
    return frame


def _open_and_read(path: str, chosen, storage_options):
    if "://" not in path:
        return _fleet.read_one(path, chosen.passwords, chosen)
    fs, inner = _filesystem(path, storage_options)
    if _is_local(fs):
        return _fleet.read_one(inner, chosen.passwords, chosen)
    with fs.open(inner, "rb") as file:
        return _fleet.read_one(file, chosen.passwords, chosen)


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


def _meta(options: dict):
    """The empty frame of every partition."""
    import pandas as pd
    pa = _fleet._columns._need("pyarrow", "dask", "read_logs")
    frame = _pandas(_fleet.empty_table(pa, options["columns"]))
    frame["file"] = pd.Categorical([], categories=options["files"])
    return frame


def read_logs(paths: Any, *, passwords: Optional[Mapping[str, str]] = None,
              columns: Optional[Sequence[str]] = None,
              channels: Optional[Sequence[str]] = None,
              ids: Optional[Sequence[int]] = None,
              kinds: Optional[Sequence[str]] = None,
              start: Optional[float] = None, stop: Optional[float] = None,
              on_error: str = "raise",
              storage_options: Optional[Mapping[str, Any]] = None) -> Any:
    """The frames of many logs as a dask.dataframe.DataFrame built with
    dask.dataframe.from_map: one partition per file, in the order of the
    files, each file's frames in the order of MdfFile.to_arrow; the columns
    of MdfFile.to_pandas and a categorical `file` column (categories: all
    files). The column types are known without reading any file.

    `paths`: as for python_can_brenix_mf4.read_logs, local or fsspec URLs
    ("s3://...", "memory://...", with `storage_options`). Only the paths,
    passwords, filters and options go into the graph: workers read the
    files themselves (they need this package and access to the files).
    Passwords thereby travel in the graph to the workers.

    A file that cannot be read raises RuntimeError naming it and the
    reason when its partition is computed (on_error="raise"), or gives an
    empty partition (on_error="skip"): one warning on the worker's
    "python_can_brenix_mf4" logger names the file and the reason.

        frames = read_logs("logs/", on_error="skip")
        frames.groupby("file", observed=True).size().compute()
    """
    dd = _dask_dataframe()
    _fleet.check_on_error(on_error)
    if storage_options is not None and not isinstance(storage_options,
                                                      Mapping):
        raise TypeError("storage_options must be a dict")
    chosen = _fleet.Options(passwords, columns, channels, ids, kinds, start,
                            stop)
    storage = dict(storage_options) if storage_options else None
    files = _expand(_fleet.path_list(paths), storage)
    sources = [(i, path, None if error is None else _fleet.reason(error))
               for i, (path, error) in enumerate(files)]
    options = {"passwords": chosen.passwords, "columns": chosen.columns,
               "filters": chosen.filters,
               "on_error": on_error, "files": [p for p, _ in files],
               "storage_options": storage}
    meta = _meta(options)
    if "channel" in meta:
        meta = dd.utils.clear_known_categories(meta, cols=["channel"])
    if not sources:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_map(_read_file, sources, options=options, meta=meta,
                       label="read-logs", enforce_metadata=False)
