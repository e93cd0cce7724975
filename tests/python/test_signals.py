"""Signals from a CAN database: every value equals cantools'
decode_message on the same frame and every missing value is where cantools
gives none, over a database of every signal shape (generated here),
random payloads and lengths, from plain columns, Arrow and an MF4 log;
the output formats, databases by channel, and bad arguments."""
import collections
import io
import logging
import os
import sys
import time

import numpy as np
import pytest

cantools = pytest.importorskip("cantools")
from cantools.database.can import Database, Message, Signal  # noqa: E402
from cantools.database.conversion import BaseConversion  # noqa: E402

from python_can_brenix_mf4 import MdfFile, decode_signals  # noqa: E402
from python_can_brenix_mf4 import _signals  # noqa: E402
from support.mf4writer import (CanFrame, CanRemoteFrame, DataGroup,  # noqa
                               LinFrame, build_mf4, compress)


def big(byte, bit):
    """The start bit cantools gives a big-endian signal whose most
    significant bit is `bit` (7 = most significant) of payload byte
    `byte`."""
    return 8 * byte + bit


def signal(name, start, length, order="little_endian", signed=False,
           scale=1, offset=0, is_float=False, choices=None, mux=None,
           mux_ids=None, is_mux=False):
    return Signal(name, start, length, byte_order=order, is_signed=signed,
                  conversion=BaseConversion.factory(
                      scale=scale, offset=offset, choices=choices,
                      is_float=is_float),
                  is_multiplexer=is_mux, multiplexer_ids=mux_ids,
                  multiplexer_signal=mux)


BE = "big_endian"
MESSAGES = [
    # Little endian at odd starts, signed and unsigned, a value table, a
    # scaled float32.
    Message(0x123, "Little", 8, [
        signal("A", 0, 1),
        signal("B", 1, 7, signed=True, scale=0.5, offset=-3,
               choices={-64: "Least", 0: "Zero", 5: "Five", 300: "Beyond"}),
        signal("C", 11, 13, choices={0: "Off", 1: "On", 5: "Five"}),
        signal("D", 24, 32, is_float=True, scale=2, offset=1),
        signal("E", 56, 8, signed=True)]),
    # The same id, extended: a message of its own.
    Message(0x123, "LittleExtended", 4, [signal("X", 4, 20, signed=True)],
            is_extended_frame=True),
    # Big endian (Motorola) across byte borders.
    Message(0x18FF1234, "Big", 8, [
        signal("F", big(0, 7), 3, BE),
        signal("G", big(0, 4), 12, BE, signed=True, scale=0.1),
        signal("H", big(2, 1), 17, BE, choices={3: "Three", 70000: "Many"}),
        signal("I", big(4, 0), 25, BE, signed=True, offset=-100)],
            is_extended_frame=True),
    # CAN FD, 64 bytes: 64-bit signals straddling nine bytes, float64 and a
    # big-endian float32, a signal only the full payload holds.
    Message(0x456, "Wide", 64, [
        signal("J", 3, 64),
        signal("K", big(9, 2), 64, BE, signed=True, scale=1e-3),
        signal("L", 144, 64, is_float=True),
        signal("M", big(28, 7), 32, BE, is_float=True, scale=-0.25),
        signal("N", 300, 64, signed=True),
        signal("O", big(50, 7), 33, BE),
        signal("P", 496, 16, offset=7)], is_fd=True),
    # Nested multiplexing: Mux selects S0 (0), S12 (1, 2) or the
    # multiplexer Sub (3), which selects T0 (0) or T1 (1); 4 to 15 select
    # nothing.
    Message(0x200, "Muxed", 8, [
        signal("Mux", 0, 4, is_mux=True),
        signal("S0", 8, 16, mux="Mux", mux_ids=[0]),
        signal("S12", big(1, 7), 16, BE, signed=True, mux="Mux",
               mux_ids=[1, 2]),
        signal("Sub", 8, 4, is_mux=True, mux="Mux", mux_ids=[3]),
        signal("T0", 16, 24, scale=0.25, mux="Sub", mux_ids=[0]),
        signal("T1", big(2, 7), 24, BE, mux="Sub", mux_ids=[1],
               choices={1: "One"}),
        signal("Common", 48, 16)]),
]
# Value tables that name every value of their fields: in the values'
# order, unsigned, signed and big endian, and with labels two values share.
NAMED = Message(0x300, "Named", 2, [
    signal("U", 0, 2, choices={0: "Zero", 1: "One", 2: "Two", 3: "Three"}),
    signal("V", 2, 2, signed=True, scale=2,
           choices={-2: "M2", -1: "M1", 0: "Z", 1: "P1"}),
    signal("W", 4, 2, choices={0: "Low", 1: "Low", 2: "High", 3: "High"}),
    signal("Y", big(1, 7), 3, BE,
           choices={k: "Y%d" % (7 - k) for k in range(8)})])
DB = Database(messages=MESSAGES + [NAMED])
KEYS = {(m.frame_id, m.is_extended_frame): m for m in DB.messages}


def random_frames(count, seed, messages=MESSAGES):
    """(arbitration id, extended, payload) of random frames: mostly
    `messages`, of random lengths up to and beyond theirs, and ids no
    message has."""
    rng = np.random.default_rng(seed)
    frames = []
    for _ in range(count):
        pick = rng.integers(len(messages) + 1)
        if pick == len(messages):
            frames.append((int(rng.integers(0x700, 0x7FF)), False,
                           rng.bytes(int(rng.integers(0, 9)))))
            continue
        message = messages[pick]
        length = message.length if rng.random() < 0.5 else \
            int(rng.integers(0, message.length + 1))
        payload = bytearray(rng.bytes(length))
        if message.name == "Muxed" and length and rng.random() < 0.8:
            payload[0] = (payload[0] & 0xF0) | int(rng.integers(0, 5))
            if len(payload) > 1 and rng.random() < 0.8:
                payload[1] = (payload[1] & 0xF0) | int(rng.integers(0, 3))
        frames.append((message.frame_id, message.is_extended_frame,
                       bytes(payload)))
    return frames


FRAMES = random_frames(3000, 18) + random_frames(200, 19, [NAMED])


def columns_of(frames):
    data = np.zeros((len(frames), 64), np.uint8)
    for row, (_, _, payload) in enumerate(frames):
        data[row, :len(payload)] = np.frombuffer(payload, np.uint8)
    return {"timestamp": np.arange(len(frames)) * 0.001 + 1.7e9,
            "timestamp_ns": np.arange(len(frames), dtype=np.int64),
            "channel": np.array(["CAN 1"] * len(frames)),
            "kind": np.array(["CAN data"] * len(frames)),
            "arbitration_id": np.array([f[0] for f in frames], np.uint32),
            "is_extended_id": np.array([f[1] for f in frames]),
            "dlc": np.array([len(f[2]) for f in frames], np.uint8),
            "data": data}


def expected(frame, **options):
    """cantools' values of one frame, and whether it raised."""
    message = KEYS.get((frame[0], frame[1]))
    try:
        return message.decode(frame[2], allow_truncated=True,
                              **options), False
    except cantools.database.DecodeError:
        return {}, True


def alone_value(message, one, payload, options):
    """cantools' value of one signal of a message decoded on its own (no
    multiplexing), None where the payload does not hold it."""
    single = Message(1, "Alone", message.length, [Signal(
        one.name, one.start, one.length, byte_order=one.byte_order,
        is_signed=one.is_signed, conversion=one.conversion)])
    return single.decode(payload, allow_truncated=True,
                         **options).get(one.name)


def same(ours, theirs):
    if isinstance(ours, str):
        # A value table's labels, and the other values as cantools gives
        # them, as text.
        return ours == str(theirs)
    if isinstance(theirs, float) and np.isnan(theirs):
        return np.isnan(ours)
    if isinstance(theirs, float) or isinstance(ours, float):
        # Physical values are float64 (cantools keeps integers exact).
        return ours == theirs or \
            abs(ours - float(theirs)) <= 1e-12 * abs(float(theirs))
    return type(ours) is int and ours == theirs


def check(tables, frames, row_of, **options):
    """Every row of every table against cantools, and every frame of a
    database message in its table."""
    seen = set()
    for name, table in tables.items():
        message = DB.get_message_by_name(name)
        rows = [row_of(t) for t in table.column("timestamp_ns").to_pylist()]
        columns = {s.name: table.column(s.name).to_pylist()
                   for s in message.signals}
        for index, row in enumerate(rows):
            seen.add(row)
            frame = frames[row]
            assert KEYS[(frame[0], frame[1])] is message
            values, raised = expected(frame, **options)
            for signal in message.signals:
                ours = columns[signal.name][index]
                if signal.name in values:
                    assert ours is not None, (name, signal.name, frame)
                    assert same(ours, values[signal.name]), \
                        (name, signal.name, frame, ours, values[signal.name])
                elif raised:
                    # cantools rejects a frame whose multiplexer value
                    # selects nothing; we leave out only the signals not
                    # selected, and the others decode as they do alone.
                    mux = signal.multiplexer_signal
                    selected = mux is None or (
                        columns[mux][index] is not None
                        and int(columns[mux][index]) in
                        signal.multiplexer_ids)
                    alone = alone_value(message, signal, frame[2], options)
                    if not selected or alone is None:
                        assert ours is None, (name, signal.name, frame)
                    else:
                        assert same(ours, alone), (name, signal.name, frame)
                else:
                    assert ours is None, (name, signal.name, frame, ours)
    wanted = {row for row, f in enumerate(frames) if (f[0], f[1]) in KEYS}
    assert seen == wanted


def nan_as_text(values):
    """A list with its NaNs as text, so that == finds them equal (float
    payloads of random bytes hold NaNs, which Arrow and lists find unequal
    to themselves)."""
    return ["NaN" if v != v else v for v in values]


def same_tables(ours, theirs):
    """Dicts of Arrow tables alike, a NaN as a NaN."""
    assert ours.keys() == theirs.keys()
    for name, table in ours.items():
        assert table.schema == theirs[name].schema, name
        for column in table.column_names:
            assert nan_as_text(table.column(column).to_pylist()) == \
                nan_as_text(theirs[name].column(column).to_pylist()), \
                (name, column)


OPTIONS = [dict(scaling=True, decode_choices=False),
           dict(scaling=False, decode_choices=False),
           dict(scaling=True, decode_choices=True),
           dict(scaling=False, decode_choices=True)]


@pytest.mark.parametrize("options", OPTIONS, ids=str)
def test_values_equal_cantools_over_columns(options):
    tables = decode_signals(columns_of(FRAMES), DB, as_="arrow", **options)
    assert set(tables) == {m.name for m in DB.messages}
    check(tables, FRAMES, int, **options)


@pytest.mark.parametrize("options", OPTIONS[:2], ids=str)
def test_values_equal_cantools_when_every_frame_is_whole(options):
    """Frames of their message's full length: every row holds every
    signal's bits."""
    frames = [f for f in FRAMES if (f[0], f[1]) in KEYS
              and len(f[2]) == KEYS[(f[0], f[1])].length]
    tables = decode_signals(columns_of(frames), DB, as_="arrow", **options)
    assert set(tables) == {m.name for m in DB.messages}
    check(tables, frames, int, **options)


@pytest.mark.parametrize("threads", ["", "1"], ids=["threads", "one"])
def test_values_equal_cantools_from_an_mf4_log(tmp_path, monkeypatch,
                                               threads):
    monkeypatch.setenv("MF4_THREADS", threads)
    frames = [CanFrame(0.001 * row + 0.0005, arbitration_id, payload,
                       extended=extended, fd=len(payload) > 8, channel=2)
              for row, (arbitration_id, extended, payload)
              in enumerate(FRAMES)]
    path = tmp_path / "log.mf4"
    path.write_bytes(build_mf4([DataGroup(frames, vlsd="sd")]).data)
    with MdfFile(str(path)) as log:
        stamps = log.to_numpy(columns=["timestamp_ns"])["timestamp_ns"]
        row_of = {stamp: row for row, stamp in enumerate(stamps.tolist())}
        for options in OPTIONS[:3]:
            tables = log.decode_signals(DB, as_="arrow", rows=700, **options)
            check(tables, FRAMES, row_of.__getitem__, **options)
            assert all(set(t.column("channel").to_pylist()) == {"CAN 2"}
                       for t in tables.values())
        # Arrow columns decode as numpy columns do.
        through_arrow = decode_signals(log.to_arrow(), DB, as_="arrow")
        same_tables(through_arrow, log.decode_signals(DB, as_="arrow"))


def test_a_log_by_channel_and_through_a_file_object(tmp_path, caplog):
    """Batches read from a path (while the next one is read on a second
    thread) and from a file object (in turn) give the tables of the same
    frames decoded as columns; databases go by channel there too."""
    frames = [CanFrame(0.001 * row + 0.0005, arbitration_id, payload,
                       extended=extended, fd=len(payload) > 8,
                       channel=1 + row % 2)
              for row, (arbitration_id, extended, payload)
              in enumerate(FRAMES)]
    path = tmp_path / "log.mf4"
    path.write_bytes(build_mf4([DataGroup(frames, vlsd="sd")]).data)
    other = Database(messages=[Message(0x123, "Other", 8,
                                       [signal("Z", 0, 8)])])
    options = dict(databases={"CAN 2": other}, as_="arrow")
    with MdfFile(str(path)) as log:
        truth = decode_signals(log.to_numpy(), DB, **options)
        with caplog.at_level(logging.DEBUG, "python_can_brenix_mf4"):
            for rows in (1, 333, 1 << 16):
                same_tables(log.decode_signals(DB, rows=rows, **options),
                            truth)
    # The log is read for the databases' ids; of those frames, the ones
    # whose channel's database lacks their id (and id format) are counted.
    ids = {key[0] for key in KEYS}
    unknown = sum(1 for row, f in enumerate(FRAMES) if f[0] in ids and
                  (f[0], f[1]) not in ({(0x123, False)} if row % 2 else KEYS))
    assert any("%d frames" % unknown in r.getMessage()
               for r in caplog.records)
    assert set(truth["Other"].column("channel").to_pylist()) == {"CAN 2"}
    with open(path, "rb") as file, MdfFile(file) as log:
        same_tables(log.decode_signals(DB, rows=500, **options), truth)


def test_a_read_failure_while_decoding_a_log_is_raised(tmp_path):
    """A file object whose reads fail part way: decode_signals raises its
    error (the batches read before it are dropped), and the log closes."""
    frames = [CanFrame(0.001 * row, arbitration_id, payload,
                       extended=extended, fd=len(payload) > 8)
              for row, (arbitration_id, extended, payload)
              in enumerate(FRAMES * 20)]
    data = build_mf4([DataGroup(frames)]).data
    state = {"reads": 0, "armed": False}

    class Failing(io.BytesIO):
        def read(self, n=-1):
            if state["armed"]:
                state["reads"] += 1
                if state["reads"] > 2:
                    raise OSError("disk gone")
            return super().read(n)

    with MdfFile(Failing(data)) as log:
        state["armed"] = True
        with pytest.raises(OSError, match="disk gone"):
            log.decode_signals(DB, rows=1000)
    assert state["reads"] > 2


def read_ahead_log(tmp_path):
    """FRAMES on two channels among LIN and remote frames, the DBC of DB
    beside it; the paths."""
    frames = []
    for row, (arbitration_id, extended, payload) in enumerate(FRAMES):
        stamp = 0.001 * row + 0.0005
        frames.append(CanFrame(stamp, arbitration_id, payload,
                               extended=extended, fd=len(payload) > 8,
                               channel=1 + row % 2))
        if row % 5 == 0:
            frames.append(LinFrame(stamp + 1e-4, 0x23, b"\x01\x02"))
        if row % 7 == 0:
            frames.append(CanRemoteFrame(stamp + 2e-4, 0x123))
    path = tmp_path / "log.mf4"
    path.write_bytes(build_mf4([DataGroup(frames, vlsd="sd")]).data)
    dbc = tmp_path / "db.dbc"
    dbc.write_text(DB.as_dbc_string())
    return path, dbc


def unparsed(monkeypatch):
    """No database file counts as parsed lately: each call parses its
    own (and so reads the log ahead meanwhile)."""
    monkeypatch.setattr(_signals, "_PARSED", collections.OrderedDict())
    monkeypatch.setattr(_signals, "_PARSED_KEPT", 0)


@pytest.mark.parametrize("filters", [
    {}, {"channels": ["CAN 2"]}, {"ids": [0x123, 0x200, 0x7F0, 0x7FF]},
    {"start": 0.3, "stop": 0.7}], ids=str)
def test_a_log_read_while_its_database_file_is_parsed(tmp_path, monkeypatch,
                                                      caplog, filters):
    """A database file not parsed yet: the log's frames (of every id) are
    read while cantools parses it, and the tables, row numbers and the
    count of frames of no message are those of a reading of the
    database's ids."""
    path, dbc = read_ahead_log(tmp_path)
    parsed = cantools.database.load_file(str(dbc))
    other = Database(messages=[Message(0x123, "Other", 8,
                                       [signal("Z", 0, 8)])])
    other_dbc = tmp_path / "other.dbc"
    other_dbc.write_text(other.as_dbc_string())
    other = cantools.database.load_file(str(other_dbc))
    unparsed(monkeypatch)
    ahead = []
    decode_from = _signals._decode_log_from
    monkeypatch.setattr(_signals, "_decode_log_from",
                        lambda *a: ahead.append(1) or decode_from(*a))

    def logged(call):
        caplog.clear()
        with caplog.at_level(logging.DEBUG, "python_can_brenix_mf4"):
            result = call()
        return result, [r.getMessage() for r in caplog.records]

    with MdfFile(str(path)) as log:
        if "start" in filters:  # of the log's time span
            stamps = log.to_numpy(columns=["timestamp"])["timestamp"]
            filters = {k: stamps[int(v * len(stamps))]
                       for k, v in filters.items()}
        for rows in (1, 333, 1 << 16):
            for by_path, by_object in (
                    (dict(database=str(dbc)), dict(database=parsed)),
                    (dict(database=dbc, databases={"CAN 2": other_dbc}),
                     dict(database=parsed, databases={"CAN 2": other}))):
                count = len(ahead)
                got = logged(lambda: log.decode_signals(
                    **by_path, rows=rows, as_="arrow", **filters))
                assert len(ahead) == count + 1
                again = logged(lambda: log.decode_signals(
                    **by_object, rows=rows, as_="arrow", **filters))
                same_tables(got[0], again[0])
                assert got[1] == again[1]
            # The row numbers the command line takes.
            plan = _signals._Plan(parsed, {"CAN 2": other}, None)
            truth = _signals.decode_log(log, plan, True, False, rows=rows,
                                        row_numbers=True, **filters)
            prefetch = _signals._prefetch(
                log, filters.get("channels"), filters.get("ids"),
                filters.get("start"), filters.get("stop"), rows)
            try:
                found = _signals.decode_log(log, plan, True, False, rows=rows,
                                            row_numbers=True,
                                            prefetch=prefetch, **filters)
            finally:
                _signals._decode_log_stop(prefetch)
            assert found.keys() == truth.keys()
            for name, table in found.items():
                np.testing.assert_array_equal(table["rows"],
                                              truth[name]["rows"])
    assert any("frames of" in line for line in got[1])
    # A file object's reads need the GIL: no reading ahead there.
    count = len(ahead)
    with open(path, "rb") as file, MdfFile(file) as log:
        same_tables(log.decode_signals(str(dbc), as_="arrow", **filters),
                    log.decode_signals(parsed, as_="arrow", **filters))
    assert len(ahead) == count


def test_a_failure_while_the_log_is_read_ahead(tmp_path, monkeypatch):
    """A database file that does not parse, a message no database has, an
    interrupt while cantools parses, a container that fails while it is
    read: the call raises as without the reading ahead, whose thread has
    ended, and the log is free again."""
    path, dbc = read_ahead_log(tmp_path)
    bad = tmp_path / "bad.dbc"
    bad.write_text("VERSION \"\"\nBO_ nonsense\n")
    unparsed(monkeypatch)

    def raised(call, threads):
        monkeypatch.setenv("MF4_THREADS", threads)
        with pytest.raises(BaseException) as error:
            call()
        return type(error.value), str(error.value)

    load_file = cantools.database.load_file

    def interrupted(name, *args, **kwargs):
        if str(name).endswith("stop.dbc"):
            raise KeyboardInterrupt("stop")
        return load_file(name, *args, **kwargs)

    monkeypatch.setattr(cantools.database, "load_file", interrupted)
    stop = tmp_path / "stop.dbc"
    stop.write_text(DB.as_dbc_string())
    with MdfFile(str(path)) as log:
        truth = log.decode_signals(DB, as_="numpy")
        for call in (lambda: log.decode_signals(bad),
                     lambda: log.decode_signals(dbc, messages=["Nope"]),
                     lambda: log.decode_signals(dbc, channels=["CAN 9x"]),
                     lambda: log.decode_signals(stop)):
            assert raised(call, "") == raised(call, "1")
            monkeypatch.setenv("MF4_THREADS", "")
            again = log.decode_signals(dbc, as_="numpy")
            assert again.keys() == truth.keys()
    # A compressed log whose file changes after the open.
    data = compress(path.read_bytes())
    path.write_bytes(data)
    with MdfFile(str(path)) as log:
        with open(path, "r+b") as file:
            file.seek(len(data) // 2)
            file.write(bytes([data[len(data) // 2] ^ 1]))
        with pytest.raises(RuntimeError, match="^Could not decompress"):
            log.decode_signals(dbc)
    os.remove(path)


def test_large_tables_equal_those_of_small_pieces(tmp_path, monkeypatch):
    """Tables of tens of thousands of rows of three messages (arrays of
    megabytes, grown batch by batch from a log, each batch's extraction
    shared by two threads, and, with a database file, in pages faulted in
    while it is parsed) equal those of the same frames decoded a thousand
    at a time."""
    count = 150_000
    payloads = np.random.default_rng(7).integers(0, 256, (count, 8), np.uint8)
    keys = [(0x123, False), (0x200, False), (0x18FF1234, True)]
    frames = [CanFrame(0.001 * row, keys[row % 3][0],
                       payloads[row].tobytes(), extended=keys[row % 3][1],
                       channel=1 + row % 2) for row in range(count)]
    path = tmp_path / "log.mf4"
    path.write_bytes(build_mf4([DataGroup(frames)]).data)
    dbc = tmp_path / "db.dbc"
    dbc.write_text(DB.as_dbc_string())
    unparsed(monkeypatch)
    load_file = cantools.database.load_file

    def slowly(*args, **kwargs):  # the log read ahead the whole while
        time.sleep(0.05)
        return load_file(*args, **kwargs)

    monkeypatch.setattr(cantools.database, "load_file", slowly)
    with MdfFile(str(path)) as log:
        cols = log.to_numpy()
        tables = [log.decode_signals(DB, as_="numpy", rows=rows)
                  for rows in (5000, 1 << 16)]
        tables.append(log.decode_signals(dbc, as_="numpy"))
    tables.append(decode_signals(cols, DB, as_="numpy"))
    pieces = [decode_signals({k: v[i:i + 1000] for k, v in cols.items()},
                             DB, as_="numpy")
              for i in range(0, count, 1000)]
    for name in ("Little", "Muxed", "Big"):
        for column in pieces[0][name]:
            parts = [piece[name][column] for piece in pieces]
            truth = np.ma.concatenate(parts)
            for table in tables:
                got = table[name][column]
                # Missing values somewhere, or none at all.
                assert np.ma.isMaskedArray(got) == any(
                    np.ma.isMaskedArray(part) for part in parts)
                np.testing.assert_array_equal(np.ma.getmaskarray(got),
                                              np.ma.getmaskarray(truth))
                np.testing.assert_array_equal(np.ma.getdata(got),
                                              np.ma.getdata(truth))


@pytest.mark.parametrize("channels", [1, 2])
def test_output_formats_agree(channels):
    cols = columns_of(FRAMES)
    if channels == 2:
        cols["channel"] = np.where(np.arange(len(FRAMES)) % 2, "CAN 2",
                                   "CAN 1")
    arrow = decode_signals(cols, DB, as_="arrow", decode_choices=True)
    pandas = decode_signals(cols, DB, as_="pandas", decode_choices=True)
    polars = decode_signals(cols, DB, as_="polars", decode_choices=True)
    numpy = decode_signals(cols, DB, as_="numpy", decode_choices=True)
    raw = decode_signals(cols, DB, as_="numpy", scaling=False)
    for name, table in arrow.items():
        assert list(pandas[name].columns) == table.column_names
        assert polars[name].columns == table.column_names
        assert list(numpy[name]) == table.column_names
        assert str(pandas[name]["channel"].dtype) == "category"
        for column in table.column_names:
            truth = table.column(column).to_pylist()
            from_pandas = [None if v is None or v != v else v for v in
                           pandas[name][column].astype(object).tolist()]
            assert from_pandas == [None if v is None or v != v else v
                                   for v in truth]
            assert nan_as_text(polars[name][column].to_list()) == \
                nan_as_text(truth)
            values = numpy[name][column]
            if values.dtype == object:
                assert nan_as_text(values.tolist()) == nan_as_text(truth)
            elif values.dtype.kind == "f":
                assert np.array_equal(values, np.array(
                    [np.nan if v is None else v for v in truth]),
                    equal_nan=True)
    # Raw integers stay integers; where some are missing, masked.
    assert raw["Muxed"]["S12"].dtype == np.int64
    assert isinstance(raw["Muxed"]["S12"], np.ma.MaskedArray)
    assert raw["Little"]["A"].dtype == np.uint64
    assert str(pandas["Little"]["C"].dtype) == "category"
    assert {"Off", "On", "Five"} <= set(pandas["Little"]["C"].cat.categories)


@pytest.mark.parametrize("names", [
    ["1", "2"],  # of one character
    ["CAN 1", "CAN 2"],  # differing in their last character only
    ["CAN 1", "CAN 12", "LIN 3"],  # of different lengths
    ["bus " + "x" * 30 + "1", "bus " + "x" * 30 + "2"],  # 35 characters
    ["bus %d" % i for i in range(20)],  # more than a few
    ["bus %d" % i for i in range(200)],  # many
])
def test_channel_names_come_through(names):
    cols = columns_of(FRAMES)
    chosen = np.random.default_rng(5).integers(0, len(names), len(FRAMES))
    cols["channel"] = np.array(names)[chosen]
    tables = decode_signals(cols, DB, as_="numpy")
    frames = decode_signals(cols, DB, as_="pandas")
    assert tables
    for name, table in tables.items():
        rows = table["timestamp_ns"]
        truth = cols["channel"][rows].tolist()
        assert table["channel"].tolist() == truth
        # As wide as the table's own names need.
        assert table["channel"].dtype == "<U%d" % max(map(len, truth))
        channel = frames[name]["channel"]
        assert channel.astype(str).tolist() == truth
        assert sorted(channel.cat.categories) == sorted(set(truth))


@pytest.mark.parametrize("pick", [
    lambda message, row: message,  # one channel per message
    lambda message, row: message + row % 2,  # two neighbours, from any
    lambda message, row: message + 2 * (row % 2),  # two with one between
    lambda message, row: message + row % 3 + (row % 5 == 0),  # 3 or 4
], ids=["one", "neighbours", "gap", "more"])
def test_each_tables_channels_are_those_of_its_rows(pick):
    """A table's channel categories are the channels its rows have, in
    code order, wherever they lie among the log's."""
    cols = columns_of(FRAMES)
    names = np.array(["CAN %d" % k for k in range(1, 10)])
    messages = {key: n for n, key in enumerate(KEYS)}
    chosen = [pick(messages.get((f[0], f[1]), 0), row)
              for row, f in enumerate(FRAMES)]
    cols["channel"] = names[chosen]
    # Channels are coded in the order the log's rows first have them.
    order = list(dict.fromkeys(cols["channel"].tolist()))
    for name, frame in decode_signals(cols, DB, as_="pandas").items():
        truth = cols["channel"][frame["timestamp_ns"].to_numpy()].tolist()
        assert frame["channel"].astype(str).tolist() == truth
        assert frame["channel"].cat.categories.tolist() == \
            sorted(set(truth), key=order.index)


@pytest.mark.parametrize("threads", ["", "1"], ids=["threads", "one"])
@pytest.mark.parametrize("first, second", [
    (["CAN 1", "CAN 2"], ["CAN 1", "CAN 2"]),  # the same in both halves
    (["CAN 1", "CAN 2"], ["CAN 3", "CAN 2"]),  # a new one in the second
    (["a%d" % i for i in range(40)], ["b%d" % i for i in range(40)]),  # many
])
def test_channel_names_of_many_rows(monkeypatch, threads, first, second):
    """Tens of thousands of rows, whose halves may be coded apart: the
    names of the second half that the first lacks come after its own."""
    monkeypatch.setenv("MF4_THREADS", threads)
    cols = columns_of(FRAMES)
    repeat = 25  # 75,000 rows
    cols = {k: np.concatenate([v] * repeat) for k, v in cols.items()}
    rows = len(cols["dlc"])
    cols["timestamp_ns"] = np.arange(rows, dtype=np.int64)
    rng = np.random.default_rng(9)
    half = rows // 2
    cols["channel"] = np.concatenate([
        np.array(first)[rng.integers(0, len(first), half)],
        np.array(second)[rng.integers(0, len(second), rows - half)]])
    tables = decode_signals(cols, DB, as_="numpy")
    frames = decode_signals(cols, DB, as_="pandas")
    for name, table in tables.items():
        truth = cols["channel"][table["timestamp_ns"]].tolist()
        assert table["channel"].tolist() == truth
        assert frames[name]["channel"].astype(str).tolist() == truth


@pytest.mark.parametrize("threads", ["", "1"], ids=["threads", "one"])
def test_the_channel_text_of_a_large_table(tmp_path, monkeypatch, threads):
    """A table of 150,000 rows from columns and from a log: its channel
    text (3 MB, in pieces, in huge pages) names every row's channel."""
    monkeypatch.setenv("MF4_THREADS", threads)
    count = 150_000
    frames = [(0x123, False, bytes(8))] * count
    cols = columns_of(frames)
    cols["channel"] = np.where(np.arange(count) % 3, "CAN 12", "CAN 7")
    table = decode_signals(cols, DB, as_="numpy")["Little"]
    np.testing.assert_array_equal(table["channel"], cols["channel"])
    assert table["channel"].dtype == "<U6"
    path = tmp_path / "log.mf4"
    path.write_bytes(build_mf4([DataGroup([
        CanFrame(0.001 * row, 0x123, bytes(8), channel=1 + row % 2)
        for row in range(count)])]).data)
    with MdfFile(str(path)) as log:
        table = log.decode_signals(DB, as_="numpy")["Little"]
    np.testing.assert_array_equal(table["channel"],
                                  np.where(np.arange(count) % 2, "CAN 2",
                                           "CAN 1"))


@pytest.mark.parametrize("items, names, itemsize, error", [
    ([(bytes(4), 1, 1)], bytes(8), 4, "beyond"),  # an odd offset
    ([(bytes(4), 2, 2)], bytes(8), 4, "beyond"),  # past the end
    ([(bytes(4), 0, 1 << 62)], bytes(8), 4, "beyond"),
    ([(bytes(4), 0, 2)], bytes(8), 3, "whole"),  # not UCS-4
    ([(bytes(4), 0, 2)], bytes(6), 4, "whole"),
    ([(bytes(4), 0)], bytes(8), 4, "items"),
])
def test_channel_texts_refuse_bad_arguments(items, names, itemsize, error):
    from python_can_brenix_mf4._native import _channel_texts
    with pytest.raises((ValueError, TypeError), match=error):
        _channel_texts(items, names, itemsize, False)


def test_databases_by_channel_and_messages(tmp_path):
    cols = columns_of(FRAMES)
    cols["channel"] = np.where(np.arange(len(FRAMES)) % 2, "CAN 2", "CAN 1")
    cols["kind"][::7] = "CAN remote"
    other = Database(messages=[Message(0x123, "Other", 8,
                                       [signal("Z", 0, 8)])])
    tables = decode_signals(cols, DB, databases={"CAN 2": other},
                            as_="numpy")
    rows = tables["Other"]["timestamp_ns"]
    assert all(rows % 2 == 1) and all(rows % 7 != 0)
    assert set(tables["Little"]["channel"]) == {"CAN 1"}
    assert "Big" not in tables or set(tables["Big"]["channel"]) == {"CAN 1"}
    assert np.array_equal(tables["Other"]["Z"],
                          np.where(cols["dlc"][rows] > 0, cols["data"][rows, 0],
                                   np.nan), equal_nan=True)
    only = decode_signals(cols, DB, messages=["Big"], as_="numpy")
    assert list(only) == ["Big"]
    # A database file by path.
    path = tmp_path / "db.dbc"
    path.write_text(Database(messages=[MESSAGES[0]]).as_dbc_string())
    by_path = decode_signals(cols, str(path), databases={"CAN 2": other},
                             as_="numpy")
    assert np.array_equal(by_path["Little"]["E"], tables["Little"]["E"],
                          equal_nan=True)
    # No data frames at all: nothing to decode.
    cols["kind"][:] = "CAN remote"
    assert decode_signals(cols, DB, as_="numpy") == {}


def test_a_database_file_is_parsed_once_until_it_changes(tmp_path,
                                                        monkeypatch):
    path = tmp_path / "db.dbc"
    path.write_text(Database(messages=[MESSAGES[0]]).as_dbc_string())
    loads = []
    load_file = cantools.database.load_file
    monkeypatch.setattr(cantools.database, "load_file",
                        lambda name: loads.append(name) or load_file(name))
    cols = columns_of(FRAMES)
    first = decode_signals(cols, str(path), as_="numpy")
    again = decode_signals(cols, path, as_="numpy")
    assert len(loads) == 1
    np.testing.assert_array_equal(first["Little"]["E"], again["Little"]["E"])
    path.write_text(Database(messages=[MESSAGES[0], MESSAGES[2]])
                    .as_dbc_string())
    changed = decode_signals(cols, str(path), as_="numpy")
    assert len(loads) == 2 and set(changed) == {"Little", "Big"}


def test_a_message_name_of_two_databases_with_other_value_tables():
    """One table of both databases' frames: its value table is the first
    database's, and the second's wider values come as text."""
    def database(length, choices):
        return Database(messages=[Message(0x10, "Shared", 2, [
            signal("S", 0, length, choices=choices)])])
    cols = columns_of([(0x10, False, b"\xff\x0f")] * 6)
    cols["channel"] = np.array(["CAN 1", "CAN 2"] * 3)
    table = decode_signals(cols, databases={
        "CAN 1": database(4, {1: "One"}), "CAN 2": database(12, {2: "Two"})},
        as_="numpy", decode_choices=True)["Shared"]
    assert table["S"].tolist() == ["15", "4095"] * 3


@pytest.mark.parametrize("as_", ["numpy", "pandas", "arrow"])
def test_a_signal_of_two_databases_as_integer_and_float(as_):
    """Raw values, an integer in one database and a float32 in the other,
    in one float column: missing in both where the frames are short."""
    def database(*signals):
        return Database(messages=[Message(0x10, "Shared", 4, list(signals))])
    cols = columns_of([(0x10, False, b"\x01\x02"),
                       (0x10, False, b"\x00\x00\x20\x40"),
                       (0x10, False, b"\x01\x02\x03"),
                       (0x10, False, b"\x00\x00")])
    cols["channel"] = np.array(["CAN 1", "CAN 2"] * 2)
    table = decode_signals(cols, databases={
        "CAN 1": database(signal("S", 16, 8), signal("T", 0, 8)),
        "CAN 2": database(signal("S", 0, 32, is_float=True))},
        scaling=False, as_=as_)["Shared"]
    values = np.asarray(table["S"], np.float64)
    np.testing.assert_array_equal(values, [np.nan, 2.5, 3, np.nan])
    t = table["T"]  # an integer of the first database alone
    missing = np.ma.getmaskarray(t) if as_ == "numpy" else \
        t.is_null().to_numpy(zero_copy_only=False) if as_ == "arrow" else \
        t.isna().to_numpy()
    assert missing.tolist() == [False, True, False, True]


def test_unknown_ids_are_counted_in_the_debug_log(caplog):
    with caplog.at_level(logging.DEBUG, "python_can_brenix_mf4"):
        decode_signals(columns_of(FRAMES), DB, as_="numpy")
    unknown = sum(1 for f in FRAMES if (f[0], f[1]) not in KEYS)
    assert any("%d frames" % unknown in r.getMessage()
               for r in caplog.records)


def test_a_database_file_without_cantools_names_the_extra(monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "cantools", None)
    with pytest.raises(ImportError, match=r"\[signals\]"):
        decode_signals(columns_of(FRAMES[:3]), "vehicle.dbc")


def test_no_rows_and_no_matches():
    cols = columns_of(FRAMES[:0])
    assert decode_signals(cols, DB, as_="numpy") == {}
    cols = columns_of([(0x7FF, False, b"\x01")])
    assert decode_signals(cols, DB, as_="pandas") == {}


def test_hostile_databases():
    cols = columns_of(FRAMES[:50])
    # Signals no payload reaches are missing in every row; the others
    # decode.
    far = Message(0x123, "Far", 8, [signal("In", 0, 8),
                                    signal("Out", 1 << 12, 8),
                                    signal("Before", -5, 8)], strict=False)
    table = decode_signals(cols, Database(messages=[far], strict=False),
                           as_="numpy")["Far"]
    assert np.isnan(table["Out"]).all() and np.isnan(table["Before"]).all()
    assert not np.isnan(table["In"]).all()
    # A multiplexer chain as deep as the signals: no recursion.
    depth = 1500
    chain = [signal("M0", 0, 1, is_mux=True)] + [
        signal("M%d" % i, 0, 1, is_mux=True, mux="M%d" % (i - 1),
               mux_ids=[0]) for i in range(1, depth)]
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10 * depth)  # cantools' codec recurses
    try:
        deep = Database(messages=[Message(0x123, "Deep", 8, chain,
                                          strict=False)], strict=False)
    finally:
        sys.setrecursionlimit(limit)
    assert limit < depth
    rows = decode_signals(cols, deep, as_="numpy")["Deep"]
    zero = rows["M0"] == 0
    assert np.array_equal(np.isnan(rows["M%d" % (depth - 1)]), ~zero)
    # Layouts the decoding cannot hold, multiplexers in a cycle.
    for bad, text in (
            ([signal("Long", 0, 65)], "65 bits"),
            ([signal("Half", 0, 16, is_float=True)], "float of 16 bits"),
            ([signal("A", 0, 4, is_mux=True, mux="B", mux_ids=[1]),
              signal("B", 4, 4, is_mux=True, mux="A", mux_ids=[1])],
             "cycle")):
        with pytest.raises(ValueError, match=text):
            decode_signals(cols, Database(messages=[
                Message(0x123, "Bad", 8, bad, strict=False)], strict=False))


def test_ids_beyond_32_bits_match_no_message():
    cols = columns_of(FRAMES[:200])
    little = cols["arbitration_id"] == 0x123
    cols["arbitration_id"] = cols["arbitration_id"].astype(np.int64)
    cols["arbitration_id"][little] += 1 << 32
    tables = decode_signals(cols, DB, as_="numpy")
    assert "Little" not in tables and "LittleExtended" not in tables


@pytest.mark.parametrize("call, error, text", [
    (lambda c: decode_signals(c), TypeError, "database"),
    (lambda c: decode_signals(c, 42), TypeError, "cantools Database"),
    (lambda c: decode_signals([1, 2], DB), TypeError, "columns"),
    (lambda c: decode_signals({"dlc": c["dlc"]}, DB), ValueError,
     "arbitration_id"),
    (lambda c: decode_signals(c, DB, as_="excel"), ValueError, "as_"),
    (lambda c: decode_signals(c, DB, messages=["Nope"]), ValueError, "Nope"),
    (lambda c: decode_signals(c, DB, messages="Big"), TypeError, "list"),
    (lambda c: decode_signals(c, DB, scaling=1), TypeError, "scaling"),
    (lambda c: decode_signals(c, databases={1: DB}), TypeError, "channel"),
    (lambda c: decode_signals(dict(c, data=c["data"][:, :3].astype(int)),
                              DB), ValueError, "uint8"),
    (lambda c: decode_signals(c, "/nonexistent/x.dbc"), OSError, "x.dbc"),
])
def test_bad_arguments(call, error, text):
    with pytest.raises(error, match=text):
        call(columns_of(FRAMES[:10]))
