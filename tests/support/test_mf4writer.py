"""The writer's own layout and ground truth, against bytes and messages
worked out by hand."""
import struct
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from support.mf4writer import (CAN_DATA, LIN_FRAME, CanErrorFrame, CanFrame,
                               CanRemoteFrame, Channel, DataGroup,
                               FileHistory, GroupLayout, Linear, LinErrorFrame,
                               LinFrame, Prop, Sample, build_mf4,
                               can_data_layout, random_traffic, merged,
                               message_fields, timestamp_channel)

START_NS = 1714564800 * 10**9
START = 1714564800.0


def block_at(data, offset):
    """(id, length, links, data section) of the block at `offset`."""
    ident, length, count = struct.unpack_from("<4s4xQQ", data, offset)
    links = struct.unpack_from("<%dQ" % count, data, offset + 24)
    body = data[offset + 24 + 8 * count:offset + length]
    return ident, length, list(links), body


def dt_data(log, group=0):
    _, _, _, body = block_at(log.data, log.offsets["DG[%d].DT" % group])
    return body


@pytest.mark.parametrize("finalized, flags, custom, head, tail", [
    (True, None, 0, b"MDF     ", "00000000"),
    (False, None, 0, b"UnFinMF ", "05000000"),
    (False, 0x0004, 0x0010, b"UnFinMF ", "04001000"),
    (True, 0x0001, 0, b"MDF     ", "01000000"),
])
def test_identification_block(finalized, flags, custom, head, tail):
    log = build_mf4([], finalized=finalized, unfinalized_flags=flags,
                    custom_flags=custom)
    data = log.data
    assert data[:8] == head and data[8:16] == b"4.11    "
    assert data[28:30] == b"\x9b\x01"          # version 411
    assert data[60:64].hex() == tail


def test_header_block_fields():
    log = build_mf4([], start_time_ns=1600000000 * 10**9, tz_offset_min=-60,
                    dst_offset_min=60)
    ident, length, links, body = block_at(log.data, 64)
    assert (ident, length, len(links)) == (b"##HD", 104, 6)
    assert links[0] == 0 and links[2:5] == [0, 0, 0]
    assert body[:8] == struct.pack("<Q", 1600000000 * 10**9)
    assert body[8:13].hex() == "c4ff3c0002"    # tz, dst, offsets valid


def test_file_history_chain_and_tool_identifier():
    log = build_mf4([], file_history=[
        FileHistory(), FileHistory(tool_id=None),
        FileHistory(comment_block="TX"), FileHistory(comment_block=None)])
    data = log.data
    link = block_at(data, 64)[2][1]
    seen = []
    while link:
        ident, length, (link, comment), body = block_at(data, link)
        assert (ident, length) == (b"##FH", 56) and body[-3:] == b"\0\0\0"
        if comment:
            kind, _, _, text = block_at(data, comment)
            seen.append((kind, b"<tool_id>QX</tool_id>" in text))
        else:
            seen.append(None)
    assert seen == [(b"##MD", True), (b"##MD", False), (b"##TX", True), None]


def test_header_comment_and_expected_metadata():
    properties = {
        "serial": Prop("  42 ", ro=True),
        "Logger": {"CAN": {"rate": Prop("500", type="integer",
                                        unit="kbit/s", description="a<b",
                                        ro=False)}},
    }
    log = build_mf4([], metadata=properties, header_text="demo")
    kind, _, _, text = block_at(log.data, log.offsets["HD.comment"])
    assert kind == b"##MD"
    root = ET.fromstring(text.rstrip(b"\0").decode())
    rate = root.find(".//{*}tree[@name='Logger']/{*}tree[@name='CAN']/{*}e")
    assert rate.attrib == {"name": "rate", "type": "integer",
                           "unit": "kbit/s", "description": "a<b",
                           "ro": "false"}
    assert log.expected_metadata == {
        "HDcomment.serial": {"name": "serial", "description": "",
                             "read_only": True, "unit": "",
                             "value_raw": "42 ", "value_type": "string"},
        "HDcomment.Logger.CAN.rate": {"name": "rate", "description": "a<b",
                                      "read_only": False, "unit": "kbit/s",
                                      "value_raw": "500",
                                      "value_type": "integer"},
    }
    assert build_mf4([], header_xml="<x/>").expected_metadata is None


def test_bit_fields_land_where_the_layout_says():
    ts = timestamp_channel(bit_count=32, conversion=Linear(1e-3))
    layout = GroupLayout(CAN_DATA, ts, (
        Channel(CAN_DATA + ".ID", 5, 11, 2),
        Channel(CAN_DATA + ".DataLength", 7, 4),
        Channel(CAN_DATA + ".DataBytes", 8, 64, data_type="bytes")))
    log = build_mf4([DataGroup([CanFrame(0.25, 0x5A5, b"\x11\x22\x33")],
                               record_id_size=0, layouts={CAN_DATA: layout})])
    assert dt_data(log).hex() == "fa000000" "00" "9416" "03" "1122330000000000"


def test_wide_field_at_a_bit_offset_spans_nine_bytes():
    layout = GroupLayout("Wide", timestamp_channel(), (
        Channel("Wide.X", 9, 64, 3), Channel("Wide.Y", 17, 5, 3)), bus=None)
    log = build_mf4([DataGroup([Sample(0, "Wide", {"X": 2**64 - 1,
                                                     "Y": 0b10101})],
                               record_id_size=0, layouts={"Wide": layout})])
    assert dt_data(log)[8:].hex() == "00" "f8ffffffffffffff" "af"


def test_big_endian_and_signed_fields_land_where_the_layout_says():
    # A: the big-endian number of bytes 8-9 holds 0x23 in its bits 4-11.
    # B: -2 as 12-bit two's complement (0xffe) in bits 3-14 of bytes 10-11.
    # C: a big-endian single; D: -2 as a little-endian signed 12-bit field.
    layout = GroupLayout("Moto", timestamp_channel(), (
        Channel("Moto.A", 8, 8, 4, big_endian=True),
        Channel("Moto.B", 10, 12, 3, "sint", big_endian=True),
        Channel("Moto.C", 12, 32, data_type="float", big_endian=True),
        Channel("Moto.D", 16, 12, 2, "sint")), bus=None)
    log = build_mf4([DataGroup([Sample(0, "Moto", {"A": 0x23, "B": -2,
                                                     "C": 1.5, "D": -2})],
                               record_id_size=0, layouts={"Moto": layout})])
    assert dt_data(log)[8:].hex() == "0230" "7ff0" "3fc00000" "f83f"
    cn = {c: block_at(log.data, log.offsets["DG[0].CG[0].CN[Moto.%s]" % c])
          for c in "ABCD"}
    assert [cn[c][3][2] for c in "ABCD"] == [1, 3, 5, 2]


@pytest.mark.parametrize("size", [1, 2, 4, 8])
def test_unsorted_records_carry_their_group_id(size):
    frames = [CanFrame(0.002, 1), LinFrame(0.001, 2), CanFrame(0.003, 3)]
    log = build_mf4([DataGroup(frames, record_id_size=size,
                               first_record_id=7)])
    data = dt_data(log)
    lin, can = 19, 24                          # record sizes
    starts = [0, size + lin, 2 * size + lin + can]
    ids = [int.from_bytes(data[s:s + size], "little") for s in starts]
    assert ids == [8, 7, 7] and len(data) == 3 * size + lin + 2 * can
    _, _, links, body = block_at(log.data, log.offsets["DG[0]"])
    assert body[0] == size
    cg = block_at(log.data, links[1])
    assert struct.unpack_from("<QQ", cg[3]) == (7, 2)   # id, cycle count


def test_unsorted_order_by_time_or_as_given():
    frames = [CanFrame(0.003, 1), LinFrame(0.001, 2), CanFrame(0.002, 3)]
    by_time = build_mf4([DataGroup(frames)]).expected()
    as_given = build_mf4([DataGroup(frames, sort=False)]).expected()
    assert [m["arbitration_id"] for m in by_time] == [2, 3, 1]
    assert [m["arbitration_id"] for m in as_given] == [1, 2, 3]


def test_vlsd_values_in_a_signal_data_block():
    frames = [CanFrame(0.001, 1, b"\x01\x02\x03"), CanFrame(0.002, 2, b"")]
    log = build_mf4([DataGroup(frames, record_id_size=0, vlsd="sd")])
    ident, _, _, sd = block_at(log.data, log.offsets["DG[0].CG[0].SD"])
    assert ident == b"##SD" and sd.hex() == "03000000010203" "00000000"
    records = dt_data(log)
    assert [struct.unpack_from("<Q", records, r * 24 + 16)[0]
            for r in range(2)] == [0, 7]
    cn = block_at(log.data,
                  log.offsets["DG[0].CG[0].CN[CAN_DataFrame.DataBytes]"])
    assert cn[2][5] == log.offsets["DG[0].CG[0].SD"]
    assert cn[3][:3] == bytes([1, 0, 10])      # VLSD, no sync, byte array


def test_vlsd_channel_group_records_follow_their_frame():
    frames = [CanFrame(0.001, 1, b"\xaa\xbb"), LinFrame(0.002, 2, b"\x01")]
    log = build_mf4([DataGroup(frames, record_id_size=1, vlsd="cg")],
                    finalized=False)
    data = log.data[log.offsets["DG[0].DT"] + 24:]   # length 24: up to EOF
    assert data[0] == 1 and data[25:32].hex() == "02" "02000000" "aabb"
    assert data[32] == 3                       # the LIN frame, then its value
    assert data[52:].hex() == "04" "01000000" "01"
    _, _, links, body = block_at(log.data, log.offsets["DG[0].CG[1]"])
    assert links[:2] == [log.offsets["DG[0].CG[2]"], 0]
    record_id, cycles, flags = struct.unpack_from("<QQH", body)
    assert (record_id, cycles, flags) == (2, 0, 1)
    assert log.data[60] == 0x25                # cycle counts, DT, VLSD bytes
    cn = block_at(log.data,
                  log.offsets["DG[0].CG[0].CN[CAN_DataFrame.DataBytes]"])
    assert cn[2][5] == log.offsets["DG[0].CG[1]"]


def test_invalidation_bytes_follow_the_data_bytes():
    layout = can_data_layout(invalidation_bytes=2)
    frames = [CanFrame(0.001, 1, b"\x05"), CanFrame(0.002, 2, b"\x06")]
    log = build_mf4([DataGroup(frames, layouts={CAN_DATA: layout})])
    data = dt_data(log)
    assert len(data) == 2 * (1 + 24 + 2)
    assert data[17] == 5 and data[25:27] == b"\0\0" and data[27 + 17] == 6
    cg = block_at(log.data, log.offsets["DG[0].CG[0]"])[3]
    assert struct.unpack_from("<II", cg, 24) == (24, 2)
    cn = block_at(log.data, log.offsets["DG[0].CG[0].CN[CAN_DataFrame.ID]"])
    flags, bit = struct.unpack_from("<II", cn[3], 12)
    assert (flags, bit) == (2, 1)              # second member, bit 1


def test_unfinalized_last_data_block_keeps_length_24():
    groups = [DataGroup([CanFrame(0.001, 1, b"\x01")], record_id_size=0),
              DataGroup([LinFrame(0.002, 2, b"\x02")], record_id_size=1)]
    log = build_mf4(groups, finalized=False)
    first, last = log.offsets["DG[0].DT"], log.offsets["DG[1].DT"]
    assert block_at(log.data, first)[1] == 24 + 24
    assert block_at(log.data, last)[1] == 24
    assert log.size == last + 24 + 1 + 19      # its records run to the end
    assert log.data[60:62] == b"\x05\x00"


def test_expected_messages_worked_out_by_hand():
    frames = [
        CanFrame(0.5, 0x123, b"\x01\x02", tx=True, channel=2),
        CanFrame(0.75, 0x1ABCDEF0, bytes(range(12)), extended=True, fd=True,
                 brs=True, esi=True),
        CanRemoteFrame(1.0, 0x7FF, dlc=3),
        CanErrorFrame(1.25, channel=3, error_type=4),
        LinFrame(1.5, 0x3C, b"\xde\xad\xbe", tx=True, channel=4),
    ]
    log = build_mf4([DataGroup(frames, vlsd="cg")])
    assert log.expected() == [
        {"timestamp": START + 0.5, "arbitration_id": 0x123, "dlc": 2,
         "data": b"\x01\x02", "is_fd": False, "error_state_indicator": False,
         "bitrate_switch": False, "is_rx": False, "is_extended_id": False,
         "channel": "CAN 2"},
        {"timestamp": START + 0.75, "arbitration_id": 0x1ABCDEF0, "dlc": 12,
         "data": bytes(range(12)), "is_fd": True,
         "error_state_indicator": True, "bitrate_switch": True,
         "is_rx": True, "is_extended_id": True, "channel": "CAN 1"},
        {"timestamp": START + 1.0, "arbitration_id": 0x7FF, "dlc": 3,
         "data": b"\0\0\0", "is_remote_frame": True, "is_rx": True,
         "is_extended_id": False, "channel": "CAN 1"},
        {"timestamp": START + 1.25, "arbitration_id": 0, "dlc": 0,
         "data": b"", "is_error_frame": True, "channel": "CAN 3"},
        {"timestamp": START + 1.5, "arbitration_id": 0x3C, "dlc": 3,
         "data": b"\xde\xad\xbe", "is_rx": False, "channel": "LIN 4",
         "is_extended_id": False},
    ]


def test_expected_payload_follows_data_length():
    # DataLength, not the stored bytes, decides what "data" holds.
    frames = [CanFrame(0.1, 1, b"\x01\x02\x03\x04", data_length=2),
              CanFrame(0.2, 2, b"\x09", data_length=5)]
    for vlsd in (None, "sd"):
        got = build_mf4([DataGroup(frames, vlsd=vlsd)]).expected()
        assert [(m["dlc"], m["data"]) for m in got] == [
            (2, b"\x01\x02"), (5, b"\x09\0\0\0\0")]


@pytest.mark.parametrize("group", [
    DataGroup([Sample(0.1, "Engine", {"Speed": 3})]),
    DataGroup([LinErrorFrame(0.1)]),
    DataGroup([CanFrame(0.1, 1, bytes(65), fd=True, data_length=8)],
              vlsd="sd"),
    DataGroup([CanFrame(0.1, 1)], layouts={CAN_DATA: GroupLayout(
        CAN_DATA, timestamp_channel(), (Channel(CAN_DATA + ".ID", 8, 29),
                                        Channel(CAN_DATA + ".Foo", 12, 8)))}),
    DataGroup([CanFrame(0.1, 1)], layouts={CAN_DATA: GroupLayout(
        CAN_DATA, timestamp_channel(), (Channel(CAN_DATA + ".ID", 8, 29),),
        bus=None)}),
    DataGroup([CanFrame(0.1, 1)], layouts={CAN_DATA: GroupLayout(
        CAN_DATA, Channel("Time", 0, 64),
        (Channel(CAN_DATA + ".ID", 8, 29),))}),
], ids=["no bus", "LIN error", "VLSD payload of 65", "unknown member",
        "no source", "master named otherwise"])
def test_records_without_a_message(group):
    assert build_mf4([group]).expected() == [{"error": "Unknown bus type"}]


def test_expected_messages_are_can_message_arguments():
    can = pytest.importorskip("can")
    log = build_mf4([DataGroup(random_traffic(
        300, 6, kinds=(CAN_DATA, "CAN_RemoteFrame", "CAN_ErrorFrame",
                       LIN_FRAME), fd=True), vlsd="sd")])
    for expected in log.expected():
        if expected.get("is_remote_frame"):     # can.Message drops the data
            expected = dict(expected, data=b"")
        assert message_fields(can.Message(**expected), expected) == expected


def test_merge_takes_earlier_group_first_and_stops_at_an_error():
    a = [{"timestamp": 1.0, "n": 1}, {"timestamp": 3.0, "n": 3}]
    b = [{"timestamp": 1.0, "n": 2}, {"error": "Unknown bus type"}]
    assert [m.get("n") for m in merged([a, b])] == [1, 2, None]
    assert [m["n"] for m in merged([b[:1], a])] == [2, 1, 3]


def test_conversions_are_inverted_on_write():
    ts = timestamp_channel(conversion=Linear(0.5, 10.0))
    layout = can_data_layout(timestamp=ts)
    log = build_mf4([DataGroup([CanFrame(12.0, 1), CanFrame(13.4, 2)],
                               record_id_size=0, layouts={CAN_DATA: layout})])
    data = dt_data(log)
    assert [struct.unpack_from("<Q", data, r * 24)[0] for r in (0, 1)] == \
        [4, 7]                                 # 13.4 rounds to 13.5
    assert [m["timestamp"] for m in log.expected()] == [START + 12.0,
                                                        START + 13.5]


@pytest.mark.parametrize("group, message", [
    (DataGroup([CanFrame(0, 1 << 29)]), "outside 29 bits"),
    (DataGroup([CanFrame(0, 1), LinFrame(0, 1)], record_id_size=0),
     "one channel group"),
    (DataGroup([CanFrame(0, 1, bytes(9))],
               layouts={CAN_DATA: can_data_layout(8)}), "longer than 8"),
    (DataGroup([CanFrame(0, 1)], vlsd="cg", record_id_size=0),
     "unsorted"),
    (DataGroup([CanFrame(0, 1)], vlsd="cg", first_record_id=255),
     "record id size"),
    (DataGroup([CanFrame(0, 1, data_length=65)]), "DataLength above 64"),
    (DataGroup([Sample(0, "S", {"A": 1.5})]), "whole numbers"),
    (DataGroup([CanFrame(0, 1)], record_id_size=3), "record id size"),
    (DataGroup([Sample(0, "S", {"A": -129})], layouts={"S": GroupLayout(
        "S", timestamp_channel(), (Channel("S.A", 8, 8, data_type="sint"),),
        bus=None)}), "outside 8 bits"),
    (DataGroup([CanFrame(0, 1)], layouts={CAN_DATA: GroupLayout(
        CAN_DATA, timestamp_channel(), (Channel(
            CAN_DATA + ".DataBytes", 8, 64, data_type="bytes",
            big_endian=True),))}), "byte order"),
], ids=["range", "sorted", "fixed payload", "vlsd cg sorted", "id fit",
        "data length", "fraction", "id size", "signed range",
        "big-endian bytes"])
def test_descriptions_that_cannot_be_written(group, message):
    with pytest.raises(ValueError, match=message):
        build_mf4([group]).expected()


def test_same_seed_same_file(tmp_path):
    def make(seed):
        return build_mf4([DataGroup(random_traffic(
            500, seed, kinds=(CAN_DATA, LIN_FRAME), fd=True), vlsd="cg")])
    log = make(3)
    assert log.data == make(3).data and log.data != make(4).data
    log.write(tmp_path / "log.mf4")
    assert (tmp_path / "log.mf4").read_bytes() == log.data


def test_frame_tables_and_frame_objects_write_the_same_bytes():
    tables = random_traffic(50, 5, kinds=(CAN_DATA,))
    table = tables[0]
    frames = [CanFrame(t, int(i), bytes(table.payload[n][:k]),
                       extended=bool(e), tx=bool(d), channel=int(c))
              for n, (t, i, e, d, c, k) in enumerate(zip(
                  table.timestamps, table.column("ID"), table.column("IDE"),
                  table.column("Dir"), table.column("BusChannel"),
                  table.payload_lengths))]
    assert build_mf4([DataGroup(frames)]).data == \
        build_mf4([DataGroup(tables)]).data
    assert np.all(np.diff(table.timestamps) > 0)
