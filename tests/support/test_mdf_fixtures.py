"""The committed file-reading fixtures of the C++ tests (tests/cpp/mdf/)
are exactly what their generator writes with the project's MF4 writer."""
import importlib.util
import pathlib

import pytest

FIXTURES = (pathlib.Path(__file__).resolve().parents[1]
            / "cpp" / "fixtures" / "mdf")


def load_generator():
    spec = importlib.util.spec_from_file_location(
        "make_mdf_fixtures", FIXTURES / "make_fixtures.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


GENERATED = load_generator().build()


def test_every_committed_fixture_is_generated():
    committed = {p.name for p in FIXTURES.iterdir()
                 if p.suffix in (".mf4", ".truth")}
    assert committed == set(GENERATED)


@pytest.mark.parametrize("name", sorted(GENERATED))
def test_fixture_matches_generator(name):
    assert (FIXTURES / name).read_bytes() == GENERATED[name]
