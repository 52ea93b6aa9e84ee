#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: edge cases and small valid files of both kinds,
built from the file formats, plus a real save and its encrypted form written by the Tox library
when --tox-saves names the sample-save generator.

usage: make_fuzz_corpus.py OUTPUT_DIR [--tox-saves PROGRAM]
Creates OUTPUT_DIR/savefile and OUTPUT_DIR/messagelog (existing files there are kept)."""

import argparse
import os
import random
import struct
import subprocess

GLOBAL_HEADER = struct.pack("<II", 0, 0x15ED1B1F)
KEY = bytes(range(32))
SECRET_KEY = bytes([0xAA] * 32)
P = 2**255 - 19


def public_key(secret):
    """The X25519 public key of a 32-byte secret key (RFC 7748), as the Tox library derives it:
    a report shows a public key only beside its secret key."""
    k = bytearray(secret)
    k[0] &= 248
    k[31] = (k[31] & 127) | 64
    scalar = int.from_bytes(k, "little")
    x2, z2, x3, z3, swap = 1, 0, 9, 1, 0
    for t in reversed(range(255)):
        bit = (scalar >> t) & 1
        if swap ^ bit:
            x2, x3, z2, z3 = x3, x2, z3, z2
        swap = bit
        a, b, c, d = x2 + z2, x2 - z2, x3 + z3, x3 - z3
        aa, bb, da, cb = a * a % P, b * b % P, d * a % P, c * b % P
        e = (aa - bb) % P
        x3, z3 = (da + cb) ** 2 % P, 9 * (da - cb) ** 2 % P
        x2, z2 = aa * bb % P, e * (aa + 121665 * e) % P
    if swap:
        x2, z2 = x3, z3
    return (x2 * pow(z2, P - 2, P) % P).to_bytes(32, "little")


def section(kind, payload, cookie=0x01CE):
    return struct.pack("<IHH", len(payload), kind, cookie) + payload


def node(family, address, port=33445, key=KEY):
    return bytes([family]) + bytes(address) + struct.pack(">H", port) + key


def friend(status, name=b"", info_size=0):
    record = bytearray(2216)
    record[0] = status
    record[1:33] = KEY
    record[1058:1060] = struct.pack(">H", info_size)
    record[1060:1060 + len(name)] = name[:128]
    record[1188:1190] = struct.pack(">H", len(name))
    return bytes(record)


def dht(*subsections, cookie=0x0159000D):
    return struct.pack("<I", cookie) + b"".join(
        struct.pack("<IHH", len(data), kind, 0) + data for kind, data in subsections)


def save_seeds():
    ipv4 = node(2, [192, 168, 0, 1])
    ipv6 = node(10, [0x20, 0x01, 0x0D, 0xB8] + [0] * 11 + [1])
    nospam_keys = bytes([1, 2, 3, 4]) + public_key(SECRET_KEY) + SECRET_KEY
    everything = GLOBAL_HEADER + b"".join([
        section(1, nospam_keys),
        section(2, dht((4, ipv4 + ipv6), (1, b"x" * 10))),
        section(3, friend(0) + friend(3, b"Alice", 7) + friend(4, b"\xc3\xa9\xff")),
        section(4, b"Al\xc3\xa9\"\\\t"),
        section(5, b"status message"),
        section(6, b"\x02"),
        section(7, b"g" * 12),
        section(10, node(130, [1, 2, 3, 4], 443) + ipv6),
        section(11, ipv4),
        section(20, b""),
        section(99, b"abc", cookie=0),
        section(255, b""),
    ]) + b"junk"
    return {
        "empty": b"",
        "seven-bytes": b"\0" * 7,
        "header-only": GLOBAL_HEADER,
        "header-and-trailing": GLOBAL_HEADER + b"\1\2\3",
        "end-only": GLOBAL_HEADER + section(255, b""),
        "bad-magic": struct.pack("<II", 1, 0x15ED1B1F) + section(255, b""),
        "encrypted-marker": bytes([0x01, 0x1E, 0x81, 0xC0, 0xD6, 0x7B, 0xBA, 0x9E]) + b"\0" * 40,
        "encrypted-toxesave": b"toxEsave" + b"\0" * 40,
        "beyond-file": GLOBAL_HEADER + struct.pack("<IHH", 5, 1, 0x01CE) + b"abcd",
        "huge-length": GLOBAL_HEADER + struct.pack("<IHH", 0xFFFFFFFF, 2, 0x01CE) + b"abcd",
        "everything": everything,
        "friends-odd": GLOBAL_HEADER + section(3, bytes(range(100))),
        "dht-bad": GLOBAL_HEADER + section(2, dht((4, ipv4[:-1]), (4, b"")) + b"\0\0\0"),
        "dht-beyond": GLOBAL_HEADER + section(2, struct.pack("<IIHH", 0x0159000D, 99, 4, 0)),
        "tcp-relays": GLOBAL_HEADER + section(10, (ipv4 + node(138, [0] * 16)) * 20 + b"\x06"),
        "path-tcp-family": GLOBAL_HEADER + section(11, node(130, [1, 2, 3, 4])),
        # Damage of the real save the target holds: kind, offset (2 bytes), length - 1, seed.
        "damage-delete-public-key": b"D" + struct.pack("<HB", 20, 31) + b"seed",
        "damage-zeros-in-secret-key": b"Z" + struct.pack("<HB", 60, 7) + b"seed",
        "damage-random-before-first-section": b"R" + struct.pack("<HB", 8, 15) + b"seed",
        "damage-overwrite-first-section-header": b"O" + struct.pack("<HB", 12, 3) + b"seed",
    }


def record(time, kind, direction, flags, sender, text):
    return struct.pack("<I4sHHHH", time, b"\0" * 4, kind, len(text), direction, flags) + \
        sender + text


def log_seeds():
    rng = random.Random(7)
    chat = b"".join(
        record(1700000000 + 60 * i, [8, 9, 11, 13, 17][i % 5], i % 3, rng.randrange(65536),
               [b"Alice", b"Bob", "Zo\u00eb".encode(), b""][i % 4],
               ("message %d \u2713" % i).encode() if i % 6 else b"")
        for i in range(30))
    example = bytes.fromhex("00F1536500000000080002000100000042 6F62 6869".replace(" ", "")) + \
        bytes.fromhex("80F15365000000000B0000000000050041 6C69636 5".replace(" ", ""))
    return {
        "empty": b"",
        "fifteen-bytes": b"\0" * 15,
        "bare-header": record(1700000000, 8, 0, 0, b"", b""),
        "bare-header-text-missing": record(1700000000, 8, 0, 0, b"", b"x")[:16],
        "worked-example": example,
        "chat": chat,
        "first-record-any": record(0, 1234, 7, 0xFFFF, b"x", b"y") + record(1800000000, 17, 1, 1,
                                                                            b"z", b"w"),
        "bad-utf8": record(1700000000, 8, 1, 0, b"\xff\xfe\xc3", b"\xe2\x82"),
        "header-inside-text": record(1700000000, 8, 0, 0, b"A",
                                     record(1700000001, 9, 1, 0, b"", b"")),
        "time-bounds": record(1680000000, 8, 0, 0, b"a", b"b") + record(1679999999, 8, 0, 0,
                                                                       b"c", b"d") +
        record(1900000000, 13, 0, 0, b"e", b"f") + record(1900000001, 13, 0, 0, b"g", b"h"),
        "text-past-end": record(1700000000, 8, 0, 0, b"a", b"b") +
        record(1700000000, 8, 0, 0, b"", b"long text")[:20],
    }


def write_all(directory, seeds):
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as out:
            out.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("--tox-saves", help="the sample-save generator (make_sample_save)")
    args = parser.parse_args()
    write_all(os.path.join(args.output, "savefile"), save_seeds())
    write_all(os.path.join(args.output, "messagelog"), log_seeds())
    if args.tox_saves:
        saves = os.path.join(args.output, "savefile")
        subprocess.run([args.tox_saves, os.path.join(saves, "real-profile.tox"),
                        os.path.join(saves, "real-profile-encrypted.tox")], check=True)


if __name__ == "__main__":
    main()
