"""Corruption sweep over the sample logs: copies cut short, with bits
flipped or bytes overwritten at random places (a fixed seed), and copies
of the plain log with hostile block lengths, link counts and links. Each
either reads or raises a Python exception; none may crash the interpreter,
and none may raise anything but the reader's own failures (a MemoryError
would mean an allocation sized by a damaged field)."""
import io
import logging
import os
import random
import struct

import pytest

from python_can_brenix_mf4 import MdfFile
from support.mf4writer.samples import (DEMO_DEVICE_ID, DEMO_PASSWORD,
                                       samples_dir)

PASSWORDS = {"%08X" % DEMO_DEVICE_ID: DEMO_PASSWORD}
FAILURES = (RuntimeError, ValueError, OSError)
FRAMES = 1000

# Damaged copies per shape: every open of an encrypted shape derives a key
# first, which costs more than reading the whole plain log.
COPIES = {"plain": 250, "compressed": 200, "encrypted": 40, "nested": 40}


def sample(shape):
    with open(os.path.join(samples_dir(), shape + ".mf4"), "rb") as f:
        return f.read()


def read(data):
    """The number of messages read from data, or the failure raised on the
    way (at the open, by get_metadata, while the frames are read as columns
    or during the iteration)."""
    try:
        with MdfFile(io.BytesIO(data), passwords=PASSWORDS) as log:
            log.get_metadata()
            log.to_numpy(columns=["timestamp", "data"])
            count = 0
            for _ in log:
                count += 1
            return count
    except FAILURES as error:
        return error


def damaged_copies(data, count, seed):
    """`count` damaged copies of data: truncated, bits flipped, or 1 to 8
    bytes overwritten with zeros, ones or random bytes."""
    rng = random.Random(seed)
    for _ in range(count):
        copy = bytearray(data)
        kind = rng.randrange(3)
        if kind == 0:
            del copy[rng.randrange(len(copy)):]
        elif kind == 1:
            for _ in range(rng.randint(1, 8)):
                copy[rng.randrange(len(copy))] ^= 1 << rng.randrange(8)
        else:
            at, width = rng.randrange(len(copy)), rng.choice((1, 2, 4, 8))
            fill = rng.choice((b"\0" * width, b"\xff" * width,
                               bytes(rng.randrange(256) for _ in range(width))))
            copy[at:at + width] = fill
        yield bytes(copy)


@pytest.fixture(autouse=True)
def quiet_library_log():
    # Every damaged copy logs why it failed; thousands of lines say nothing.
    logger = logging.getLogger("python_can_brenix_mf4")
    level = logger.level
    logger.setLevel(logging.CRITICAL)
    yield
    logger.setLevel(level)


@pytest.mark.parametrize("shape", sorted(COPIES))
def test_damaged_samples_read_or_raise(shape):
    data = sample(shape)
    assert read(data) == FRAMES
    outcomes = [read(copy) for copy in
                damaged_copies(data, COPIES[shape], seed=len(shape))]
    assert any(isinstance(o, Exception) for o in outcomes)
    # A damaged copy holds no frames the recording did not.
    assert all(isinstance(o, Exception) or o <= FRAMES for o in outcomes)
    if shape == "plain":
        # Damage that the open does not notice is read past.
        assert any(isinstance(o, int) for o in outcomes)
    else:
        # A checksum or an authentication tag guards the content: what a
        # damaged container yields at all is the whole recording.
        assert all(o == FRAMES or isinstance(o, RuntimeError)
                   for o in outcomes)


# Blocks of the plain log: (offset, link count), found by following every
# link from the header block.
def blocks_of(data):
    found, todo = {}, [64]
    while todo:
        at = todo.pop()
        if at == 0 or at in found:
            continue
        _, _, links = struct.unpack_from("<4s4xQQ", data, at)
        found[at] = links
        todo.extend(struct.unpack_from("<%dQ" % links, data, at + 24))
    return sorted(found.items())


def test_hostile_block_fields_read_or_raise():
    data = sample("plain")
    blocks = blocks_of(data)
    assert len(blocks) > 50
    rng = random.Random(7)
    for at, links in blocks:
        variants = [(at + 8, 0), (at + 8, 2**63 + 8), (at + 16, 2**61),
                    (at + 16, links + 1)]
        for i in range(links):
            variants += [(at + 24 + 8 * i, len(data) + 8),
                         (at + 24 + 8 * i, 1),
                         (at + 24 + 8 * i, rng.choice(blocks)[0])]
        for where, value in variants:
            copy = bytearray(data)
            struct.pack_into("<Q", copy, where, value)
            outcome = read(bytes(copy))
            # A reader's failure, or no more frames than the recording.
            assert isinstance(outcome, FAILURES) or outcome <= FRAMES, (
                at, where, value, outcome)


def test_a_block_linking_itself_fails_the_open():
    # Through any of its links: a cycle of one block.
    data = sample("plain")
    for at, links in blocks_of(data):
        for i in range(links):
            copy = bytearray(data)
            struct.pack_into("<Q", copy, at + 24 + 8 * i, at)
            outcome = read(bytes(copy))
            assert isinstance(outcome, RuntimeError), (at, i)
            assert str(outcome) == "Could not open data source"
