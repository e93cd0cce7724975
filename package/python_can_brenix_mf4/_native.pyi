# Types of the native extension, as python_can_brenix_mf4 exposes them.
from os import PathLike
from typing import (Any, BinaryIO, Dict, Iterator, Mapping, Optional,
                    Sequence, Union)

import can

__version__: str

_Columns = Dict[str, Any]  # column name -> numpy.ndarray


class CanMsgExtension(can.Message):
    ...


class MdfFileIterator:
    def __iter__(self) -> "MdfFileIterator": ...
    def __next__(self) -> CanMsgExtension: ...


class MdfFile(can.io.generic.MessageReader):
    def __init__(self, file: Union[str, "PathLike[str]", BinaryIO],
                 passwords: Optional[Mapping[str, str]] = ...,
                 skip_unknown_records: bool = ...,
                 any_writer: bool = ...,
                 **kwargs: Any) -> None: ...
    def __iter__(self) -> Iterator[CanMsgExtension]: ...
    def get_metadata(self) -> Dict[str, Dict[str, Any]]: ...
    def close(self, *args: Any) -> None: ...
    def stop(self) -> None: ...
    def to_numpy(self, *, channels: Optional[Sequence[str]] = ...,
                 ids: Optional[Sequence[int]] = ...,
                 kinds: Optional[Sequence[str]] = ...,
                 start: Optional[float] = ..., stop: Optional[float] = ...,
                 columns: Optional[Sequence[str]] = ...) -> _Columns: ...
    def iter_batches(self, rows: int = ..., *,
                     channels: Optional[Sequence[str]] = ...,
                     ids: Optional[Sequence[int]] = ...,
                     kinds: Optional[Sequence[str]] = ...,
                     start: Optional[float] = ...,
                     stop: Optional[float] = ...,
                     columns: Optional[Sequence[str]] = ...
                     ) -> Iterator[_Columns]: ...
    def to_arrow(self, *, channels: Optional[Sequence[str]] = ...,
                 ids: Optional[Sequence[int]] = ...,
                 kinds: Optional[Sequence[str]] = ...,
                 start: Optional[float] = ..., stop: Optional[float] = ...,
                 columns: Optional[Sequence[str]] = ...) -> Any: ...
    def to_pandas(self, *, channels: Optional[Sequence[str]] = ...,
                  ids: Optional[Sequence[int]] = ...,
                  kinds: Optional[Sequence[str]] = ...,
                  start: Optional[float] = ..., stop: Optional[float] = ...,
                  columns: Optional[Sequence[str]] = ...) -> Any: ...
    def to_polars(self, *, channels: Optional[Sequence[str]] = ...,
                  ids: Optional[Sequence[int]] = ...,
                  kinds: Optional[Sequence[str]] = ...,
                  start: Optional[float] = ..., stop: Optional[float] = ...,
                  columns: Optional[Sequence[str]] = ...) -> Any: ...
    def decode_signals(self, database: Any = ..., *,
                       databases: Optional[Mapping[str, Any]] = ...,
                       messages: Optional[Sequence[str]] = ...,
                       decode_choices: bool = ..., scaling: bool = ...,
                       as_: str = ..., channels: Optional[Sequence[str]] = ...,
                       ids: Optional[Sequence[int]] = ...,
                       start: Optional[float] = ...,
                       stop: Optional[float] = ...,
                       rows: int = ...) -> Dict[str, Any]: ...
    def __enter__(self) -> "MdfFile": ...
    def _layout(self) -> Dict[str, Any]: ...
    def _finalized(self) -> bytes: ...


class _ColumnReader:
    def __init__(self, log: MdfFile, channels: Sequence[int],
                 ids: Sequence[int], kinds: int, start: Optional[float],
                 stop: Optional[float]) -> None: ...
    def fill(self, rows: int, wanted: int,
             channel_names: Optional[bytes] = ...,
             kind_names: Optional[bytes] = ...,
             helper: bool = ...) -> tuple: ...
    def estimate(self) -> int: ...
    @staticmethod
    def split(values: bytearray, offsets: bytearray) -> list: ...


def _decode_signals(tables: tuple, rows: int, ids: Any, extended: Any,
                    channels: Any, usable: Any, payload: Any, offsets: Any,
                    lengths: Any, carried: Sequence[tuple],
                    threads: bool) -> list: ...


def _decode_log(reader: _ColumnReader, tables: tuple, batch_rows: int,
                row_numbers: bool, threads: bool) -> tuple: ...


def _channel_codes(items: Any, itemsize: int,
                   threads: bool) -> Optional[tuple]: ...
