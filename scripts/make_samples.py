#!/usr/bin/env python3
"""Writes the sample files of the repository: chat.log, an ORVA message log built record by
record, and alice.tox, a Tox save written by the Tox library through the sample-save generator
(the CMake target make_sample_save) when --save-generator names it.

usage: make_samples.py [OUTPUT_DIR] [--save-generator PROGRAM]
OUTPUT_DIR defaults to the samples/ folder of the repository. Both come out the same, byte for
byte, on every run: the save generator uses fixed keys."""

import argparse
import os
import struct
import subprocess
from datetime import datetime, timezone

# Message types and directions of the log format.
MSG, MSG_ACTION, INFO, MSG_GROUP, REPLY = 8, 9, 11, 13, 17
IN, OUT, UNKNOWN = 0, 1, 2

# The flag bits the client sets; they are carried through unchanged and shown in hex.
DELIVERED, READ, EDITED = 0x0001, 0x0002, 0x0010

# (time UTC, type, direction, flags, sender, text)
CHAT = [
    ("2024-03-14 09:12:05", INFO, UNKNOWN, 0, "", "Bob is now online"),
    ("2024-03-14 09:12:41", MSG, IN, 0, "Bob", "Morning! Did you get the photos from Saturday?"),
    ("2024-03-14 09:13:02", MSG, OUT, DELIVERED | READ, "Alice", "Yes, all 48 of them :)"),
    ("2024-03-14 09:13:30", MSG_ACTION, OUT, DELIVERED, "Alice", "waves from the train"),
    ("2024-03-14 09:14:11", REPLY, IN, 0, "Bob",
     "> all 48 of them\nSorry, the camera was on burst mode."),
    ("2024-03-14 09:20:57", INFO, UNKNOWN, 0, "", "Zoë Kowalska joined the conference"),
    ("2024-03-14 09:21:15", MSG_GROUP, IN, 0, "Zoë Kowalska", "Dzień dobry wszystkim! 👋"),
    ("2024-03-14 09:21:48", MSG_GROUP, OUT, DELIVERED, "Alice", "Hej Zoë! Grüße aus Köln."),
    ("2024-03-14 09:22:30", MSG_GROUP, IN, 0, "Jürgen", "Kaffee um zehn? ☕"),
    ("2024-03-14 09:23:04", REPLY, OUT, DELIVERED | EDITED, "Alice", "Ja, gerne — bis gleich."),
    ("2024-03-14 09:30:12", MSG_ACTION, IN, 0, "Zoë Kowalska", "shares a file: plan_2024.pdf"),
    ("2024-03-14 09:41:37", MSG, IN, 0, "Kenji 山田", "了解です。後で確認します。"),
    ("2024-03-14 09:42:00", INFO, IN, 0, "Kenji 山田", "changed the status message"),
    ("2024-03-14 09:58:19", MSG, UNKNOWN, 0, "Bob", "(sent from another device)"),
    ("2024-03-14 10:03:44", REPLY, IN, READ, "Bob", "On my way, save me a seat."),
    ("2024-03-14 10:04:02", INFO, OUT, 0, "Alice", "is now away"),
]


def record(when, kind, direction, flags, sender, text):
    """One record: a 16-byte little-endian header (time, four reserved zero bytes, type, text
    length, direction, flags), then the sender and the text as UTF-8 without terminators."""
    seconds = int(datetime.strptime(when, "%Y-%m-%d %H:%M:%S")
                  .replace(tzinfo=timezone.utc).timestamp())
    body_text = text.encode("utf-8")
    return struct.pack("<I4sHHHH", seconds, bytes(4), kind, len(body_text), direction, flags) + \
        sender.encode("utf-8") + body_text


def chat_log():
    return b"".join(record(*message) for message in CHAT)


def main():
    repository = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default=os.path.join(repository, "samples"))
    parser.add_argument("--save-generator", help="the make_sample_save program")
    args = parser.parse_args()
    os.makedirs(args.output, exist_ok=True)
    with open(os.path.join(args.output, "chat.log"), "wb") as out:
        out.write(chat_log())
    if args.save_generator:
        subprocess.run([args.save_generator, os.path.join(args.output, "alice.tox")], check=True)


if __name__ == "__main__":
    main()
