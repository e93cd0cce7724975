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


# --- signals ------------------------------------------------------------------

SIGNAL_FORMATS = (".parquet", ".feather", ".csv")


def signal_rows(found: Dict[str, dict], choices: bool) -> Dict[str, Any]:
    """The decoded tables of one log (message name -> what
    _signals.decode_log gives) as one long table, a row per value: the
    frame's timestamp, timestamp_ns and channel code, the message and
    signal as codes into `message_names` and `signal_names`, the physical
    value (float64) and, with `choices`, the label as a code into
    `label_names` (-1 for none). Rows come in frame order, a frame's
    signals in the message's order; values a frame lacks (beyond its
    payload, not selected by a multiplexer) have no row."""
    from . import _signals
    np = _columns._numpy()
    names: Dict[str, int] = {}
    labels: Dict[str, int] = {}
    pieces: List[Dict[str, Any]] = []
    for number, (message_name, table) in enumerate(found.items()):
        signals = list(table["signals"].items())
        count = table["count"]
        if not signals or not count:
            continue
        width = len(signals)
        values = np.empty((count, width), np.float64)
        present = np.ones((count, width), bool)
        label = np.full((count, width), -1, np.int32) if choices else None
        codes = np.empty(width, np.int32)
        for column, (name, (value, mask)) in enumerate(signals):
            codes[column] = names.setdefault(name, len(names))
            if mask is not None:
                present[:, column] = mask
            signal = _signals.signal_of(table, name)
            if choices and signal is not None and signal.choices:
                # The value is the raw one here: its label, then scaled.
                found_codes, found_labels = _signals._categories(
                    np, signal, value, mask, True)
                relabel = np.array([labels.setdefault(text, len(labels))
                                    for text in found_labels] + [-1],
                                   np.int32)
                label[:, column] = relabel[found_codes]
                value = np.multiply(value, float(signal.scale),
                                    dtype=np.float64) + float(signal.offset)
            values[:, column] = value
        keep = present.ravel()
        piece = {"row": np.repeat(table["rows"], width)[keep],
                 "message": np.full(int(keep.sum()), number, np.int32),
                 "signal": np.tile(codes, count)[keep],
                 "value": values.ravel()[keep]}
        for carried, column in table["carried"].items():
            piece[carried] = np.repeat(column, width)[keep]
        if choices:
            piece["label"] = label.ravel()[keep]
        pieces.append(piece)
    out: Dict[str, Any] = {"message_names": list(found),
                           "signal_names": list(names),
                           "label_names": list(labels)}
    if not pieces:
        empty = {"row": np.int64, "message": np.int32, "signal": np.int32,
                 "value": np.float64, "timestamp": np.float64,
                 "timestamp_ns": np.int64, "channel": np.uint16,
                 "label": np.int32}
        out.update({name: np.zeros(0, kind) for name, kind in empty.items()
                    if choices or name != "label"})
        return out
    rows = np.concatenate([p["row"] for p in pieces])
    # Rows are distinct among messages and in order within each, and a
    # frame's values follow each other: a stable sort by row is frame
    # order.
    order = np.argsort(rows, kind="stable")
    for name in pieces[0]:
        out[name] = np.concatenate([p[name] for p in pieces])[order]
    return out


def merge_signal_rows(parts: Sequence[Dict[str, Any]]) -> Dict[str, Any]:
    """The long tables of several logs (signal_rows) as one, merged by time
    (a stable sort: of equal times, the earlier log's row first), their
    names in one list per kind."""
    np = _columns._numpy()
    if len(parts) == 1:
        return parts[0]
    out: Dict[str, Any] = {}
    for kind in ("message", "signal", "label"):
        if kind not in parts[0]:
            continue
        table: Dict[str, int] = {}
        pieces = []
        for part in parts:
            index = np.array([table.setdefault(text, len(table))
                              for text in part[kind + "_names"]] + [-1],
                             np.int32)
            pieces.append(index[part[kind]])
        out[kind] = np.concatenate(pieces)
        out[kind + "_names"] = list(table)
    for name in ("timestamp", "timestamp_ns", "channel", "value"):
        out[name] = np.concatenate([part[name] for part in parts])
    order = np.argsort(out["timestamp_ns"], kind="stable")
    for name in ("message", "signal", "label", "timestamp", "timestamp_ns",
                 "channel", "value"):
        if name in out:
            out[name] = out[name][order]
    return out


def _signal_fields(rows: Dict[str, Any]) -> List[str]:
    fields = ["timestamp", "timestamp_ns", "channel", "message", "signal",
              "value"]
    return fields + ["label"] if "label" in rows else fields


def signal_arrow(rows: Dict[str, Any]):
    """A long signal table (signal_rows) as a pyarrow Table: timestamp,
    timestamp_ns, channel, message, signal (dictionaries), value and,
    where labels were asked for, label (a dictionary, null for none)."""
    pa = _columns._need("pyarrow", "arrow", "writing signals to Parquet or "
                        "Feather")
    np = _columns._numpy()
    codes, used = _columns._used_channels(np, rows["channel"])
    arrays = [pa.array(rows["timestamp"]), pa.array(rows["timestamp_ns"]),
              pa.DictionaryArray.from_arrays(codes,
                                             pa.array(used, pa.string()))]
    for kind in ("message", "signal"):
        arrays.append(pa.DictionaryArray.from_arrays(
            rows[kind], pa.array(rows[kind + "_names"], pa.string())))
    arrays.append(pa.array(rows["value"]))
    if "label" in rows:
        label = rows["label"]
        arrays.append(pa.DictionaryArray.from_arrays(
            pa.array(label, mask=label < 0),
            pa.array(rows["label_names"], pa.string())))
    return pa.table(arrays, names=_signal_fields(rows))


def write_signals(rows: Dict[str, Any], out: str, suffix: str) -> None:
    """Writes a long signal table to `out` in the format of `suffix` (one
    of SIGNAL_FORMATS)."""
    if suffix == ".parquet":
        import pyarrow.parquet as pq
        pq.write_table(signal_arrow(rows), out)
    elif suffix == ".feather":
        import pyarrow.feather as feather
        feather.write_feather(signal_arrow(rows), out)
    else:
        with open(out, "w", encoding="utf-8", newline="") as text:
            write_signal_csv(rows, text)


def write_signal_csv(rows: Dict[str, Any], out) -> None:
    """A long signal table as CSV lines on the text stream `out`: the time
    in seconds (6 decimals, as `dump --format csv`), the channel, message
    and signal names, the value in its shortest exact form and, where
    asked for, the label."""
    fields = [name for name in _signal_fields(rows) if name != "timestamp_ns"]
    out.write(",".join(fields) + "\n")
    np = _columns._numpy()
    names = {"channel": [_csv_text(t) for t in
                         _columns._lookup(np, "channel").tolist()]}
    for kind in ("message", "signal", "label"):
        if kind in rows:
            names[kind] = [_csv_text(t) for t in rows[kind + "_names"]] + [""]
    step = 100_000
    for begin in range(0, len(rows["value"]), step):
        end = begin + step
        columns = [rows["timestamp"][begin:end].tolist()]
        for name in fields[1:]:
            part = rows[name][begin:end].tolist()
            columns.append([names[name][code] for code in part]
                           if name in names else part)
        form = "%.6f,%s,%s,%s,%r" + (",%s" if len(fields) > 5 else "") + "\n"
        out.write("".join(form % row for row in zip(*columns)))
    out.flush()


def _csv_text(text: str) -> str:
    if any(c in text for c in ',"\n\r'):
        return '"%s"' % text.replace('"', '""')
    return text
