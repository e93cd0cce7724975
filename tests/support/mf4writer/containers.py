""""Generic File" containers around a log file (or another container).

Header, 20 bytes, multi-byte fields big-endian:
  0 magic "Generic File" (12)  12 format revision u8  13 footer flag u8
  14 container type u8 (0x22 compressed, 0x11 encrypted)
  15 header version u8 (1)  16 device id u32

Compressed (0x22): 20 lookahead bits u32, 24 window size in bytes (2^W)
u32, 28 heatshrink bit stream; with footer flag 1 a u32 footer holding
the complement of the CRC-32 of the compressed bytes. Revision and footer
flag are both 0 or both 1.

Encrypted (0x11): 20 nonce (12), 32 PBKDF2 iterations u32, 36 salt (16),
52 AES-256-GCM ciphertext, 16-byte tag at the end. The key is
PBKDF2-HMAC-SHA256(password, salt, iterations, 32 bytes); bytes 0 to 51
are the additional authenticated data.

The compressor (heatshrink2) and the cipher (cryptography) are
independent implementations from PyPI.
"""
from __future__ import annotations

import hashlib
import struct
import zlib
from typing import Optional

import heatshrink2
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

MAGIC = b"Generic File"
COMPRESSED, ENCRYPTED = 0x22, 0x11
HEADER = struct.Struct(">12sBBBBI")


def container_header(container_type: int, device_id: int = 0,
                     format_revision: int = 1, footer_flag: int = 0,
                     header_version: int = 1, magic: bytes = MAGIC) -> bytes:
    return HEADER.pack(magic, format_revision, footer_flag, container_type,
                       header_version, device_id)


def crc_footer(payload: bytes) -> bytes:
    """The checksum register after the payload: the bitwise complement of
    the standard CRC-32."""
    return struct.pack(">I", ~zlib.crc32(payload) & 0xFFFFFFFF)


def compress(content: bytes, *, window_bits: int = 11,
             lookahead_bits: int = 4, crc: bool = True, device_id: int = 0,
             format_revision: Optional[int] = None,
             footer_flag: Optional[int] = None, header_version: int = 1,
             window_field: Optional[int] = None,
             lookahead_field: Optional[int] = None) -> bytes:
    """A compressed container. The header fields default to what a logger
    writes (revision and footer flag 1 with the CRC footer, else 0); the
    `*_field` and flag arguments write other values for failure tests."""
    payload = heatshrink2.compress(bytes(content), window_sz2=window_bits,
                                   lookahead_sz2=lookahead_bits)
    flag = int(crc)
    head = container_header(
        COMPRESSED, device_id,
        flag if format_revision is None else format_revision,
        flag if footer_flag is None else footer_flag, header_version)
    fields = struct.pack(
        ">II", lookahead_bits if lookahead_field is None else lookahead_field,
        1 << window_bits if window_field is None else window_field)
    return head + fields + payload + (crc_footer(payload) if crc else b"")


def derive_key(password: str, salt: bytes, iterations: int) -> bytes:
    return hashlib.pbkdf2_hmac("sha256", password.encode("ascii"), salt,
                               iterations, 32)


def _seeded(label: bytes, seed: int, size: int) -> bytes:
    return hashlib.sha256(label + seed.to_bytes(8, "little")).digest()[:size]


def encrypt(content: bytes, password: str, *, device_id: int = 0,
            iterations: int = 1000, salt: Optional[bytes] = None,
            nonce: Optional[bytes] = None, seed: int = 0,
            format_revision: int = 1, footer_flag: int = 0,
            header_version: int = 1) -> bytes:
    """An encrypted container. Salt and nonce default to values derived
    from `seed`, so the same arguments give the same bytes."""
    salt = _seeded(b"salt", seed, 16) if salt is None else salt
    nonce = _seeded(b"nonce", seed, 12) if nonce is None else nonce
    if len(salt) != 16 or len(nonce) != 12:
        raise ValueError("the salt has 16 bytes, the nonce 12")
    head = container_header(ENCRYPTED, device_id, format_revision,
                            footer_flag, header_version)
    head += nonce + struct.pack(">I", iterations) + salt
    sealed = AESGCM(derive_key(password, salt, iterations)).encrypt(
        nonce, bytes(content), head)
    return head + sealed
