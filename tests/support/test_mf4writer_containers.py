"""Compressed and encrypted containers: header bytes by hand, payloads
opened with a heatshrink decoder written from the bit-stream description
and with the cryptography package's own key derivation."""
import struct
import zlib

import pytest
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

from support.mf4writer import (CAN_DATA, DataGroup, build_mf4, compress,
                               encrypt, random_traffic)
from support.mf4writer.containers import crc_footer

LOG = build_mf4([DataGroup(random_traffic(60, 1, kinds=(CAN_DATA,)))]).data


def heatshrink_decode(payload, window_bits, lookahead_bits):
    """Items taken MSB first: 1 + 8-bit literal, or 0 + (distance - 1) in
    W bits + (length - 1) in L bits copying from the output so far (zeros
    before its start). Zero bits too few for an item end the stream."""
    bits = "".join("{:08b}".format(b) for b in payload)
    pos, out = 0, bytearray()
    while pos < len(bits):
        tag = bits[pos]
        need = 8 if tag == "1" else window_bits + lookahead_bits
        if pos + 1 + need > len(bits):
            break
        field = bits[pos + 1:pos + 1 + need]
        pos += 1 + need
        if tag == "1":
            out.append(int(field, 2))
            continue
        distance = int(field[:window_bits], 2) + 1
        for _ in range(int(field[window_bits:], 2) + 1):
            out.append(out[-distance] if distance <= len(out) else 0)
    return bytes(out)


@pytest.mark.parametrize("window, lookahead", [(4, 3), (8, 4), (11, 4),
                                               (15, 8)])
def test_compressed_container(window, lookahead):
    data = compress(LOG, window_bits=window, lookahead_bits=lookahead,
                    device_id=0x0001E240)
    assert data[:20] == b"Generic File" + bytes([1, 1, 0x22, 1, 0, 1, 0xE2,
                                                 0x40])
    assert struct.unpack(">II", data[20:28]) == (lookahead, 1 << window)
    payload = data[28:-4]
    assert data[-4:] == struct.pack(">I", zlib.crc32(payload) ^ 0xFFFFFFFF)
    assert heatshrink_decode(payload, window, lookahead) == LOG


def test_compressed_without_footer_and_with_chosen_fields():
    plain = compress(LOG, crc=False)
    assert plain[12:14] == b"\0\0" and heatshrink_decode(plain[28:], 11,
                                                         4) == LOG
    odd = compress(LOG, format_revision=1, footer_flag=0, window_field=0,
                   lookahead_field=0x104, header_version=2)
    assert odd[12:16] == bytes([1, 0, 0x22, 2])
    assert odd[20:28].hex() == "00000104" "00000000"


def test_crc_footer_of_the_check_string():
    assert crc_footer(b"123456789").hex() == "340bc6d9"


def _decrypt(data, password):
    iterations, = struct.unpack(">I", data[32:36])
    key = PBKDF2HMAC(hashes.SHA256(), 32, data[36:52],
                     iterations).derive(password.encode())
    return AESGCM(key).decrypt(data[20:32], data[52:], data[:52])


def test_encrypted_container():
    data = encrypt(LOG, "demo", device_id=0x0001E240, iterations=1234,
                   salt=bytes(range(16)), nonce=bytes(range(100, 112)))
    assert data[:20] == b"Generic File" + bytes([1, 0, 0x11, 1, 0, 1, 0xE2,
                                                 0x40])
    assert data[20:32] == bytes(range(100, 112))
    assert data[32:52] == struct.pack(">I", 1234) + bytes(range(16))
    assert len(data) == 68 + len(LOG)
    assert _decrypt(data, "demo") == LOG
    with pytest.raises(InvalidTag):
        _decrypt(data, "Demo")
    tampered = data[:19] + b"\x41" + data[20:]
    with pytest.raises(InvalidTag):
        _decrypt(tampered, "demo")


def test_encrypted_empty_content_and_seeds():
    assert len(encrypt(b"", "pw")) == 68
    assert _decrypt(encrypt(b"", "pw"), "pw") == b""
    assert encrypt(LOG, "pw", seed=1) == encrypt(LOG, "pw", seed=1)
    assert encrypt(LOG, "pw", seed=1)[20:52] != encrypt(LOG, "pw",
                                                        seed=2)[20:52]


def test_nested_container_opens_layer_by_layer():
    data = encrypt(compress(LOG), "outer", device_id=7)
    inner = _decrypt(data, "outer")
    assert inner[14] == 0x22
    assert heatshrink_decode(inner[28:-4], 11, 4) == LOG
