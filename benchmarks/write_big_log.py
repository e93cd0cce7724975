#!/usr/bin/env python3
"""Writes a big MF4 bus log with the test writer, for the reader benchmarks.

    python3 benchmarks/write_big_log.py OUT.mf4 [--frames N] [--seed S]
        [--shape unsorted|sorted] [--vlsd none|sd|cg] [--fd] [--lin]
        [--compress] [--encrypt PASSWORD]

The default is what a logger writes: one unsorted data group (1-byte
record ids) of classic CAN data frames, 10 million of them.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tests"))

from support.mf4writer import (CAN_DATA, LIN_FRAME, DataGroup,  # noqa: E402
                               build_mf4, compress, encrypt, random_traffic)


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
                        help="LIN frames as well (unsorted only)")
    parser.add_argument("--compress", action="store_true")
    parser.add_argument("--encrypt", metavar="PASSWORD")
    args = parser.parse_args()

    began = time.perf_counter()
    kinds = (CAN_DATA, LIN_FRAME) if args.lin else (CAN_DATA,)
    traffic = random_traffic(args.frames, args.seed, kinds=kinds, fd=args.fd)
    group = DataGroup(traffic, record_id_size=0 if args.shape == "sorted"
                      else 1, vlsd=None if args.vlsd == "none" else args.vlsd)
    log = build_mf4([group])
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
