"""Shows MF4 bus logs as python-can messages: a summary per bus channel,
the first frames, and the recording's metadata.

    python examples/show_log.py                      # the bundled samples
    python examples/show_log.py LOG.mf4 --frames 50 --password 0001E240=secret

Without file arguments it reads samples/*.mf4 with the samples' demo
password.
"""
import argparse
import collections
import datetime
import logging
import os
import re
import sys

from python_can_brenix_mf4 import MdfFile

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, os.pardir, "samples")
# The samples come from device 0001E240; their README gives the password.
SAMPLE_PASSWORDS = {"0001E240": "brenix-demo"}


def kind(message):
    if message.is_error_frame:
        return "error"
    if message.is_remote_frame:
        return "remote"
    if message.channel.startswith("LIN"):
        return "LIN"
    return "FD" if message.is_fd else "data"


def content(message):
    """Everything a message carries (messages compare by timestamp only)."""
    return (message.timestamp, message.arbitration_id, message.is_extended_id,
            message.is_remote_frame, message.is_error_frame, message.channel,
            message.dlc, bytes(message.data), message.is_fd, message.is_rx,
            message.bitrate_switch, message.error_state_indicator)


def utc(seconds):
    return datetime.datetime.fromtimestamp(
        seconds, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S.%f UTC")


def shape(path):
    """What the file is, from its first bytes."""
    with open(path, "rb") as f:
        head = f.read(16)
    if head.startswith(b"Generic File") and len(head) > 14:
        return {0x22: "compressed container", 0x11: "encrypted container"} \
            .get(head[14], "unknown container")
    if head.startswith(b"MDF     "):
        return "MF4 file"
    if head.startswith(b"UnFinMF "):
        return "unfinalized MF4 file"
    return "unknown format"


def read(path, passwords):
    with MdfFile(path, passwords=passwords) as log:
        return list(log), log.get_metadata()


def show(messages, metadata, frames):
    if messages:
        first, last = messages[0].timestamp, messages[-1].timestamp
        print("%d frames, %s to %s (%.3f s)"
              % (len(messages), utc(first), utc(last), last - first))
    else:
        print("no frames")
    counts = collections.defaultdict(collections.Counter)
    for message in messages:
        counts[message.channel][kind(message)] += 1
    for channel in sorted(counts):
        print("  %-6s %s" % (channel, ", ".join(
            "%d %s" % (n, k) for k, n in sorted(counts[channel].items()))))
    if frames and messages:
        print("first %d frames:" % min(frames, len(messages)))
        for message in messages[:frames]:
            print("  " + str(message))
    if metadata:
        print("metadata:")
        width = max(len(key) for key in metadata)
        for key, item in metadata.items():
            unit = " " + item["unit"] if item["unit"] else ""
            note = "  (%s)" % item["description"] if item["description"] \
                else ""
            print("  %-*s = %s%s%s" % (width, key, item["value_raw"].strip(),
                                        unit, note))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", help="MF4 logs (plain, "
                        "compressed or encrypted); default: samples/*.mf4")
    parser.add_argument("--frames", type=int, default=8,
                        help="frames to print per file (default 8)")
    parser.add_argument("--password", action="append", default=[],
                        metavar="[DEVICE=]PASSWORD",
                        help="password of encrypted logs, for one device id "
                             "(8 hex digits) or for all")
    args = parser.parse_args(argv)
    logging.basicConfig(format="%(name)s: %(levelname)s: %(message)s")

    passwords = {}
    for entry in args.password:
        device, separator, password = entry.partition("=")
        if separator and re.fullmatch("[0-9A-Fa-f]{8}", device):
            passwords[device.upper()] = password
        else:
            passwords["default"] = entry
    files = args.files
    if not files:
        files = [os.path.join(SAMPLES, name + ".mf4")
                 for name in ("plain", "compressed", "encrypted", "nested")]
        passwords = passwords or SAMPLE_PASSWORDS

    failed = False
    shown = []  # (path, contents) of the logs printed in full
    for path in files:
        print("=" * 78)
        name = os.path.relpath(path)
        try:
            print("%s: %s, %s bytes" % (name, shape(path),
                                        format(os.path.getsize(path), ",")))
            messages, metadata = read(path, passwords or None)
        except (OSError, RuntimeError, ValueError, TypeError) as error:
            print("cannot read it: %s" % error)
            failed = True
            continue
        contents = (list(map(content, messages)), metadata)
        same = [p for p, c in shown if c == contents]
        if same:
            print("the same %d frames and metadata as %s"
                  % (len(messages), os.path.relpath(same[0])))
        else:
            show(messages, metadata, args.frames)
            shown.append((path, contents))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
