"""The committed container fixtures of the C++ tests are exactly what their
generator writes with the independent encoders (heatshrink2, cryptography).
"""
import importlib.util
import pathlib

import pytest

FIXTURES = (pathlib.Path(__file__).resolve().parents[1]
            / "cpp" / "fixtures" / "containers")


def load_generator():
    spec = importlib.util.spec_from_file_location(
        "make_container_fixtures", FIXTURES / "make_fixtures.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


GENERATED = load_generator().build()


def test_every_committed_fixture_is_generated():
    committed = {p.name for p in FIXTURES.glob("*.bin")}
    assert committed == set(GENERATED)


@pytest.mark.parametrize("name", sorted(GENERATED))
def test_fixture_matches_generator(name):
    assert (FIXTURES / name).read_bytes() == GENERATED[name]
