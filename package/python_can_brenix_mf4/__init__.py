"""Reader of ASAM MDF 4.x bus logs (MF4) from CAN and LIN data loggers for
python-can: MdfFile yields every logged frame as a can.Message
(CanMsgExtension), and gives all frames at once as columns (to_numpy,
iter_batches, to_arrow, to_pandas, to_polars) and decodes the signals of a
CAN database from them (decode_signals). finalize writes a finalized,
sorted copy of a log; register makes python-can's LogReader, player and
logconvert read .mf4 files with MdfFile; the `mf4` command looks into logs
from a terminal; read_logs reads a fleet of logs into one table
(python_can_brenix_mf4.dask.read_logs: on Dask)."""
from ._native import CanMsgExtension, MdfFile, MdfFileIterator, __version__
from . import _columns, _signals
from ._finalize import finalize
from ._fleet import read_logs
from ._register import register
from ._signals import decode_signals

_columns.install(MdfFile)
_signals.install(MdfFile)
del _columns, _signals

__all__ = ["CanMsgExtension", "MdfFile", "MdfFileIterator",
           "decode_signals", "finalize", "read_logs", "register"]
