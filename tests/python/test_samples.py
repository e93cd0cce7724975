"""The bundled sample logs (samples/*.mf4): every shape yields the
recording the writer made, with its metadata, using the demo password."""
import os

import pytest

from python_can_brenix_mf4 import MdfFile
from support.mf4writer.samples import (DEMO_DEVICE_ID, DEMO_PASSWORD,
                                       sample_log, samples_dir)

from conftest import attributes, expected_attributes

SHAPES = ("plain", "compressed", "encrypted", "nested")


@pytest.fixture(scope="module")
def truth():
    log = sample_log()
    return expected_attributes(log.expected()), log.expected_metadata


@pytest.mark.parametrize("shape", SHAPES)
def test_sample_logs(shape, truth):
    messages, metadata = truth
    path = os.path.join(samples_dir(), shape + ".mf4")
    with MdfFile(path, passwords={"%08X" % DEMO_DEVICE_ID: DEMO_PASSWORD}) \
            as log:
        assert [attributes(m) for m in log] == messages
        assert log.get_metadata() == metadata
