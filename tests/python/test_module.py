"""The extension module builds once as abi3 and imports on every interpreter."""
import sys

import python_can_brenix_mf4 as mod


def test_module_is_the_stable_abi_build():
    # One wheel serves CPython 3.9 to 3.13, so the binary must be abi3.
    assert mod.__file__.endswith(".abi3.so"), mod.__file__
    assert mod.__name__ == "python_can_brenix_mf4"


def test_running_on_a_supported_interpreter():
    assert (3, 9) <= sys.version_info[:2] <= (3, 13)
