#!/usr/bin/env python3
"""Writes a few well-formed exchanges as starting inputs for fuzz_link:
the first byte picks the call, the rest is what the camera sends."""
import os
import sys

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
ACK, STX, ETX = b"\x06", b"\x02", b"\x03"


def reply(kind, payload, header=b""):
    return ACK + STX + kind + header + payload + ETX


picture = reply(b"u", bytes((i * 7) & 0xFF for i in range(20680)), bytes([164, 2, 124, 16]))
thumb = reply(b"m", bytes(range(256)) * 4 + bytes(232), bytes([40, 31, 0, 16]))
commands = (reply(b"i", b"\x05") + reply(b"e", b"\x01") + reply(b"v", b"SIM1", b"\x04")
            + reply(b"x", b"\x10\x80") + reply(b"j", b"\x00\x06") + reply(b"y", b"\x00")
            + reply(b"y", b"\x80"))
seeds = {
    "commands": b"\x00" + commands,
    "busy": b"\x00" + reply(b"!", b"\x01"),
    "colour": b"\x01" + picture,
    "grey": b"\x02" + picture,
    "thumbnail": b"\x03" + thumb,
    "lines": b"\x04" + picture,
}
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
