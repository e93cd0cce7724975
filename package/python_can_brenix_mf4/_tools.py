"""The work behind the `mf4` command: frame counts, CSV rows and
conversions of whole logs, merged by time."""
from __future__ import annotations

import heapq
from typing import Any, Callable, Dict, Iterator, List, Sequence

from . import _columns

# Output suffixes of `mf4 convert`: through the columns or python-can's
# writers.
COLUMN_FORMATS = (".parquet", ".feather", ".csv")
CAN_FORMATS = (".asc", ".blf", ".trc", ".log")
CONVERSIONS = COLUMN_FORMATS + CAN_FORMATS
CSV_HEADER = ("timestamp,channel,kind,arbitration_id,is_extended_id,"
              "is_remote_frame,is_error_frame,is_fd,is_rx,bitrate_switch,"
              "error_state_indicator,dlc,data\n")
_FLAGS = ("is_extended_id", "is_remote_frame", "is_error_frame", "is_fd",
          "is_rx", "bitrate_switch", "error_state_indicator")


def check_filters(filters: Dict[str, Any]) -> None:
    """Raises the command's usage error for filters the columns refuse."""
    from ._cli import UsageError
    try:
        _columns._Filter(filters["channels"], filters["ids"], None,
                         filters["start"], filters["stop"], None)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from None


def frame_counts(log, bar) -> Dict[str, Any]:
    """Frames per channel and kind, kinds per data group, first and last
    time in nanoseconds."""
    np = _columns._numpy()
    counts: Dict[str, Dict[str, int]] = {}
    group_kinds: Dict[int, set] = {}
    first = last = None
    frames = 0
    for batch in log.iter_batches(columns=["timestamp_ns", "channel", "kind",
                                           "group"]):
        size = len(batch["timestamp_ns"])
        frames += size
        times = batch["timestamp_ns"]
        low, high = int(times.min()), int(times.max())
        first = low if first is None else min(first, low)
        last = high if last is None else max(last, high)
        pairs, number = np.unique(
            np.char.add(np.char.add(batch["channel"], "\t"), batch["kind"]),
            return_counts=True)
        for pair, count in zip(pairs.tolist(), number.tolist()):
            channel, kind = pair.split("\t")
            per = counts.setdefault(channel, {})
            per[kind] = per.get(kind, 0) + count
        for group in np.unique(batch["group"]).tolist():
            kinds = np.unique(batch["kind"][batch["group"] == group])
            group_kinds.setdefault(group, set()).update(kinds.tolist())
        if bar is not None:
            bar.update(size)
    order = sorted(counts, key=lambda c: (c.split()[0], int(c.split()[1])))
    return {"frames": frames, "first_ns": first, "last_ns": last,
            "counts": {c: dict(sorted(counts[c].items())) for c in order},
            "group_kinds": group_kinds}


def _rows(log, filters) -> Iterator[tuple]:
    """(timestamp_ns, CSV line) of every frame of the log, in order."""
    for batch in log.iter_batches(**filters):
        times = batch["timestamp_ns"].tolist()
        stamps = batch["timestamp"].tolist()
        channels = batch["channel"].tolist()
        kinds = batch["kind"].tolist()
        ids = batch["arbitration_id"].tolist()
        flags = [batch[name].tolist() for name in _FLAGS]
        dlcs = batch["dlc"].tolist()
        data = batch["data"]
        for i, ns in enumerate(times):
            yield ns, "%.6f,%s,%s,%X,%s,%d,%s\n" % (
                stamps[i], channels[i], kinds[i], ids[i],
                ",".join("1" if flag[i] else "0" for flag in flags),
                dlcs[i], data[i, :dlcs[i]].tobytes().hex().upper())


def write_csv(logs: Sequence[Any], filters, out) -> None:
    """The frames of the logs, merged by time, as CSV lines (hex id and
    payload) on the text stream `out`."""
    out.write(CSV_HEADER)
    for _, line in heapq.merge(*(_rows(log, filters) for log in logs),
                               key=lambda row: row[0]):
        out.write(line)
    out.flush()


def _table(logs: Sequence[Any], filters, bar):
    pa = _columns._need("pyarrow", "arrow", "converting to Parquet or "
                        "Feather")
    tables = [log.to_arrow(**filters) for log in logs]
    for table in tables:
        if bar is not None:
            bar.update(table.num_rows)
    if len(tables) == 1:
        return tables[0]
    table = pa.concat_tables(tables).unify_dictionaries()
    # A stable sort: of equal times, the earlier log's frame first.
    return table.take(table["timestamp_ns"].to_numpy().argsort(
        kind="stable"))


def interface(channel: str) -> str:
    """The SocketCAN-style interface name of a channel: "CAN 1" -> "can1"."""
    return channel.replace(" ", "").lower()


def candump_line(message) -> str:
    """A message as a line of candump's log format ("(seconds) can1
    123#DEADBEEF"; extended ids in 8 digits, "R" for remote frames, "##"
    and a flags digit for CAN FD, the error flag 0x20000000 on error
    frames)."""
    ident = message.arbitration_id
    if message.is_error_frame:
        ident |= 0x20000000
    text = "%08X" % ident if message.is_extended_id or \
        message.is_error_frame else "%03X" % ident
    data = bytes(message.data).hex().upper()
    if message.is_remote_frame:
        text += "#R"
    elif message.is_fd:
        text += "##%X%s" % (message.bitrate_switch
                            | message.error_state_indicator << 1, data)
    else:
        text += "#" + data
    return "(%.6f) %s %s\n" % (message.timestamp,
                               interface(message.channel), text)


def for_writer(suffix: str) -> Callable[[Any], Any]:
    """What python-can's writer of `suffix` gets for a message: its CAN
    channels numbered from 0 ("CAN 1" -> 0; the writers count from 1), or
    for ".log" named as interfaces ("can1", "lin1"); None for frames the
    format cannot hold (LIN frames but in ".log"; in ".trc", whose writer
    knows classic data frames only, also CAN FD, remote and error
    frames)."""
    classic = suffix == ".trc"

    def numbered(message):
        if not message.channel.startswith("CAN") or classic and (
                message.is_fd or message.is_remote_frame
                or message.is_error_frame):
            return None
        message.channel = int(message.channel[4:]) - 1
        return message

    def named(message):
        message.channel = interface(message.channel)
        return message
    return named if suffix == ".log" else numbered


def convert(logs: Sequence[Any], filters, out: str, suffix: str, bar,
            messages: Callable[[], Iterator[Any]]) -> None:
    """Writes the frames of the logs, merged by time, to `out` in the
    format of `suffix` (one of CONVERSIONS)."""
    if suffix == ".parquet":
        import pyarrow.parquet as pq
        pq.write_table(_table(logs, filters, bar), out)
    elif suffix == ".feather":
        import pyarrow.feather as feather
        feather.write_feather(_table(logs, filters, bar), out)
    elif suffix == ".csv":
        with open(out, "w", encoding="ascii", newline="") as text:
            write_csv(logs, filters, text)
    else:
        import can
        shape = for_writer(suffix)
        skipped = 0
        writer = can.Logger(out)
        try:
            for message in messages():
                message = shape(message)
                if message is None:
                    skipped += 1
                    continue
                writer.on_message_received(message)
                if bar is not None:
                    bar.update(1)
        finally:
            writer.stop()
        if skipped:
            import logging
            logging.getLogger("python_can_brenix_mf4").warning(
                "%s: %d frames left out that the format cannot hold%s",
                out, skipped, " (it holds classic CAN data frames only)"
                if suffix == ".trc" else " (LIN frames)")
