"""Finalize and sort: python_can_brenix_mf4.finalize writes a logger's
unfinalized, unsorted MF4 file (plain, compressed or encrypted) as a
finalized, sorted one that other MDF tools read."""
from __future__ import annotations

import os
import tempfile
from typing import IO, Mapping, Optional, Union

from ._native import MdfFile

_Path = Union[str, "os.PathLike[str]"]


def finalize(src: Union[_Path, IO[bytes]], dst: _Path,
             passwords: Optional[Mapping[str, str]] = None) -> None:
    """Finalize and sort the log `src` (a path or open binary file; plain,
    compressed or encrypted, `passwords` as for MdfFile) and write it to
    the path `dst` as a finalized, sorted MF4 file. Raises as MdfFile does
    for an unreadable `src`, RuntimeError when its records cannot be told
    apart (its cause names the data group), OSError when they cannot be
    read or `dst` cannot be written; `dst` is then untouched.

    >>> finalize("logger.mf4", "finalized.mf4",
    ...          passwords={"0001E240": "secret"})  # doctest: +SKIP
    """
    with MdfFile(src, passwords=dict(passwords) if passwords else None) \
            as log:
        content = log._finalized()
    write_atomically(dst, content)


def write_atomically(path: _Path, content: bytes) -> None:
    """`content` as the file `path`: written beside it, then renamed, so
    that a failure leaves no half-written file."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".mf4-",
                                         suffix=".tmp")
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        with os.fdopen(handle, "wb") as out:
            out.write(content)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
