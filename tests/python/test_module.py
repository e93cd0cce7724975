"""The package and its extension module, built once as abi3, import on every
interpreter."""
import ctypes
import inspect
import logging
import sys

import pathlib

import pytest

import python_can_brenix_mf4 as mod
from python_can_brenix_mf4 import _native


def test_module_is_the_stable_abi_build():
    # One wheel serves CPython 3.9 to 3.13, so the binary must be abi3.
    assert _native.__file__.endswith(".abi3.so"), _native.__file__
    assert _native.__name__ == "python_can_brenix_mf4._native"
    assert mod.__name__ == "python_can_brenix_mf4"


def test_the_package_is_typed():
    folder = pathlib.Path(mod.__file__).parent
    assert (folder / "py.typed").is_file()
    stubs = (folder / "_native.pyi").read_text()
    for name in ("class CanMsgExtension", "class MdfFile",
                 "class MdfFileIterator", "def to_numpy", "def iter_batches",
                 "def to_arrow", "def to_pandas", "def to_polars",
                 "def decode_signals"):
        assert name in stubs


def test_running_on_a_supported_interpreter():
    assert (3, 9) <= sys.version_info[:2] <= (3, 13)


def test_module_publishes_exactly_its_types_and_functions():
    # Submodules imported meanwhile (python_can_brenix_mf4.dask) aside.
    public = {name for name, value in vars(mod).items()
              if not name.startswith("_") and not inspect.ismodule(value)}
    assert public == {"CanMsgExtension", "MdfFile", "MdfFileIterator",
                      "decode_signals", "finalize", "read_logs",
                      "register"} == set(mod.__all__)
    for name in public:
        assert getattr(mod, name).__name__ == name
        assert getattr(mod, name).__module__.startswith(
            "python_can_brenix_mf4")


def test_version_is_the_distribution_version():
    from importlib.metadata import version
    assert mod.__version__ == version("python-can-brenix-mf4")
    assert all(part.isdigit() for part in mod.__version__.split(".")[:3])


def test_types_and_methods_say_what_they_do():
    documented = [mod, _native, mod.CanMsgExtension, mod.MdfFile,
                  mod.MdfFileIterator, mod.MdfFile.close,
                  mod.MdfFile.get_metadata, mod.MdfFile.stop,
                  mod.MdfFile.to_numpy, mod.MdfFile.iter_batches,
                  mod.MdfFile.to_arrow, mod.MdfFile.to_pandas,
                  mod.MdfFile.to_polars]
    for item in documented:
        assert item.__doc__ and len(item.__doc__.split()) >= 8, item
    # The methods' docstrings carry their signatures for help() and inspect.
    assert str(inspect.signature(mod.MdfFile.get_metadata)) == "(self, /)"
    assert str(inspect.signature(mod.MdfFile.close)) == "(self, /, *args)"


def test_import_raises_no_deprecation_warning():
    # A fresh interpreter: type creation warns at import time only.
    import subprocess
    result = subprocess.run(
        [sys.executable, "-W", "error::DeprecationWarning", "-c",
         "import python_can_brenix_mf4"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("level, method", [
    (1, logging.DEBUG), (2, logging.DEBUG), (3, logging.INFO),
    (4, logging.WARNING), (5, logging.ERROR), (6, logging.CRITICAL),
    (9, logging.DEBUG)])
def test_library_log_lines_reach_the_python_logger(level, method, caplog):
    # The library's log entry point (C linkage: its plain name), called as
    # library code calls it (with the interpreter lock held: PyDLL).
    write = ctypes.PyDLL(_native.__file__)._zf_log_write
    with caplog.at_level(logging.DEBUG, logger="python_can_brenix_mf4"):
        write(level, None, b"value %d of %s", ctypes.c_int(42), b"\xffx")
    (record,) = [r for r in caplog.records
                 if r.name == "python_can_brenix_mf4"]
    assert record.levelno == method
    assert record.getMessage() == "value 42 of \ufffdx"
