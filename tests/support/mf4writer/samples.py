"""The sample logs under samples/: one small log of a CAN/LIN logger in
each shape, for the demo and for users to try.

  plain.mf4       finalized MF4 file, one unsorted data group
  compressed.mf4  plain.mf4 in a compressed container with CRC footer
  encrypted.mf4   plain.mf4 in an encrypted container
  nested.mf4      compressed.mf4 in an encrypted container

Rewrite them with `python3 tests/support/make_samples.py` (or, from
tests/, `python3 -m support.mf4writer.samples [DIR]`); the same code gives
the same bytes.
"""
from __future__ import annotations

import os
import sys
from typing import Dict

from .comments import Prop
from .containers import compress, encrypt
from .frames import random_traffic
from .layouts import CAN_DATA, CAN_ERROR, CAN_REMOTE, LIN_FRAME
from .writer import DataGroup, Mf4Log, build_mf4

DEMO_PASSWORD = "brenix-demo"
DEMO_DEVICE_ID = 0x0001E240          # looked up as "0001E240"
ITERATIONS = 10000
SEED = 2024
FRAMES = 1000
# 2024-05-01T12:00:00Z
START_NS = 1714564800 * 10**9

METADATA = {
    "serial": Prop("0001E240", ro=True),
    "firmware": Prop("01.04.02", ro=True),
    "session": Prop("17", type="integer"),
    "CAN1": {"bitrate": Prop("500", type="integer", unit="kbit/s"),
             "bitrate_fd": Prop("2000", type="integer", unit="kbit/s")},
    "LIN1": {"bitrate": Prop("19.2", type="float", unit="kbit/s")},
    "note": Prop("demo log written by the project's test writer"),
}


def sample_log() -> Mf4Log:
    """A logger's file: CAN data (classic and FD), remote and error
    frames and LIN frames on two channels each, interleaved in one
    unsorted data group, payloads in a VLSD channel group."""
    traffic = random_traffic(FRAMES, SEED, kinds=(CAN_DATA, CAN_REMOTE,
                                                  CAN_ERROR, LIN_FRAME),
                             weights=(0.7, 0.05, 0.05, 0.2), fd=True,
                             mean_gap_ticks=10000)
    return build_mf4([DataGroup(traffic, record_id_size=1, vlsd="cg")],
                     start_time_ns=START_NS, metadata=METADATA,
                     header_text="Sample recording")


def build_samples() -> Dict[str, bytes]:
    plain = sample_log().data
    compressed = compress(plain, device_id=DEMO_DEVICE_ID)
    return {
        "plain.mf4": plain,
        "compressed.mf4": compressed,
        "encrypted.mf4": encrypt(plain, DEMO_PASSWORD,
                                 device_id=DEMO_DEVICE_ID,
                                 iterations=ITERATIONS, seed=SEED),
        "nested.mf4": encrypt(compressed, DEMO_PASSWORD,
                              device_id=DEMO_DEVICE_ID,
                              iterations=ITERATIONS, seed=SEED + 1),
    }


def samples_dir() -> str:
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, os.pardir, os.pardir, os.pardir, "samples")


def main(argv=None) -> None:
    argv = sys.argv[1:] if argv is None else argv
    target = os.path.normpath(argv[0] if argv else samples_dir())
    os.makedirs(target, exist_ok=True)
    for name, data in build_samples().items():
        with open(os.path.join(target, name), "wb") as out:
            out.write(data)
        print("%s: %d bytes" % (os.path.join(target, name), len(data)))


if __name__ == "__main__":
    main()
