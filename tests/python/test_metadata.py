"""get_metadata(): the properties of the header block's XML comment."""
import pytest

from python_can_brenix_mf4 import MdfFile
from support.mf4writer import CanFrame, DataGroup, Prop, build_mf4

FRAMES = [DataGroup([CanFrame(0.1, 1)], record_id_size=0)]

PROPERTIES = {
    "serial": Prop("  1234 ", ro=True),
    "Device": {
        "firmware": Prop("01.02.03", description="firmware version"),
        "can1": {"bitrate": Prop("500", type="integer", unit="kbit/s"),
                 "mode": Prop("\n listen", ro=False)},
    },
    "note": Prop("Prüfstand µ <&>", description="Frei \"text\""),
}


def test_metadata_of_the_writers_comment(source):
    log = build_mf4(FRAMES, metadata=PROPERTIES, header_text="text")
    metadata = MdfFile(source(log.data)).get_metadata()
    assert metadata == log.expected_metadata
    assert metadata["HDcomment.Device.can1.bitrate"] == {
        "name": "bitrate", "description": "", "read_only": False,
        "unit": "kbit/s", "value_raw": "500", "value_type": "integer"}
    assert list(metadata["HDcomment.serial"]) == [
        "name", "description", "read_only", "unit", "value_raw", "value_type"]


@pytest.mark.parametrize("xml", [
    None,  # no comment at all
    "<HDcomment><TX>no properties</TX></HDcomment>",
    "<HDcomment><common_properties><e name=\"a\">1</e>",  # cut off
])
def test_no_metadata(xml, source):
    log = build_mf4(FRAMES, header_xml=xml)
    assert MdfFile(source(log.data)).get_metadata() == {}


def test_padding_after_the_xml_is_not_part_of_it(source):
    xml = "<HDcomment><common_properties><e name=\"a\">1</e>" \
          "</common_properties></HDcomment>"
    padded = build_mf4(FRAMES, header_xml=xml + "\0" * 13)
    assert MdfFile(source(padded.data)).get_metadata() == {
        "HDcomment.a": {"name": "a", "description": "", "read_only": False,
                        "unit": "", "value_raw": "1", "value_type": ""}}


def test_metadata_after_close_raises(source):
    reader = MdfFile(source(build_mf4(FRAMES, metadata=PROPERTIES).data))
    reader.close()
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        reader.get_metadata()


def test_a_text_block_comment_holds_no_metadata(source):
    log = build_mf4(FRAMES, metadata=PROPERTIES)
    data = bytearray(log.data)
    at = log.offsets["HD.comment"]
    assert data[at:at + 4] == b"##MD"
    data[at:at + 4] = b"##TX"
    assert MdfFile(source(bytes(data))).get_metadata() == {}
