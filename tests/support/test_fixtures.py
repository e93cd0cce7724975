"""The committed fixtures of the C++ tests are exactly what their
generators write: the project's MF4 writer, and for the containers the
independent encoders (heatshrink2, cryptography)."""
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
