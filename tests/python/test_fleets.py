"""Fleets of logs: read_logs over files, directories and patterns merges
every file's frames by timestamp with a file column; unreadable files raise
or are skipped and reported; python_can_brenix_mf4.dask.read_logs gives the
same frames on a distributed cluster and from fsspec URLs."""
import logging
import os
import pickle
import sys

import numpy as np
import pytest

from python_can_brenix_mf4 import MdfFile, read_logs
from python_can_brenix_mf4._columns import COLUMNS
from support.mf4writer import (CAN_DATA, CAN_REMOTE, LIN_FRAME, DataGroup,
                               build_mf4, compress, encrypt, random_traffic)

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

PASSWORD, DEVICE = "pw", 0x0BAD
PASSWORDS = {"%08X" % DEVICE: PASSWORD}
WRAP = (lambda d: d, compress,
        lambda d: encrypt(d, PASSWORD, device_id=DEVICE))
START_NS = 1_700_000_000_000_000_000


def fleet_log(number):
    """A log of two groups, starting a little later for each number so
    that the files' frames interleave; plain, compressed or encrypted."""
    groups = [DataGroup(random_traffic(120, seed, kinds=kinds,
                                       mean_gap_ticks=5000,
                                       bus_channels=(1, 2, 3)))
              for seed, kinds in ((2 * number, (CAN_DATA, CAN_REMOTE)),
                                  (2 * number + 1, (CAN_DATA, LIN_FRAME)))]
    data = build_mf4(groups, start_time_ns=START_NS + number * 7_000_000).data
    return WRAP[number % 3](data)


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    """20 readable logs in two vehicle folders (some named .MF4), a text
    file, and one corrupt log in a folder of its own."""
    root = tmp_path_factory.mktemp("fleet")
    paths = []
    for number in range(20):
        folder = root / ("vehicle_%d" % (number % 2)) / "day"
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / ("%02d.%s" % (number, "MF4" if number % 4 else "mf4"))
        path.write_bytes(fleet_log(number))
        paths.append(str(path))
    (root / "vehicle_0" / "notes.txt").write_text("not a log")
    (root / "broken").mkdir()
    corrupt = root / "broken" / "corrupt.mf4"
    corrupt.write_bytes(b"MDF     4.10    " + bytes(200))
    return root, sorted(paths), str(corrupt)


def file_table(path):
    with MdfFile(path, passwords=PASSWORDS) as log:
        return log.to_arrow()


def check_merged(table, paths):
    """`table` holds each file's rows in that file's order, the file
    column naming it, all rows in timestamp order."""
    assert table.column("file").type == pa.dictionary(pa.int32(),
                                                      pa.string())
    assert table.column_names[-1] == "file"
    stamps = table.column("timestamp_ns").to_numpy()
    assert (np.diff(stamps) >= 0).all()
    files = np.array(table.column("file").to_pylist())
    assert sorted(set(files)) == sorted(paths)
    for path in paths:
        mine = table.filter(pa.array(files == path)).drop(["file"])
        assert mine.to_pylist() == file_table(path).to_pylist()


def test_a_fleet_merges_by_timestamp_with_the_file_of_each_frame(fleet):
    root, paths, _ = fleet
    table = read_logs(paths, passwords=PASSWORDS, threads=2)
    assert table.num_rows == 20 * 240
    check_merged(table, paths)
    # The files' frames interleave: merging is not concatenating.
    files = table.column("file").to_pylist()
    assert sum(a != b for a, b in zip(files, files[1:])) > 100


@pytest.mark.parametrize("form", ["folders", "pattern", "recursive"])
def test_folders_and_patterns_name_each_log_once(form, fleet):
    root, paths, _ = fleet
    given = {
        "folders": [root / "vehicle_0", root / "vehicle_1",
                    root / "vehicle_0" / "day"],
        "pattern": [str(root / "vehicle_*" / "day" / "*.MF4"),
                    str(root / "vehicle_*" / "day" / "*.mf4")],
        "recursive": str(root / "**" / "[0-9]*.*"),
    }[form]
    table = read_logs(given, passwords=PASSWORDS, columns=["arbitration_id"])
    assert table.column_names == ["arbitration_id", "file"]
    assert sorted(set(table.column("file").to_pylist())) == paths
    assert table.num_rows == 20 * 240


def test_filters_columns_and_targets(fleet):
    _, paths, _ = fleet
    options = dict(passwords=PASSWORDS, channels=["CAN 2"],
                   kinds=["CAN data"], columns=["timestamp", "dlc"])
    table = read_logs(paths[:5], **options)
    assert table.column_names == ["timestamp", "dlc", "file"]
    assert (np.diff(table.column("timestamp").to_numpy()) >= 0).all()
    expected = sum(MdfFile(p, passwords=PASSWORDS).to_arrow(
        channels=["CAN 2"], kinds=["CAN data"]).num_rows for p in paths[:5])
    assert 0 < table.num_rows == expected
    frame = read_logs(paths[:5], to="pandas", **options)
    assert isinstance(frame["file"].dtype, pd.CategoricalDtype)
    assert frame.equals(table.to_pandas())
    pl = pytest.importorskip("polars")
    assert read_logs(paths[:5], to="polars", **options).equals(
        pl.from_arrow(table))


def test_a_fleet_without_logs_is_an_empty_table(tmp_path):
    table = read_logs(tmp_path)
    assert table.num_rows == 0
    assert table.column_names[-1] == "file"
    assert tuple(table.column_names[:-1]) == COLUMNS


def test_an_unreadable_file_raises_naming_it(fleet):
    root, paths, corrupt = fleet
    with pytest.raises(RuntimeError, match="could not read .*corrupt.mf4"):
        read_logs([root], passwords=PASSWORDS)
    encrypted = [p for p in paths if p.endswith("02.MF4")]
    with pytest.raises(RuntimeError, match="02.MF4: .*password"):
        read_logs(encrypted)


def test_skipped_files_are_warned_and_listed(fleet, caplog):
    root, paths, corrupt = fleet
    missing = str(root / "gone" / "*.mf4")
    skipped = []
    with caplog.at_level(logging.WARNING, "python_can_brenix_mf4"):
        table = read_logs([root, missing], passwords=PASSWORDS,
                          on_error="skip", skipped=skipped)
    check_merged(table, paths)
    assert [path for path, _ in skipped] == [corrupt, missing]
    assert "no file matches" in skipped[1][1]
    warnings = [r.getMessage() for r in caplog.records
                if r.levelno == logging.WARNING and "skipped" in
                r.getMessage()]
    assert len(warnings) == 2
    assert corrupt in warnings[0] and skipped[0][1] in warnings[0]


@pytest.mark.parametrize("arguments, error", [
    ({"on_error": "ignore"}, ValueError),
    ({"to": "numpy"}, ValueError),
    ({"skipped": ()}, TypeError),
    ({"threads": 0}, ValueError),
    ({"passwords": "pw"}, TypeError),
    ({"channels": ["CAN x"]}, ValueError),
    ({"columns": ["speed"]}, ValueError),
])
def test_bad_arguments_raise_before_reading(arguments, error, fleet):
    with pytest.raises(error):
        read_logs(fleet[1], **arguments)


def test_bad_paths_raise():
    with pytest.raises(TypeError):
        read_logs(42)
    with pytest.raises(TypeError):
        read_logs([b"log.mf4"])


# --- Dask ------------------------------------------------------------------

def aggregates(frame):
    """Frames and payload bytes per (file, channel, arbitration id)."""
    frame = frame.assign(file=frame["file"].astype(str),
                         channel=frame["channel"].astype(str))
    return frame.groupby(["file", "channel", "arbitration_id"]).agg(
        frames=("dlc", "size"), dlc=("dlc", "sum")).sort_index()


@pytest.mark.parametrize("blocksize", [None, 3000])
def test_a_cluster_gives_the_aggregates_of_one_machine(blocksize, fleet,
                                                       caplog):
    dask = pytest.importorskip("dask")
    pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    from python_can_brenix_mf4.dask import read_logs as dask_read_logs
    root, paths, corrupt = fleet
    missing = str(root / "gone" / "*.mf4")
    frames = dask_read_logs([root, missing], passwords=PASSWORDS,
                            on_error="skip", blocksize=blocksize)
    sizes = [os.path.getsize(p) for p in sorted(paths + [corrupt])]
    assert frames.npartitions == 1 + (
        len(sizes) if blocksize is None else sum(-(-s // 3000) for s in sizes))
    # Two workers as threads of this process: worker processes would each
    # start an interpreter, which costs more than reading these small logs.
    with caplog.at_level(logging.WARNING, "python_can_brenix_mf4"), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                     processes=False, dashboard_address=":0",
                                     ) as cluster, distributed.Client(cluster):
        computed, skipped = dask.compute(frames, frames.skipped)
        with pytest.raises(RuntimeError, match="corrupt.mf4"):
            dask_read_logs(root, passwords=PASSWORDS,
                           blocksize=blocksize).compute()
    assert [d.name for d in computed.dtypes] == \
        [d.name for d in frames._meta.dtypes]
    local_skipped = []
    local = read_logs([root, missing], passwords=PASSWORDS, on_error="skip",
                      skipped=local_skipped, to="pandas")
    pd.testing.assert_frame_equal(aggregates(computed), aggregates(local))
    assert set(computed["file"].cat.categories) == \
        set(paths) | {corrupt, missing}
    assert set(computed["file"]) == set(paths)
    # Each file in file order, its frames as MdfFile.to_arrow has them.
    order = computed.reset_index(drop=True)
    assert list(dict.fromkeys(order["file"])) == sorted(paths)
    for path in paths[:3]:
        mine = order[order["file"] == path]
        assert list(mine["timestamp_ns"]) == \
            file_table(path).column("timestamp_ns").to_pylist()
    # The client learns what was skipped and why, each file once, as on
    # one machine; the one warning per file shows each was read once.
    assert list(zip(skipped["path"], skipped["reason"])) == local_skipped
    warned = [r for r in caplog.records
              if r.name == "python_can_brenix_mf4" and
              r.levelno == logging.WARNING]
    assert len(warned) == 2 * 2  # the cluster's and read_logs'


def test_parts_of_a_file_are_the_file_in_order(fleet):
    """A file split into parts: the parts, one after another, are the
    file's frames, filtered or not, whatever its container."""
    pytest.importorskip("dask.dataframe")
    from python_can_brenix_mf4.dask import read_logs as dask_read_logs
    _, paths, _ = fleet
    for options in ({}, {"channels": ["CAN 2"], "columns": ["dlc", "data"]},
                    {"start": START_NS / 1e9 + 0.5}):
        whole = dask_read_logs(paths[:3], passwords=PASSWORDS, **options)
        split = dask_read_logs(paths[:3], passwords=PASSWORDS, blocksize=1000,
                               **options)
        assert split.npartitions >= 3 * whole.npartitions
        got = split.compute(scheduler="sync")
        want = whole.compute(scheduler="sync")
        assert len(want) > 0
        # Channel categories come in the order the partitions meet them.
        for frame in (got, want):
            if "channel" in frame:
                frame["channel"] = frame["channel"].astype(str)
        pd.testing.assert_frame_equal(got.reset_index(drop=True),
                                      want.reset_index(drop=True))
        sizes = [len(split.get_partition(i).compute(scheduler="sync"))
                 for i in range(split.npartitions)]
        if not options:
            assert max(sizes) < 240 / 3  # no part holds a whole file


def test_a_file_in_parts_is_skipped_once(fleet, caplog):
    dask = pytest.importorskip("dask")
    pytest.importorskip("dask.dataframe")
    from python_can_brenix_mf4.dask import read_logs as dask_read_logs
    encrypted = [p for p in fleet[1] if p.endswith("02.MF4")]
    frames = dask_read_logs(encrypted, blocksize=1000, on_error="skip")
    assert frames.npartitions > 2
    with caplog.at_level(logging.WARNING, "python_can_brenix_mf4"):
        got, skipped = dask.compute(frames, frames.skipped, scheduler="sync")
    assert len(got) == 0
    assert len([r for r in caplog.records if r.levelno == logging.WARNING
                and r.name == "python_can_brenix_mf4"]) == 1
    assert list(skipped["path"]) == encrypted
    assert "password" in skipped["reason"].iloc[0]
    with pytest.raises(RuntimeError, match="02.MF4: .*password"):
        dask_read_logs(encrypted, blocksize=1000).partitions[1].compute(
            scheduler="sync")


@pytest.mark.parametrize("blocksize", [0, -5, True, 1.5, "lots"])
def test_a_bad_blocksize_raises(blocksize, fleet):
    pytest.importorskip("dask.dataframe")
    from python_can_brenix_mf4.dask import read_logs as dask_read_logs
    with pytest.raises(ValueError, match="blocksize"):
        dask_read_logs(fleet[1], blocksize=blocksize)


def test_the_graph_holds_only_data_and_the_packages_functions(fleet):
    dd = pytest.importorskip("dask.dataframe")
    import dask
    from python_can_brenix_mf4.dask import read_logs as dask_read_logs
    ids = sorted(set(file_table(fleet[1][1])["arbitration_id"].to_pylist()))
    frames = dask_read_logs(fleet[1][:2], passwords=PASSWORDS,
                            ids=ids[:3], columns=["dlc"])
    assert list(frames.columns) == ["dlc", "file"]
    assert isinstance(frames, dd.DataFrame)
    # Plain pickle (no closures, nothing of this process) and a scheduler
    # that only has the graph reads the files, the encrypted one too.
    graph = pickle.loads(pickle.dumps(dict(frames.__dask_graph__())))
    for number, key in enumerate(frames.__dask_keys__()):
        part = dask.get(graph, key)
        with MdfFile(fleet[1][number], passwords=PASSWORDS) as log:
            want = log.to_numpy(ids=ids[:3])["dlc"]
        assert len(want) > 0 and list(part["dlc"]) == list(want)


def test_a_task_names_only_its_own_file(fleet):
    """The list of all files (the categories of `file`) is one key of the
    graph, not a part of every file's task: a fleet of thousands of files
    would send it thousands of times."""
    pytest.importorskip("dask.dataframe")
    from python_can_brenix_mf4.dask import read_logs as dask_read_logs
    root, paths, corrupt = fleet
    frames = dask_read_logs(root, passwords=PASSWORDS, blocksize=3000)
    everything = paths + [corrupt]
    holders = []
    for key, task in dict(frames.__dask_graph__()).items():
        named = [p for p in everything if p.encode() in pickle.dumps(task)]
        assert len(named) <= 1 or len(named) == len(everything), key
        if len(named) > 1:
            holders.append(key)
    assert len(holders) == 1


def test_fsspec_urls_read_like_paths(fleet):
    pytest.importorskip("dask.dataframe")
    fsspec = pytest.importorskip("fsspec")
    from python_can_brenix_mf4.dask import read_logs as dask_read_logs
    _, paths, _ = fleet
    memory = fsspec.filesystem("memory")
    for path in paths[:4]:
        with open(path, "rb") as source:
            memory.pipe("/fleet/%s" % os.path.basename(path), source.read())
    try:
        frames = dask_read_logs("memory://fleet", passwords=PASSWORDS)
        assert frames.npartitions == 4
        computed = frames.compute(scheduler="sync")
        local = read_logs(paths[:4], passwords=PASSWORDS, to="pandas")
        got, want = aggregates(computed), aggregates(local)
        assert list(got["frames"]) == list(want["frames"])
        assert list(got["dlc"]) == list(want["dlc"])
    finally:
        memory.rm("/fleet", recursive=True)


def test_without_dask_the_error_names_the_extra(monkeypatch, fleet):
    monkeypatch.setitem(sys.modules, "dask", None)
    monkeypatch.setitem(sys.modules, "dask.dataframe", None)
    from python_can_brenix_mf4.dask import read_logs as dask_read_logs
    with pytest.raises(ImportError, match=r"\[dask\]"):
        dask_read_logs(fleet[1])
