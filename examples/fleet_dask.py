#!/usr/bin/env python3
"""Frames per (file, channel, arbitration id) and bus load per minute over
a folder of logs, on a distributed.LocalCluster, with a progress bar.

    python3 examples/fleet_dask.py FOLDER [--workers N] [--password KEY=PW]
        [--bitrate BITS_PER_SECOND]

Needs: pip install 'python-can-brenix-mf4[dask]'. Bus load is estimated
from the frames' payload lengths: a classic CAN frame of n bytes takes
about 47 + 8n bits on the wire (stuff bits left out), so a minute's load
of a channel is the sum of those bits over bitrate * 60 seconds.
"""
import argparse

import distributed
from distributed.diagnostics.progressbar import progress

from python_can_brenix_mf4.dask import read_logs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("folder")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--password", action="append", default=[],
                        metavar="KEY=PASSWORD")
    parser.add_argument("--bitrate", type=float, default=500_000)
    args = parser.parse_args()
    passwords = dict(p.split("=", 1) for p in args.password) or None

    with distributed.LocalCluster(n_workers=args.workers,
                                  threads_per_worker=1) as cluster, \
            distributed.Client(cluster) as client:
        print("dashboard:", client.dashboard_link)
        frames = read_logs(args.folder, passwords=passwords, on_error="skip",
                           columns=["timestamp", "channel", "arbitration_id",
                                    "dlc"])
        frames["minute"] = (frames["timestamp"] // 60 * 60).astype("int64")
        frames["bits"] = 47 + 8 * frames["dlc"].astype("int64")
        counts = frames.groupby(["file", "channel", "arbitration_id"],
                                observed=True).size()
        load = frames.groupby(["channel", "minute"], observed=True)[
            "bits"].sum() / (args.bitrate * 60)
        # Dask's progress bar of the distributed scheduler (for the local
        # schedulers: dask.diagnostics.ProgressBar).
        # Computed together, the skipped files cost no second read.
        futures = client.compute([counts, load, frames.skipped])
        progress(futures)
        counts, load, skipped = client.gather(futures)
    print()
    print("frames per file, channel and arbitration id:")
    print(counts.sort_index().to_string())
    print()
    print("bus load per channel and minute (share of %.0f bit/s):"
          % args.bitrate)
    print(load.sort_index().map("{:.1%}".format).to_string())
    for path, reason in zip(skipped["path"], skipped["reason"]):
        print("skipped %s: %s" % (path, reason))


if __name__ == "__main__":
    main()
