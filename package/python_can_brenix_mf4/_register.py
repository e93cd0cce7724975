"""python_can_brenix_mf4.register(): python-can's LogReader, can.player
and can.logconvert read .mf4 files with MdfFile."""
from __future__ import annotations

from can.io.generic import MessageReader

from ._native import MdfFile


class AnyWriterMdfFile(MessageReader):
    """The reader register(any_writer=True) gives python-can: making one
    makes an MdfFile that reads logs of any MF4 writer (unless the caller
    says otherwise). MdfFile takes no subclasses; python-can wants a
    MessageReader class."""

    def __new__(cls, file, **kwargs):  # type: ignore[misc]
        kwargs.setdefault("any_writer", True)
        return MdfFile(file, **kwargs)


def register(any_writer: bool = False) -> None:
    """Make python-can read ".mf4" files (any case) with MdfFile in this
    process: can.LogReader, and can.player and can.logconvert run through
    their main() functions. python-can chooses its own reader for the
    suffix otherwise, and its plugins cannot take over a suffix it knows.
    With `any_writer`, logs of any MF4 writer are read (see MdfFile), such
    as those python-can's own MF4Writer makes.

    >>> import can, python_can_brenix_mf4
    >>> python_can_brenix_mf4.register(any_writer=True)
    >>> reader = can.LogReader("samples/plain.mf4")  # doctest: +SKIP
    """
    from can.io import player
    player.MESSAGE_READERS[".mf4"] = AnyWriterMdfFile if any_writer \
        else MdfFile
