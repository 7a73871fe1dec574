#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora: real tags, station texts, blocks
and the frames a controller sends back for them.

    tests/fuzz/make_seeds.py tests/fuzz/corpus

The layouts follow the targets' readers: parse_tag takes a 16-bit data type
then the address text; execute_block and build_request take a block shape
(fuzz_block_shape.h), then for execute_block a delivery byte and the reply;
mqtt_payload takes an area byte (odd: an M group) then the payload;
sparkplug_command a byte (odd: the primary host's STATE, even: a command)
then the payload.
"""
import hashlib
import os
import struct
import sys

ENQ, ACK, NAK, CR = b"\x05", b"\x06", b"\x15", b"\r"


def check(data):
    x = 0
    for b in data:
        x ^= b
    return b"%02X" % x


def good_reply(station, data=b""):
    body = ACK + b"%02X" % station + b"0" + data
    return body + check(body) + CR


def status_reply(station, status):
    body = ACK + b"%02X" % station + status
    return body + check(body) + CR


def block(station, type_index, data_type, operation, start, span, items, extra_count=0):
    out = struct.pack("<hBhBhBB", station, type_index, data_type, operation, start, span, len(items))
    for address, value in items:
        out += struct.pack("<HBB", address, value & 0xFF, value >> 8)
    return out + struct.pack("<B", extra_count)


def d_data(values):
    return b"".join(b"%04X" % v for v in values)


def m_data(groups):
    return b"".join(b"%02X" % g for g in groups)


def seeds():
    tags = [(8, "D100"), (8, "D0"), (8, "D8199"), (8, "D8200"), (4, "D0100"), (2, "M0010"), (2, "M8150"),
            (2, "M0015"), (8, "M0010"), (8, "d100"), (8, "D123456789"), (8, "D1234567890"), (8, "D"),
            (8, ""), (8, "X10"), (8, "D-1"), (8, "D 10"), (16, "D100"), (8, "D" + "9" * 126)]
    yield from (("parse_tag", struct.pack("<h", t) + text.encode()) for t, text in tags)

    for text in ["0", "1", "31", "255", "1F", "32", "254", "256", "", "-1", "4294967297", "abc", "007", " 1"]:
        yield "station", text.encode()

    d_read = block(1, 0, 8, 0, 100, 3, [(100, 0), (101, 0), (102, 0), (103, 0)])
    d_one = block(0x1F, 0, 8, 0, 0, 0, [(0, 0)])
    d_wide = block(1, 0, 8, 0, 0, 31, [(a, 0) for a in range(0, 32, 3)])
    m_read = block(1, 1, 2, 0, 10, 20, [(10, 0), (30, 0)])
    d_write = block(3, 0, 8, 1, 500, 0, [(500, 0xBEEF)])
    m_write = block(3, 1, 2, 1, 8150, 0, [(8150, 0x7E)])
    outside = block(1, 0, 8, 0, 100, 1, [(100, 0), (90, 0), (200, 0)], extra_count=2)
    for shape in [d_read, d_one, d_wide, m_read, d_write, m_write, outside]:
        yield "build_request", shape

    replies = [
        (d_read, good_reply(1, d_data([1, 2, 0x1234, 0xFFFF]))),
        (d_one, good_reply(0x1F, d_data([0xABCD]))),
        (d_wide, good_reply(1, d_data(range(32)))),
        (m_read, good_reply(1, m_data([0xA1, 0x5A, 0xC3]))),
        (d_write, good_reply(3)),
        (m_write, good_reply(3)),
        (outside, good_reply(1, d_data([7, 8]))),
        (d_read, NAK + b"01" + CR),
        (d_read, status_reply(1, b"2")),
        (d_read, good_reply(1, d_data([1, 2]))),
        (d_read, good_reply(1, b"12G4" + d_data([2, 3, 4]))),
        (d_read, b"\x7f#garbage*" + good_reply(1, d_data([1, 2, 3, 4]))),
        (d_read, good_reply(1, d_data([1, 2, 3, 4]))[:-1] + b"Z" * 1100 + CR),
    ]
    for shape, reply in replies:
        for delivery in (0, 1):  # all at once, or a little at each poll
            yield "execute_block", shape + bytes([delivery]) + reply

    payloads = [b'{"value": 42, "id": "any text"}', b"42", b"65535", b"65536", b"-1", b"4.2e1", b'"42"',
                b'{"value": 7, "id": 12}', b'{"value":1,"value":2}', b'{"value":1,"id":"a","id":"b"}',
                b'{"value": 1, "id": {"a": [1]}}', b'{"value": 1, "id": "' + b"i" * 129 + b'"}',
                b'{"value": 1, "id": "a\\"[[["}', b'{"value": 1, "id": "\\u00e9\\ud83d\\ude00"}',
                b"[" * 9 + b"]" * 9, b'{"value":' * 12, b"[" * 5000, b"{", b"", b"\xff\xfe", b"null",
                b'{"valeu": 1}', b"18446744073709551616"]
    for area in (0, 1):
        for payload in payloads:
            yield "mqtt_payload", bytes([area]) + payload

    for data in sparkplug_seeds():
        yield "sparkplug_command", data


def pb_varint(n):
    out = b""
    while True:
        out += bytes([(n & 0x7F) | (0x80 if n >= 0x80 else 0)])
        n >>= 7
        if not n:
            return out


def pb_field(number, inner):
    """A length-delimited field."""
    return pb_varint(number << 3 | 2) + pb_varint(len(inner)) + inner


def pb_number(number, wire, value):
    key = pb_varint(number << 3 | wire)
    if wire == 0:
        return key + pb_varint(value)
    return key + struct.pack("<d" if wire == 1 else "<f", value)


def sparkplug_seeds():
    """Commands as a host sends them (a metric by name or alias with each
    kind of value, Rebirth, properties nested), broken ones, and STATEs."""
    name = pb_field(1, b"speed")
    metrics = [name + pb_number(4, 0, 6) + pb_number(10, 0, 4321),           # UInt16
               pb_number(2, 0, 7) + pb_number(4, 0, 10) + pb_number(13, 1, 55.5),  # by alias, Double
               name + pb_number(4, 0, 9) + pb_number(12, 5, 1.5),           # Float
               name + pb_number(4, 0, 4) + pb_number(11, 0, 2**64 - 1),     # Int64 -1
               name + pb_number(4, 0, 11) + pb_number(14, 0, 1),            # Boolean
               name + pb_number(7, 0, 1),                                   # null
               name + pb_field(15, b"text"),
               pb_field(1, b"Node Control/Rebirth") + pb_number(4, 0, 11) + pb_number(14, 0, 1)]
    props = b""
    for _ in range(6):
        props = pb_field(2, pb_field(9, props))
    metrics.append(name + pb_field(9, pb_field(1, b"engUnit") + props))
    for m in metrics:
        yield b"\x00" + pb_number(1, 0, 1733839200000) + pb_field(2, m)
    two = pb_field(2, metrics[0]) + pb_field(2, metrics[1])
    yield b"\x00" + two
    yield b"\x00" + two[:-3]
    yield b"\x00" + b"\x13\x14"
    for state in (b'{"online": true, "timestamp": 1733839200000}', b'{"online": false}', b'{"online": "true"}',
                  b'{"online": true, "online": false}', b"[" * 20, b'{"online": true, "x": "\\"[["}', b""):
        yield b"\x01" + state


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    for target, data in seeds():
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        name = hashlib.sha1(data).hexdigest()[:16]
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
