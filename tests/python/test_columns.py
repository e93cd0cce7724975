"""Frames as columns: every row equals the writer's ground truth and the
message of its frame, in every container and source kind; filters, batches,
Arrow, pandas and polars; bad arguments and closed readers."""
import heapq
import sys
import tracemalloc

import numpy as np
import pytest

from python_can_brenix_mf4 import MdfFile
from support.mf4writer import (CAN_DATA, CAN_ERROR, CAN_REMOTE, LIN_ERRORS,
                               LIN_FRAME, DataGroup, Sample, build_mf4,
                               can_data_big_endian_layout, can_data_layout,
                               compress, encrypt, random_traffic,
                               timestamp_channel)

from conftest import SOURCES, attributes

PASSWORD, DEVICE = "pw", 0x1234
CONTAINERS = {
    "plain": lambda d: d,
    "compressed": compress,
    "encrypted": lambda d: encrypt(d, PASSWORD, device_id=DEVICE),
    "nested": lambda d: encrypt(compress(d), PASSWORD, device_id=DEVICE),
}
PASSWORDS = {"%08X" % DEVICE: PASSWORD}
KINDS = ("CAN data", "CAN remote", "CAN error", "LIN", "LIN checksum error",
         "LIN receive error", "LIN sync error", "LIN transmission error")
COLUMNS = ("timestamp", "timestamp_ns", "channel", "kind", "arbitration_id",
           "is_extended_id", "is_remote_frame", "is_error_frame", "is_fd",
           "is_rx", "bitrate_switch", "error_state_indicator", "dlc", "data",
           "error_type", "group")
MESSAGE_COLUMNS = ("timestamp", "arbitration_id", "is_extended_id",
                   "is_remote_frame", "is_error_frame", "channel", "dlc",
                   "is_fd", "is_rx", "bitrate_switch", "error_state_indicator")


def traffic(count, seed, kinds, fd=False):
    return random_traffic(count, seed, kinds=kinds, fd=fd, mean_gap_ticks=40)


def samples(count):
    return [Sample(0.0003 * k + 0.0001, "Engine", {"Speed": 100 + k})
            for k in range(count)]


# Every shape the writer makes: sorted and unsorted groups of every record
# id size, payloads in the record, in signal data blocks and in VLSD
# channel groups (also in front of their frame group), every frame kind
# with the four LIN error kinds, a float and a big-endian signed time
# channel, invalidation bytes, and a group that is not bus logging.
SHAPES = [
    DataGroup(traffic(20, 1, (CAN_DATA,)), record_id_size=0,
              layouts={CAN_DATA: can_data_layout(
                  8, timestamp=timestamp_channel("float", 64))}),
    DataGroup(traffic(15, 2, (LIN_FRAME,)), record_id_size=0, vlsd="sd"),
    DataGroup(traffic(15, 3, (CAN_DATA,), fd=True), record_id_size=0,
              vlsd="sd"),
    DataGroup(traffic(60, 4, (CAN_DATA, CAN_REMOTE, CAN_ERROR, LIN_FRAME)
                      + LIN_ERRORS, fd=True) + samples(6),
              record_id_size=1,
              layouts={CAN_DATA: can_data_layout(64, invalidation_bytes=1)}),
    DataGroup(traffic(30, 5, (CAN_DATA, CAN_REMOTE, LIN_FRAME), fd=True),
              record_id_size=2, vlsd="sd"),
    DataGroup(traffic(30, 6, (CAN_DATA, CAN_ERROR, LIN_FRAME), fd=True),
              record_id_size=4, vlsd="cg", vlsd_group_first=True),
    DataGroup(traffic(30, 7, (CAN_DATA, LIN_FRAME, "LIN_SyncError")),
              record_id_size=8, vlsd="cg"),
    DataGroup(traffic(10, 8, (CAN_DATA,)), record_id_size=1,
              layouts={CAN_DATA: can_data_big_endian_layout()}),
    DataGroup(samples(5), record_id_size=0),
]
LOG = build_mf4(SHAPES)


def truth_rows(log):
    """The rows the writer's ground truth gives: every decoded frame of
    every group, merged as heapq.merge merges the groups' messages."""
    def frames(group, index):
        for frame in group:
            if "error" not in frame:
                yield dict(frame, group=index)
    return list(heapq.merge(*(frames(g, i) for i, g in
                              enumerate(log.frames_by_group())),
                            key=lambda f: f["timestamp"]))


def row_dicts(columns):
    """The rows of to_numpy's columns as dicts of Python values, data cut
    to dlc bytes."""
    count = len(columns["timestamp"])
    rows = []
    for i in range(count):
        row = {name: columns[name][i].item() for name in COLUMNS
               if name != "data"}
        row["data"] = columns["data"][i, :row["dlc"]].tobytes()
        rows.append(row)
    return rows


def test_the_shapes_cover_every_row_kind():
    kinds = {row["kind"] for row in truth_rows(LOG)}
    assert kinds == set(KINDS)


def assert_rows_are_the_truth(built, open_log):
    """to_numpy's rows of the log that `open_log()` opens are the frames of
    the writer's log `built`, and the rows of frames with messages are the
    messages."""
    with open_log() as log:
        columns = log.to_numpy()
    rows = row_dicts(columns)
    truth = truth_rows(built)
    assert len(rows) == len(truth)
    for row, frame in zip(rows, truth):
        assert {k: row[k] for k in frame if k != "data"} == \
            {k: v for k, v in frame.items() if k != "data"}
        if not frame["kind"] == "CAN remote":
            assert row["data"] == frame.get("data", b"")
        assert row["timestamp_ns"] == frame["timestamp_ns"]
    # Zero-padded after dlc.
    assert not np.any(columns["data"][np.arange(64)[None, :]
                                      >= columns["dlc"][:, None]])

    # The rows of frames with messages are the messages, attribute by
    # attribute (the other kinds' rows interleave by timestamp).
    with open_log() as log:
        messages = [attributes(m) for m in log]
    framed = [r for r in rows if r["kind"] in KINDS[:4]]
    assert len(framed) == len(messages)
    for row, message in zip(framed, messages):
        assert {k: row[k] for k in MESSAGE_COLUMNS} == \
            {k: message[k] for k in MESSAGE_COLUMNS}
        assert row["data"] == message["data"] or (
            row["is_remote_frame"] and message["data"] == b"")
    return columns


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize("container", CONTAINERS)
def test_rows_are_the_writers_frames_and_equal_the_messages(
        container, kind, source):
    data = CONTAINERS[container](LOG.data)
    assert_rows_are_the_truth(
        LOG, lambda: MdfFile(source(data, kind), passwords=PASSWORDS,
                             skip_unknown_records=True))


# Logs of one data group: with no other group to merge, its records are
# taken in runs straight from the read window (CAN data frames field by
# field), also across windows (the big one) and batches.
ONE_GROUP = {
    "sorted, float time": SHAPES[0],
    "every kind, id size 1": DataGroup(
        traffic(3000, 21, (CAN_DATA, CAN_REMOTE, CAN_ERROR, LIN_FRAME)
                + LIN_ERRORS, fd=True), record_id_size=1,
        layouts={CAN_DATA: can_data_layout(64, invalidation_bytes=1)}),
    "FD in a VLSD group, id size 4": SHAPES[5],
    "signal data, id size 2": SHAPES[4],
    "big-endian": SHAPES[7],
    "CAN only, many windows": DataGroup(
        traffic(30000, 22, (CAN_DATA,)), record_id_size=1),
    "CAN and a few LIN": DataGroup(
        random_traffic(5000, 23, kinds=(CAN_DATA, LIN_FRAME),
                       weights=(0.97, 0.03)), record_id_size=2),
}


@pytest.fixture(scope="module")
def one_group(tmp_path_factory):
    """name -> (writer's log, its path), built once."""
    logs = {}
    for name, group in ONE_GROUP.items():
        built = build_mf4([group])
        path = tmp_path_factory.mktemp("one") / "log.mf4"
        built.write(path)
        logs[name] = (built, str(path))
    return logs


@pytest.mark.parametrize("name", ONE_GROUP)
def test_one_groups_rows_are_its_frames(name, one_group):
    built, path = one_group[name]
    columns = assert_rows_are_the_truth(
        built, lambda: MdfFile(path, skip_unknown_records=True))
    # Filters and batches keep and cut the same rows.
    ids = np.unique(columns["arbitration_id"])[::3].tolist()
    middle = columns["timestamp"][len(columns["timestamp"]) // 2]
    cases = [
        (dict(channels=["CAN 1"]), columns["channel"] == "CAN 1"),
        (dict(ids=ids), np.isin(columns["arbitration_id"], ids)),
        (dict(start=middle), columns["timestamp"] >= middle),
        (dict(stop=middle, kinds=["CAN data"]),
         (columns["timestamp"] < middle) & (columns["kind"] == "CAN data")),
    ]
    with MdfFile(path) as log:
        for arguments, keep in cases:
            got = log.to_numpy(**arguments)
            for column in COLUMNS:
                np.testing.assert_array_equal(got[column],
                                              columns[column][keep])
        for rows in (7, 1000):
            batches = list(log.iter_batches(rows, kinds=None,
                                            columns=["timestamp", "dlc",
                                                     "data", "channel"]))
            assert all(0 < len(b["timestamp"]) <= rows for b in batches)
            for column in batches[0]:
                np.testing.assert_array_equal(
                    np.concatenate([b[column] for b in batches]),
                    columns[column])


@pytest.fixture(scope="module")
def log_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("columns") / "shapes.mf4"
    LOG.write(path)
    return str(path)


@pytest.fixture(scope="module")
def everything(log_path):
    return MdfFile(log_path).to_numpy()


def _select(columns, keep):
    return {name: values[keep] for name, values in columns.items()}


FILTERS = {
    "channels": (dict(channels=["CAN 1", "LIN 2"]),
                 lambda c: np.isin(c["channel"], ["CAN 1", "LIN 2"])),
    "ids": (dict(ids=[0, 21, 43]),
            lambda c: np.isin(c["arbitration_id"], [0, 21, 43])),
    "kinds": (dict(kinds=["LIN", "CAN remote", "LIN sync error"]),
              lambda c: np.isin(c["kind"],
                                ["LIN", "CAN remote", "LIN sync error"])),
    "start and stop": (
        dict(start=LOG.start_seconds + 0.0005,
             stop=LOG.start_seconds + 0.002),
        lambda c: (c["timestamp"] >= LOG.start_seconds + 0.0005)
        & (c["timestamp"] < LOG.start_seconds + 0.002)),
    "all at once": (
        dict(channels=["CAN 2", "LIN 1"], kinds=["CAN data", "LIN"],
             start=LOG.start_seconds + 0.001),
        lambda c: np.isin(c["channel"], ["CAN 2", "LIN 1"])
        & np.isin(c["kind"], ["CAN data", "LIN"])
        & (c["timestamp"] >= LOG.start_seconds + 0.001)),
}


@pytest.mark.parametrize("name", FILTERS)
def test_filters_leave_out_rows_of_the_whole_table(name, log_path,
                                                   everything):
    arguments, keep = FILTERS[name]
    mask = keep(everything)
    assert 0 < mask.sum() < len(mask)
    got = MdfFile(log_path).to_numpy(**arguments)
    expected = _select(everything, mask)
    assert list(got) == list(COLUMNS)
    for column in COLUMNS:
        np.testing.assert_array_equal(got[column], expected[column])


def test_columns_pick_columns_in_the_order_given(log_path, everything):
    got = MdfFile(log_path).to_numpy(columns=["data", "timestamp_ns", "kind"])
    assert list(got) == ["data", "timestamp_ns", "kind"]
    for column in got:
        np.testing.assert_array_equal(got[column], everything[column])


def test_numpy_types(everything):
    types = {name: (values.dtype.kind, values.dtype.itemsize)
             for name, values in everything.items()}
    assert types["timestamp"] == ("f", 8)
    assert types["timestamp_ns"] == ("i", 8)
    assert types["arbitration_id"] == ("u", 4)
    assert types["dlc"] == types["error_type"] == ("u", 1)
    assert types["group"] == ("u", 2)
    assert everything["data"].shape == (len(everything["timestamp"]), 64)
    assert everything["channel"].dtype.kind == everything["kind"].dtype.kind \
        == "U"
    for flag in ("is_extended_id", "is_remote_frame", "is_error_frame",
                 "is_fd", "is_rx", "bitrate_switch", "error_state_indicator"):
        assert everything[flag].dtype == np.bool_


def test_a_filter_that_keeps_nothing_gives_empty_columns(log_path):
    got = MdfFile(log_path).to_numpy(ids=[0x1FFFFFFF], kinds=["LIN"])
    assert list(got) == list(COLUMNS)
    assert all(len(values) == 0 for values in got.values())
    assert got["data"].shape == (0, 64)


@pytest.mark.parametrize("rows", [1, 7, 1000])
def test_batches_are_the_table_in_pieces(rows, log_path, everything):
    batches = list(MdfFile(log_path).iter_batches(rows, kinds=None))
    assert all(0 < len(b["timestamp"]) <= rows for b in batches)
    for column in COLUMNS:
        np.testing.assert_array_equal(
            np.concatenate([b[column] for b in batches]), everything[column])


def test_batches_hold_one_batch_beyond_the_reader(tmp_path):
    # A log of 40 batches: the memory the batches take stays that of about
    # one batch while they are consumed one by one.
    path = tmp_path / "big.mf4"
    build_mf4([DataGroup(traffic(20000, 11, (CAN_DATA, LIN_FRAME)),
                         record_id_size=1)]).write(path)
    rows = 500
    batch_bytes = rows * (8 + 8 + 28 + 88 + 4 + 7 + 1 + 64 + 1 + 2)
    with MdfFile(str(path)) as log:
        tracemalloc.start()
        try:
            count = 0
            for batch in log.iter_batches(rows):
                count += len(batch["timestamp"])
                del batch
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
    assert count == 20000
    assert peak < 2 * batch_bytes


def test_arrow_pandas_and_polars_hold_the_numpy_columns(log_path, everything):
    pa = pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    log = MdfFile(log_path)
    # Remote frames carry no data, like their messages.
    payloads = [b"" if remote else row[:n].tobytes()
                for row, n, remote in zip(everything["data"],
                                          everything["dlc"],
                                          everything["is_remote_frame"])]
    table = log.to_arrow()
    frame = log.to_pandas()
    polars = log.to_polars()
    assert table.column_names == list(frame.columns) == polars.columns \
        == list(COLUMNS)
    assert pa.types.is_dictionary(table.schema.field("channel").type)
    assert pa.types.is_dictionary(table.schema.field("kind").type)
    assert table.schema.field("data").type == pa.binary()
    assert isinstance(frame["channel"].dtype, pd.CategoricalDtype)
    assert isinstance(frame["kind"].dtype, pd.CategoricalDtype)
    assert list(frame["kind"].cat.categories) == list(KINDS)
    assert polars.schema["channel"] == pl.Categorical or \
        isinstance(polars.schema["channel"], pl.Categorical)
    for column in COLUMNS:
        if column == "data":
            expected = payloads
        else:
            expected = everything[column].tolist()
        assert table.column(column).to_pylist() == expected, column
        assert frame[column].tolist() == expected, column
        assert polars[column].to_list() == expected, column
    assert frame["timestamp_ns"].dtype == np.int64
    assert table.schema.field("timestamp_ns").type == pa.int64()


def test_arrow_and_pandas_take_the_filters(log_path, everything):
    pytest.importorskip("pyarrow")
    pytest.importorskip("pandas")
    arguments = dict(kinds=["LIN"], columns=["timestamp_ns", "data"])
    expected = MdfFile(log_path).to_numpy(**arguments)
    table = MdfFile(log_path).to_arrow(**arguments)
    frame = MdfFile(log_path).to_pandas(**arguments)
    assert table.column_names == list(frame.columns) == list(expected)
    assert table.column("timestamp_ns").to_pylist() == \
        frame["timestamp_ns"].tolist() == expected["timestamp_ns"].tolist()
    assert len(table) > 0


def test_empty_results_keep_their_columns(log_path):
    pytest.importorskip("pyarrow")
    pytest.importorskip("pandas")
    arguments = dict(ids=[0x1FFFFFFF], kinds=["LIN"])
    assert MdfFile(log_path).to_arrow(**arguments).num_rows == 0
    frame = MdfFile(log_path).to_pandas(**arguments)
    assert len(frame) == 0 and list(frame.columns) == list(COLUMNS)


@pytest.mark.parametrize("method, module, extra", [
    ("to_arrow", "pyarrow", "arrow"), ("to_pandas", "pandas", "pandas"),
    ("to_polars", "polars", "polars"), ("to_polars", "pyarrow", "polars")])
def test_a_missing_library_names_its_extra(method, module, extra, log_path,
                                           monkeypatch):
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=r"\[%s\]" % extra):
        getattr(MdfFile(log_path), method)()


BAD_ARGUMENTS = [
    (dict(channels="CAN 1"), TypeError, "channels"),
    (dict(channels=[1]), TypeError, "channels"),
    (dict(channels=["CAN 1", "FlexRay 1"]), ValueError, "channels"),
    (dict(channels=["CAN 256"]), ValueError, "channels"),
    (dict(channels=[]), ValueError, "channels"),
    (dict(ids=5), TypeError, "ids"),
    (dict(ids=["0x10"]), TypeError, "ids"),
    (dict(ids=[True]), TypeError, "ids"),
    (dict(ids=[-1]), ValueError, "ids"),
    (dict(ids=[1 << 29]), ValueError, "ids"),
    (dict(kinds="LIN"), TypeError, "kinds"),
    (dict(kinds=["LIN frame"]), ValueError, "kinds"),
    (dict(kinds=[4]), TypeError, "kinds"),
    (dict(start="now"), TypeError, "start"),
    (dict(stop=[1.0]), TypeError, "stop"),
    (dict(columns=["timestamp", "time"]), ValueError, "columns"),
    (dict(columns="timestamp"), TypeError, "columns"),
]


@pytest.mark.parametrize("arguments, error, name", BAD_ARGUMENTS)
@pytest.mark.parametrize("method", ["to_numpy", "iter_batches", "to_arrow",
                                    "to_pandas", "to_polars"])
def test_bad_arguments_name_the_argument(method, arguments, error, name,
                                         log_path):
    call = getattr(MdfFile(log_path), method)
    with pytest.raises(error, match="^%s" % name):
        call(**arguments)


@pytest.mark.parametrize("rows, error", [(0, ValueError), (-5, ValueError),
                                         (2.5, TypeError), ("9", TypeError)])
def test_batch_rows_are_a_positive_integer(rows, error, log_path):
    with pytest.raises(error, match="^rows"):
        MdfFile(log_path).iter_batches(rows)


def test_a_closed_reader_raises(log_path):
    log = MdfFile(log_path)
    batches = log.iter_batches(10)
    next(batches)
    log.close()
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        next(batches)
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        log.to_numpy()


def test_reopening_detaches_the_batches_of_the_old_file(log_path):
    log = MdfFile(log_path)
    batches = log.iter_batches(5)
    next(batches)
    log.__init__(log_path)
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        next(batches)
    assert len(log.to_numpy()["timestamp"]) == len(truth_rows(LOG))


def test_a_truncated_log_ends_its_rows_where_its_messages_end(tmp_path):
    log = build_mf4([DataGroup(traffic(200, 12, (CAN_DATA, LIN_FRAME)),
                               record_id_size=1)])
    path = tmp_path / "cut.mf4"
    path.write_bytes(log.data[:len(log.data) - 1000])
    with MdfFile(str(path)) as reader:
        messages = [attributes(m) for m in reader]
        columns = reader.to_numpy()
    assert 0 < len(messages) < 200
    assert columns["timestamp"].tolist() == [m["timestamp"] for m in messages]


def test_a_hostile_cycle_count_sizes_nothing(tmp_path):
    # The cycle count claims 2**62 frames: the first fill is sized by the
    # bytes the data block has, so nothing huge is allocated.
    log = build_mf4([DataGroup(traffic(50, 13, (CAN_DATA,)),
                               record_id_size=0)])
    data = bytearray(log.data)
    cycle_count = log.offsets["DG[0].CG[0]"] + 80
    data[cycle_count:cycle_count + 8] = (1 << 62).to_bytes(8, "little")
    path = tmp_path / "hostile.mf4"
    path.write_bytes(bytes(data))
    tracemalloc.start()
    try:
        columns = MdfFile(str(path)).to_numpy()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(columns["timestamp"]) == 50
    assert peak < 64 << 20


def test_an_unfinalized_log_gives_its_frames(tmp_path):
    # Cycle counts of 0 and a last data block of the length of an empty
    # one: the rows come all the same, in fills of the default size.
    log = build_mf4([
        DataGroup(traffic(30, 14, (CAN_DATA,)), record_id_size=0),
        DataGroup(traffic(70, 15, (CAN_DATA, LIN_FRAME, LIN_ERRORS[2]),
                          fd=True), record_id_size=1, vlsd="cg")],
        finalized=False)
    path = tmp_path / "unfinalized.mf4"
    log.write(path)
    rows = row_dicts(MdfFile(str(path)).to_numpy())
    truth = truth_rows(log)
    assert len(rows) == len(truth) == 100
    assert [(r["kind"], r["timestamp_ns"], r["group"]) for r in rows] == \
        [(f["kind"], f["timestamp_ns"], f["group"]) for f in truth]


@pytest.fixture(scope="module")
def damaged_big_log(tmp_path_factory):
    """Two groups of 160,000 frames in all, many fills' worth for the
    helper thread: the first group's records end in a run of unknown
    record ids two thirds of the way in, the other group goes on."""
    log = build_mf4([
        DataGroup(traffic(100000, 21, (CAN_DATA, CAN_REMOTE, LIN_FRAME)
                          + LIN_ERRORS, fd=True), record_id_size=1,
                  vlsd="cg"),
        DataGroup(traffic(60000, 22, (CAN_DATA, CAN_ERROR)),
                  record_id_size=1)])
    data = bytearray(log.data)
    first, end = log.offsets["DG[0].DT"], log.offsets["DG[1].DT"]
    middle = first + (end - first) * 2 // 3
    data[middle:middle + 64] = b"\xff" * 64
    path = tmp_path_factory.mktemp("big") / "damaged.mf4"
    path.write_bytes(bytes(data))
    return str(path)


@pytest.mark.parametrize("filters", [
    {}, {"kinds": ["LIN", "CAN error"]}, {"ids": [0x1FFFFFFF, 0x7FF]},
    {"stop": 0.0}, {"columns": ["kind", "timestamp_ns"]}])
def test_the_helper_thread_changes_no_row(filters, damaged_big_log,
                                          monkeypatch):
    # A fill shared with a helper thread (faults, names) and one on the
    # calling thread alone give the same rows: whole, in batches, as Arrow,
    # for a group cut short mid-file and fills that end early or keep
    # nothing.
    def read():
        with MdfFile(damaged_big_log) as log:
            return (log.to_numpy(**filters),
                    list(log.iter_batches(70000, **filters)),
                    log.to_arrow(**filters))
    helped, helped_batches, helped_arrow = read()
    monkeypatch.setenv("MF4_THREADS", "1")
    alone, alone_batches, alone_arrow = read()
    assert list(helped) == list(alone)
    for name in alone:
        np.testing.assert_array_equal(helped[name], alone[name])
        np.testing.assert_array_equal(
            np.concatenate([b[name] for b in helped_batches]
                           or [alone[name]]), alone[name])
    assert len(helped_batches) == len(alone_batches)
    assert helped_arrow.equals(alone_arrow)
    # The names against Arrow's dictionaries of the codes.
    for name in ("channel", "kind"):
        if name in alone:
            assert alone[name].tolist() == \
                alone_arrow.column(name).to_pylist()
    if not filters:
        assert 100000 < len(alone["timestamp"]) < 160000
        assert set(alone["kind"]) == set(KINDS)
    if "stop" in filters:
        assert len(alone["timestamp"]) == 0


@pytest.mark.parametrize("arguments, error", [
    ({"kind_names": "abc"}, TypeError),               # not bytes
    ({"kind_names": b"abcdefghij"}, ValueError),      # no 9 items of one size
    ({"channel_names": b""}, ValueError),             # no items
    ({"channel_names": b"ab" * 512, "wanted": 0}, ValueError),  # not wanted
])
def test_fill_refuses_name_tables_that_do_not_fit(arguments, error,
                                                  log_path):
    from python_can_brenix_mf4._native import _ColumnReader
    with MdfFile(log_path) as log:
        reader = _ColumnReader(log, [], [], 0, None, None)
        wanted = arguments.pop("wanted", 1 << 2 | 1 << 3)
        with pytest.raises(error):
            reader.fill(10, wanted, **arguments)
        count, raw = reader.fill(10, 1 << 2 | 1 << 3,
                                 kind_names=bytes(range(18)))
        assert count == 10
        assert len(raw[3]) == 20 and len(raw[2]) == 20
