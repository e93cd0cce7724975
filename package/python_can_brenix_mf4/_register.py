"""python_can_brenix_mf4.register(): python-can's LogReader, can.player
and can.logconvert read .mf4 files with MdfFile."""
from __future__ import annotations

from ._native import MdfFile


def register() -> None:
    """Make python-can read ".mf4" files (any case) with MdfFile in this
    process: can.LogReader, and can.player and can.logconvert run through
    their main() functions. python-can chooses its own reader for the
    suffix otherwise, and its plugins cannot take over a suffix it knows.

    >>> import can, python_can_brenix_mf4
    >>> python_can_brenix_mf4.register()
    >>> reader = can.LogReader("samples/plain.mf4")  # doctest: +SKIP
    """
    from can.io import player
    player.MESSAGE_READERS[".mf4"] = MdfFile
