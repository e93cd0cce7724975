#!/usr/bin/env python3
"""Writes a big MF4 bus log with the test writer, for the reader benchmarks.

    python3 benchmarks/write_big_log.py OUT.mf4 [--frames N] [--seed S]
        [--shape unsorted|sorted] [--vlsd none|sd|cg] [--fd] [--lin]
        [--mix] [--ids COUNT] [--compress] [--encrypt PASSWORD]

The default is what a logger writes: one unsorted data group (1-byte
record ids) of classic CAN data frames, 10 million of them. --mix writes
the mixed log of the message benchmark instead: one unsorted data group of
70% classic CAN data frames, 20% CAN FD frames with 64-byte payloads in a
VLSD channel group and 10% LIN frames. --shape sorted writes a sorted,
finalized log: one data group per channel group and bus channel (payloads
in VLSD channels then take signal data blocks). --ids COUNT writes classic
CAN data frames of 8 random bytes whose ids are 0x100 to 0x100 + COUNT - 1
(those of the signal benchmark's database).
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tests"))

import numpy as np  # noqa: E402

from support.mf4writer import (CAN_DATA, LIN_FRAME, DataGroup,  # noqa: E402
                               FrameTable, build_mf4, compress, encrypt,
                               random_traffic)
from support.mf4writer.layouts import can_data_layout  # noqa: E402

FD_LENGTH_CODE = 15  # 64 bytes


def mixed_traffic(count, seed, fd_vlsd="cg"):
    """70% classic CAN, 20% CAN FD with 64-byte payloads (their own channel
    group, the payload in a VLSD channel group, or with `fd_vlsd` "sd" in a
    signal data block), 10% LIN, interleaved."""
    classic, fd, lin = random_traffic(
        count, seed, kinds=(CAN_DATA, CAN_DATA, LIN_FRAME),
        weights=(0.7, 0.2, 0.1))
    rng = np.random.default_rng(seed + 1)
    n = len(fd)
    columns = dict(fd.columns)
    columns.update(EDL=np.ones(n, np.uint8),
                   BRS=(rng.random(n) < 0.5).astype(np.uint8),
                   DLC=np.full(n, FD_LENGTH_CODE), DataLength=np.full(n, 64))
    fd = FrameTable(CAN_DATA, columns,
                    rng.integers(0, 256, (n, 64), dtype=np.uint8),
                    np.full(n, 64), layout=can_data_layout(64, fd_vlsd))
    return [classic, fd, lin]


def database_traffic(count, seed, ids):
    """Classic CAN data frames of 8 random bytes, ids 0x100 to 0x100 +
    `ids` - 1 at random."""
    (table,) = random_traffic(count, seed, kinds=(CAN_DATA,))
    rng = np.random.default_rng(seed + 1)
    columns = dict(table.columns)
    columns.update(ID=0x100 + rng.integers(0, ids, count),
                   IDE=np.zeros(count, np.uint8), EDL=np.zeros(count, np.uint8),
                   DLC=np.full(count, 8), DataLength=np.full(count, 8))
    return [FrameTable(CAN_DATA, columns,
                       rng.integers(0, 256, (count, 8), dtype=np.uint8),
                       np.full(count, 8))]


def by_bus_channel(tables):
    """Each table split into one table per bus channel."""
    split = []
    for table in tables:
        channels = table.column("BusChannel")
        for channel in np.unique(channels):
            split.append(table.take(np.flatnonzero(channels == channel)))
    return split


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out")
    parser.add_argument("--frames", type=int, default=10_000_000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--shape", choices=("unsorted", "sorted"),
                        default="unsorted")
    parser.add_argument("--vlsd", choices=("none", "sd", "cg"),
                        default="none")
    parser.add_argument("--fd", action="store_true",
                        help="CAN FD frames of up to 64 bytes as well")
    parser.add_argument("--lin", action="store_true",
                        help="LIN frames as well")
    parser.add_argument("--mix", action="store_true",
                        help="the mixed log of the message benchmark")
    parser.add_argument("--ids", type=int, metavar="COUNT",
                        help="classic CAN frames of COUNT ids from 0x100")
    parser.add_argument("--compress", action="store_true")
    parser.add_argument("--encrypt", metavar="PASSWORD")
    args = parser.parse_args()

    began = time.perf_counter()
    kinds = (CAN_DATA, LIN_FRAME) if args.lin else (CAN_DATA,)
    vlsd = None if args.vlsd == "none" else args.vlsd
    if args.mix:
        traffic = mixed_traffic(args.frames, args.seed,
                                "sd" if args.shape == "sorted" else "cg")
    elif args.ids:
        traffic = database_traffic(args.frames, args.seed, args.ids)
    else:
        traffic = random_traffic(args.frames, args.seed, kinds=kinds,
                                 fd=args.fd)
    if args.shape == "sorted":
        groups = [DataGroup([t], record_id_size=0, vlsd=vlsd)
                  for t in by_bus_channel(traffic)]
    else:
        groups = [DataGroup(traffic, record_id_size=1, vlsd=vlsd)]
    log = build_mf4(groups)
    if args.compress or args.encrypt:
        data = log.data
        if args.compress:
            data = compress(data)
        if args.encrypt:
            data = encrypt(data, args.encrypt)
        with open(args.out, "wb") as out:
            out.write(data)
        size = len(data)
    else:
        log.write(args.out)
        size = log.size
    print("%s: %d frames, %d bytes, %.1f s" % (
        args.out, args.frames, size, time.perf_counter() - began))


if __name__ == "__main__":
    main()
