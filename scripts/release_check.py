"""Proves an installed release: run by scripts/release.sh in a fresh
environment, outside the source tree, with DeprecationWarnings as errors.

    python -W error::DeprecationWarning release_check.py VERSION SAMPLES_DIR

Checks that the module imports, that its __version__ is the distribution's
and VERSION, and that the bundled samples (plain, compressed, encrypted,
encrypted around compressed) all yield the same, non-empty list of frames,
as messages and as numpy columns.
"""
import pathlib
import sys
from importlib.metadata import version

import python_can_brenix_mf4
from python_can_brenix_mf4 import MdfFile

# The samples come from device 0001E240; samples/README.md gives the password.
PASSWORDS = {"0001E240": "brenix-demo"}
SHAPES = ("plain", "compressed", "encrypted", "nested")


def frames(path):
    """The messages of a log, checked against its numpy columns."""
    with MdfFile(str(path), passwords=PASSWORDS) as log:
        messages = [(m.timestamp, m.channel, m.arbitration_id, m.dlc,
                     bytes(m.data), m.is_extended_id, m.is_fd)
                    for m in log]
        columns = log.to_numpy(columns=["arbitration_id"])
    if list(columns["arbitration_id"]) != [m[2] for m in messages]:
        sys.exit("%s: the columns differ from the messages" % path)
    return messages


def main(expected_version, samples):
    installed = version("python-can-brenix-mf4")
    module_version = python_can_brenix_mf4.__version__
    if not expected_version == installed == module_version:
        sys.exit("version: expected %s, distribution %s, module %s"
                 % (expected_version, installed, module_version))
    read = {shape: frames(pathlib.Path(samples) / (shape + ".mf4"))
            for shape in SHAPES}
    if not read["plain"] or any(read[s] != read["plain"] for s in SHAPES):
        sys.exit("samples: %s" % {s: len(f) for s, f in read.items()})
    print("python %d.%d: python_can_brenix_mf4 %s, %d frames in each of %s"
          % (sys.version_info[0], sys.version_info[1], module_version,
             len(read["plain"]), ", ".join(SHAPES)))


if __name__ == "__main__":
    main(*sys.argv[1:])
