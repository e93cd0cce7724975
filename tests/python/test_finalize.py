"""Finalize and sort, checked from outside: the C++ library finalizes and
sorts unfinalized files of the project's writer and saves them
(tools/mf4_finalize, built with the C++ tests), and the saved files are
read back with this module's MdfFile and with asammdf, an MDF reader
nobody here wrote.

The tool is taken from $MF4_FINALIZE, else from build/cpp (where
scripts/test.sh builds it); without it these tests are skipped.
"""
import io
import os
import pathlib
import struct
import subprocess

import numpy as np
import pytest

from python_can_brenix_mf4 import MdfFile
from support.finalized_truth import finalized_by_group
from support.mf4writer import (CAN_DATA, CAN_ERROR, CAN_REMOTE, LIN_FRAME,
                               CanFrame, Channel, DataGroup, GroupLayout, Linear,
                               ValueTable, build_mf4, can_data_layout,
                               compress, encrypt, merged, random_traffic,
                               timestamp_channel)

from conftest import attributes, expected_attributes

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUS_KINDS = (CAN_DATA, CAN_REMOTE, CAN_ERROR, LIN_FRAME)

# CAN data frames whose time counts 10 us ticks from -0.25 s and whose bus
# channel goes through a value table.
CONVERTED = GroupLayout(
    CAN_DATA, timestamp_channel(conversion=Linear(1e-5, -0.25)),
    (Channel(CAN_DATA + ".BusChannel", 8, 3,
             conversion=ValueTable(((0, 1), (1, 2), (5, 9)))),
     Channel(CAN_DATA + ".ID", 8, 29, 3),
     Channel(CAN_DATA + ".IDE", 12, 1),
     Channel(CAN_DATA + ".DataLength", 12, 7, 1),
     Channel(CAN_DATA + ".DataBytes", 13, 512, data_type="bytes")))


def traffic(count, seed, kinds=BUS_KINDS, fd=False):
    return random_traffic(count, seed, kinds=kinds, fd=fd,
                          mean_gap_ticks=50)


SHAPES = {
    "sorted group, unsorted group with VLSD channel groups": lambda: [
        DataGroup(traffic(150, 1, (CAN_DATA,)), record_id_size=0),
        DataGroup(traffic(400, 2, fd=True), record_id_size=1, vlsd="cg")],
    "conversions, invalidation bytes, 2-byte ids": lambda: [
        DataGroup(traffic(300, 3, (CAN_DATA, LIN_FRAME)), record_id_size=2,
                  layouts={CAN_DATA: can_data_layout(invalidation_bytes=1)}),
        DataGroup(traffic(200, 4, (CAN_DATA,), fd=True), record_id_size=1,
                  layouts={CAN_DATA: CONVERTED})],
    "8-byte ids from 2**40, VLSD channel groups": lambda: [
        DataGroup(traffic(300, 5, fd=True), record_id_size=8, vlsd="cg",
                  first_record_id=2**40)],
    "one channel group behind ids, VLSD in signal data blocks": lambda: [
        DataGroup(traffic(100, 6, (CAN_DATA,)), record_id_size=1),
        DataGroup(traffic(200, 7, fd=True), record_id_size=4, vlsd="sd")],
}


@pytest.fixture(scope="module")
def tool():
    path = pathlib.Path(os.environ.get(
        "MF4_FINALIZE", ROOT / "build" / "cpp" / "mf4_finalize"))
    if not path.is_file():
        pytest.skip("mf4_finalize is not built (%s)" % path)
    return path


@pytest.fixture(scope="module", params=sorted(SHAPES))
def finalized(request, tool, tmp_path_factory):
    """(writer log of an unfinalized file, the finalized file's path)."""
    log = build_mf4(SHAPES[request.param](), finalized=False)
    folder = tmp_path_factory.mktemp("finalize")
    log.write(folder / "in.mf4")
    subprocess.run([str(tool), str(folder / "in.mf4"),
                    str(folder / "out.mf4")], check=True)
    return log, folder / "out.mf4"


def test_the_saved_file_is_finalized(finalized):
    log, path = finalized
    assert log.data[:8] == b"UnFinMF "
    assert path.read_bytes()[:8] == b"MDF     "


def test_mdffile_reads_every_frame(finalized):
    log, path = finalized
    expected = merged(finalized_by_group(log))
    assert len(expected) == sum(map(len, log.expected_by_group()))
    with MdfFile(str(path)) as reader:
        got = [attributes(m) for m in reader]
    assert got == expected_attributes(expected)


def test_asammdf_reads_every_channel_value(finalized):
    pytest.importorskip("asammdf")
    from support.test_mf4writer_asammdf import read_with_asammdf
    log, path = finalized
    expected = finalized_by_group(log)
    # The save places data groups in an order of its own: compare the
    # groups, each in file order, whatever their order.
    got = read_with_asammdf(path.read_bytes())
    assert len(got) == len(expected)
    assert sorted(map(repr, got)) == sorted(map(repr, expected))


def test_asammdf_sees_sorted_groups_with_their_cycle_counts(finalized):
    asammdf = pytest.importorskip("asammdf")
    log, path = finalized
    counts = sorted(len(g) for g in finalized_by_group(log))
    mdf = asammdf.MDF(io.BytesIO(path.read_bytes()))
    try:
        assert sorted(g.channel_group.cycles_nr for g in mdf.groups) == counts
        assert all(g.data_group.record_id_len == 0 for g in mdf.groups)
        assert np.all([g.sorted for g in mdf.groups])
    finally:
        mdf.close()


def test_containers_are_unwrapped_with_the_passwords_given(tool, tmp_path):
    log = build_mf4(SHAPES[sorted(SHAPES)[0]](), finalized=False)
    plain = tmp_path / "plain.mf4"
    log.write(plain)
    subprocess.run([str(tool), str(plain), str(tmp_path / "expected.mf4")],
                   check=True)
    expected = (tmp_path / "expected.mf4").read_bytes()
    wrapped = tmp_path / "wrapped.mf4"
    wrapped.write_bytes(encrypt(compress(log.data), "pw", device_id=0xBEEF))
    for password in ("0000BEEF=pw", "default=pw"):
        out = tmp_path / "out.mf4"
        subprocess.run([str(tool), "--password", password, str(wrapped),
                        str(out)], check=True)
        assert out.read_bytes() == expected


@pytest.mark.parametrize("arguments, message", [
    ([], "Encrypted file detected, but no passwords supplied: encrypted "
     "container at 0x10: device 0000BEEF, no passwords given"),
    (["--password", "0000BEEE=pw"], "Could not find key to decrypt stream: "
     'encrypted container at 0x10: no password for device 0000BEEF or '
     '"default"'),
    # 16 bytes of content: the tag follows the 52 bytes before them.
    (["--password", "0000BEEF=wrong", "--password", "default=pw"],
     "Could not decrypt stream: encrypted container at 0x44: authentication "
     "tag does not match (a wrong password, or a damaged file)"),
])
def test_container_failures_name_the_file_and_the_reason(tool, tmp_path,
                                                          arguments, message):
    wrapped = tmp_path / "wrapped.mf4"
    wrapped.write_bytes(encrypt(b"MDF     4.11    ", "pw", device_id=0xBEEF))
    run = subprocess.run([str(tool), *arguments, str(wrapped),
                          str(tmp_path / "out.mf4")],
                         capture_output=True, text=True)
    assert run.returncode == 2
    assert run.stderr == "mf4_finalize: %s: %s\n" % (wrapped, message)
    assert not (tmp_path / "out.mf4").exists()


def test_a_damaged_file_names_the_block(tool, tmp_path):
    log = build_mf4([DataGroup([CanFrame(0.1, 0x10, b"\x01")])])
    data = bytearray(log.data)
    dg = log.offsets["DG[0]"]
    struct.pack_into("<Q", data, dg + 16, 3)  # 3 links instead of 4
    damaged = tmp_path / "damaged.mf4"
    damaged.write_bytes(bytes(data))
    run = subprocess.run([str(tool), str(damaged), str(tmp_path / "out.mf4")],
                         capture_output=True, text=True)
    assert run.returncode == 2
    assert run.stderr == (
        "mf4_finalize: %s: Could not open data source: DG block at 0x%X: 3 "
        "links, needs 4\n" % (damaged, dg))
