"""`mf4 plot`: frames per second and bus load per channel over time, and
the most frequent ids per channel, as one PNG (matplotlib)."""
from __future__ import annotations

import re
from typing import Any, Dict, Sequence

from . import _columns

# The picture: inches at DPI dots per inch.
WIDTH, HEIGHT, DPI = 10, 8, 100
TOP_IDS = 10
_BITRATE_KEY = re.compile(r"^HDcomment\.(CAN|LIN)(\d+)\.bitrate$")


def bitrates(logs: Sequence[Any]) -> Dict[str, float]:
    """The nominal bit rates the logs' metadata give, in bit/s by channel
    name ("HDcomment.CAN1.bitrate" -> "CAN 1"). Loggers write kbit/s:
    values up to 10000 are taken as kbit/s, larger ones as bit/s."""
    rates = {}
    for log in logs:
        for key, value in log.get_metadata().items():
            match = _BITRATE_KEY.match(key)
            if not match:
                continue
            try:
                rate = float(value["value_raw"])
            except ValueError:
                continue
            if 0 < rate <= 10000:
                rate *= 1000
            if rate > 0:
                rates["%s %s" % (match.group(1), int(match.group(2)))] = rate
    return rates


def _bits(np, kind, is_extended, dlc):
    """The bits a frame occupies on the bus, without stuffing: CAN data
    47 (64 with an extended id) plus 8 per byte; remote frames carry no
    data; error frames 14 plus 8 for the flags' delimiter; LIN a header of
    34 and 10 per byte and checksum. CAN FD frames are counted at the
    nominal rate."""
    header = np.where(is_extended, 67, 47)
    bits = np.where(kind == "CAN remote", header,
                    header + 8 * dlc.astype(np.int64))
    bits = np.where(kind == "CAN error", 22, bits)
    lin = 34 + 10 * (dlc.astype(np.int64) + 1)
    return np.where(np.char.startswith(kind, "LIN"), lin, bits)


def plot(logs: Sequence[Any], filters, out: str,
         given: Dict[str, float], bar, *, title: str) -> None:
    """Writes the picture of the logs' frames to the PNG file `out`;
    `given` bit rates by channel come before the metadata's."""
    matplotlib = _columns._need("matplotlib", "plot", "mf4 plot")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    np = _columns._numpy()
    rates = bitrates(logs)
    rates.update(given)
    parts = []
    for log in logs:
        for batch in log.iter_batches(
                columns=["timestamp_ns", "channel", "kind", "arbitration_id",
                         "is_extended_id", "dlc"], **filters):
            parts.append(batch)
            if bar is not None:
                bar.update(len(batch["dlc"]))
    names = ("timestamp_ns", "channel", "kind", "arbitration_id",
             "is_extended_id", "dlc")
    cols = {name: np.concatenate([p[name] for p in parts]) if parts
            else np.zeros(0) for name in names}
    figure, (rate_axes, load_axes, id_axes) = plt.subplots(
        3, 1, figsize=(WIDTH, HEIGHT), dpi=DPI)
    figure.suptitle(title)
    channels = sorted(set(cols["channel"].tolist()),
                      key=lambda c: (c.split()[0], int(c.split()[1])))
    if channels:
        begin = int(cols["timestamp_ns"].min())
        seconds = (cols["timestamp_ns"] - begin) / 1e9
        span = max(float(seconds.max()), 1e-9)
        width = max(span / 200, 0.001)  # bins: at most 200, at least 1 ms
        edges = np.arange(0, span + width, width)
        bits = _bits(np, cols["kind"], cols["is_extended_id"], cols["dlc"])
        for index, channel in enumerate(channels):
            mine = cols["channel"] == channel
            counts, _ = np.histogram(seconds[mine], edges)
            rate_axes.plot(edges[:-1], counts / width, label=channel)
            if channel in rates:
                load, _ = np.histogram(seconds[mine], edges,
                                       weights=bits[mine])
                load_axes.plot(edges[:-1], 100 * load / width / rates[channel],
                               label=channel)
            ids, number = np.unique(cols["arbitration_id"][mine],
                                    return_counts=True)
            top = np.argsort(-number, kind="stable")[:TOP_IDS]
            shift = (index - (len(channels) - 1) / 2) * 0.8 / len(channels)
            id_axes.bar(np.arange(len(top)) + shift, number[top],
                        0.8 / len(channels), label=channel)
            for x, ident in enumerate(ids[top].tolist()):
                id_axes.annotate("%X" % ident, (x + shift, number[top][x]),
                                 ha="center", va="bottom", fontsize=6)
    rate_axes.set_ylabel("frames / s")
    load_axes.set_ylabel("bus load (%)")
    load_axes.set_xlabel("seconds from the first frame")
    rate_axes.set_xlabel("seconds from the first frame")
    id_axes.set_ylabel("frames")
    id_axes.set_xlabel("most frequent ids per channel (rank)")
    for axes in (rate_axes, load_axes, id_axes):
        if axes.get_legend_handles_labels()[0]:
            axes.legend(loc="upper right", fontsize=7)
    if not any(channel in rates for channel in channels):
        load_axes.text(0.5, 0.5, "no bit rates: give --bitrate CHANNEL=RATE",
                       ha="center", va="center", transform=load_axes.transAxes)
    figure.tight_layout()
    figure.savefig(out, format="png", dpi=DPI)
    plt.close(figure)
