#!/usr/bin/env python3
"""Writes lumen captures (pcapng, docs/capture.md) for the dissector check.

Default: one well-formed frame for every message of the BGAPI table (commands
to the radio, responses and events from it), one with bytes past its
parameters, then one record of every other kind. With --broken: frames the dissector must flag (cut short, an array past
the end, a header length that disagrees, unknown messages), one per record,
after one good frame. Python 3 standard library only.
"""

import argparse
import os
import struct
import sys

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
sys.path.insert(0, os.path.normpath(SCRIPTS))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import generate_bgapi  # noqa: E402

OUTBOUND = 2
INBOUND = 1
OWN = 0

INT_FORMATS = {"uint8": "<B", "int8": "<b", "uint16": "<H", "int16": "<h", "uint32": "<I", "int32": "<i"}
# Values that show the byte order and the sign in a decode.
INT_VALUES = {"uint8": 0xA5, "int8": -50, "uint16": 0x1234, "int16": -300, "uint32": 0x12345678, "int32": -70000}


def block(block_type, body):
    body += b"\0" * (-len(body) % 4)
    total = len(body) + 12
    return struct.pack("<II", block_type, total) + body + struct.pack("<I", total)


def option(code, value):
    return struct.pack("<HH", code, len(value)) + value + b"\0" * (-len(value) % 4)


def section(port):
    shb = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1) + option(4, b"lumen") + option(0, b""))
    idb_options = option(9, bytes([6])) + option(2, port.encode()) + option(0, b"")
    idb = block(1, struct.pack("<HHI", 147, 0, 0) + idb_options)
    return shb + idb


def packet(timestamp_us, direction, data):
    head = struct.pack("<IIIII", 0, timestamp_us >> 32, timestamp_us & 0xFFFFFFFF, len(data), len(data))
    flags = option(2, struct.pack("<I", direction)) + option(0, b"")
    return block(6, head + data + b"\0" * (-len(data) % 4) + flags)


def payload(row):
    out = b""
    for param in row.params:
        if param.type_name == "uint8array":
            out += bytes([3, 0xDE, 0xAD, 0x01])
        elif param.type_name == "string":
            out += bytes([5]) + b"lumen"
        elif param.type_name == "bd_addr":
            out += bytes([0x66, 0x55, 0x44, 0x33, 0x22, 0x11])
        else:
            out += struct.pack(INT_FORMATS[param.type_name], INT_VALUES[param.type_name])
    return out


def frame(row, body=None, declared=None):
    body = payload(row) if body is None else body
    length = len(body) if declared is None else declared
    header = bytes([row.header_byte0 | (length >> 8), length & 0xFF, row.class_id, row.msg_id])
    kind = 0x01 if row.kind == "cmd" else 0x02
    direction = OUTBOUND if row.kind == "cmd" else INBOUND
    return direction, bytes([kind]) + header + body


def name_field(name):
    return bytes([len(name)]) + name.encode()


OTHER_RECORDS = [
    (INBOUND, b"\x03" + bytes([0x00, 0xFF, 0x80])),
    (OWN, b"\x04/dev/ttyACM0"),
    (OWN, b"\x05\x01" + "the device went away".encode()),
    (OWN, b"\x05\x00"),
    (OWN, b"\x06" + "ble_cmd_gap_discover got no answer".encode()),
    (OUTBOUND, b"\x10" + struct.pack("<I", 0) + name_field("sd_ble_gap_scan_start") +
     b"interval=160, window=80, active=1"),
    (INBOUND, b"\x11" + struct.pack("<H", 0x1D) + name_field("BLE_GAP_EVT_ADV_REPORT") + bytes(range(12))),
    (INBOUND, b"\x12" + struct.pack("<I", 0x8002) + "serial port closed".encode()),
]


def table_records(rows):
    by_name = {row.bglib_name: row for row in rows}
    records = [frame(row) for row in rows]
    # Later firmware appends fields the table does not list; the library reads
    # such a frame, so the dissector must not call it malformed.
    info = by_name["ble_rsp_system_get_info"]
    records.append(frame(info, body=payload(info) + bytes([0x01, 0x02])))
    return records + OTHER_RECORDS


def broken_records(rows):
    by_name = {row.bglib_name: row for row in rows}
    reset = by_name["ble_cmd_system_reset"]
    scan_response = by_name["ble_evt_gap_scan_response"]
    good_body = payload(scan_response)
    array_at = len(good_body) - 4
    return [
        frame(by_name["ble_cmd_system_hello"]),
        # The fixed part cut short: the header still says one byte.
        frame(reset, body=b"", declared=1),
        # The array says more bytes than follow.
        frame(scan_response, body=good_body[:array_at] + bytes([40, 1, 2]), declared=array_at + 3),
        # The header's length disagrees with the bytes.
        frame(reset, body=bytes([0]), declared=2),
        # No message has this class and id.
        (INBOUND, b"\x02" + bytes([0x80, 0x00, 0x09, 0xC8])),
        # Only part of a header.
        (OUTBOUND, b"\x01" + bytes([0x00, 0x00])),
        # nRF52 call whose name runs past the end.
        (OUTBOUND, b"\x10" + struct.pack("<I", 0) + bytes([30]) + b"sd_ble"),
        # nRF52 event that ends inside its id.
        (INBOUND, b"\x11" + bytes([0x01])),
        # nRF52 event whose name runs past the end.
        (INBOUND, b"\x11" + struct.pack("<H", 0x10) + bytes([20]) + b"BLE_GAP"),
    ]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("table", help="messages.tsv")
    parser.add_argument("output", help="pcapng file to write")
    parser.add_argument("--broken", action="store_true", help="write frames the dissector must flag")
    args = parser.parse_args(argv)
    rows = generate_bgapi.load(args.table)
    records = broken_records(rows) if args.broken else table_records(rows)
    start_us = 1_767_225_600_000_000  # 2026-01-01 00:00 UTC
    data = section("/dev/ttyACM0")
    for index, (direction, record) in enumerate(records):
        data += packet(start_us + 1000 * index, direction, record)
    with open(args.output, "wb") as stream:
        stream.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
