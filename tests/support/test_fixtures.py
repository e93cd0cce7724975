"""The committed fixtures of the C++ tests are exactly what their
generators write: the project's MF4 writer, and for the containers the
independent encoders (heatshrink2, cryptography)."""
import importlib.util

import pytest

from support.fixture_files import (FIXTURES, FOLDERS, committed,
                                   load_generator)

GENERATED = {folder: load_generator(folder).build() for folder in FOLDERS}


@pytest.mark.parametrize("folder", FOLDERS)
def test_every_committed_fixture_is_generated(folder):
    assert committed(folder) == set(GENERATED[folder])


@pytest.mark.parametrize("folder,name", [
    (folder, name) for folder in FOLDERS for name in sorted(GENERATED[folder])])
def test_fixture_matches_generator(folder, name):
    assert (FIXTURES / folder / name).read_bytes() == GENERATED[folder][name]


def test_fuzz_seeds_match_generator():
    """fuzz/corpus/ holds exactly what fuzz/make_corpus.py writes."""
    corpus = FIXTURES.parents[2] / "fuzz" / "corpus"
    found = importlib.util.spec_from_file_location(
        "make_corpus", corpus.parent / "make_corpus.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    for target, files in module.build().items():
        assert {p.name for p in (corpus / target).iterdir()} == set(files)
        for name, data in files.items():
            assert (corpus / target / name).read_bytes() == data, name
