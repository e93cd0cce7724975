"""The committed sample logs are what the sample script writes, and each
opens to the same log with the documented password."""
import pathlib

import heatshrink2
import pytest
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from support.mf4writer.containers import derive_key
from support.mf4writer.samples import (DEMO_DEVICE_ID, DEMO_PASSWORD,
                                       build_samples, sample_log)

SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "samples"
BUILT = build_samples()


def test_committed_samples_are_regenerated_exactly():
    committed = {p.name: p.read_bytes() for p in SAMPLES.glob("*.mf4")}
    assert sorted(committed) == sorted(BUILT)
    for name, data in BUILT.items():
        assert committed[name] == data, name


def _open(data):
    """Unwraps containers the way a reader does, with the demo password."""
    while data[:12] == b"Generic File":
        assert int.from_bytes(data[16:20], "big") == DEMO_DEVICE_ID
        if data[14] == 0x22:
            data = heatshrink2.decompress(data[28:-4], window_sz2=11,
                                          lookahead_sz2=4)
        else:
            key = derive_key(DEMO_PASSWORD, data[36:52],
                             int.from_bytes(data[32:36], "big"))
            data = AESGCM(key).decrypt(data[20:32], data[52:], data[:52])
    return data


@pytest.mark.parametrize("name", sorted(BUILT))
def test_every_sample_holds_the_plain_log(name):
    assert _open(BUILT[name]) == BUILT["plain.mf4"]


def test_sample_content():
    messages = sample_log().expected()
    channels = {m["channel"] for m in messages}
    assert channels == {"CAN 1", "CAN 2", "LIN 1", "LIN 2"}
    assert any(m.get("is_fd") for m in messages)
    assert any(m.get("is_remote_frame") for m in messages)
    assert any(m.get("is_error_frame") for m in messages)
    assert len(messages) == 1000
    assert all(a["timestamp"] < b["timestamp"]
               for a, b in zip(messages, messages[1:]))
