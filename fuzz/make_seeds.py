#!/usr/bin/env python3
"""Writes the seed corpus under fuzz/corpus/<target>/: a few valid inputs and the edges around them.

Self-contained on purpose (no import of the module under test). Run from anywhere; rewrites the files.
"""
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def crc16_arc(data: bytes) -> int:
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


FD_LENGTHS = {9: 12, 10: 16, 11: 20, 12: 24, 13: 32, 14: 48, 15: 64}


def record(can_id: int, dlc: int, dir_: int = 0, fill: int = 0x11) -> bytes:
    flags = 1 | (1 << 1 if dlc > 8 else 0) | (dir_ << 3) | (dlc << 4)
    head = struct.pack("<II", can_id, 1000 + can_id) + b"\0\0\0" + bytes([flags])
    n = FD_LENGTHS.get(dlc, dlc)
    return head + bytes((fill + i) & 0xFF for i in range(n))


def section(records: bytes) -> bytes:
    body = struct.pack("<H", len(records)) + records
    return body + struct.pack("<H", crc16_arc(body))


def container(records: bytes, byte1: int = 0, tail: bytes = b"") -> bytes:
    return b"\xA5" + bytes([byte1]) + section(records) + tail + b"\x5A"


def ack(cmd: int, code: int, data: bytes = b"") -> bytes:
    body = bytes([cmd, code]) + struct.pack("<H", len(data)) + data
    return b"\xA5" + body + struct.pack("<H", crc16_arc(body)) + b"\x5A"


def command(code: int, payload: bytes = b"") -> bytes:
    body = bytes([code]) + struct.pack("<H", len(payload)) + payload
    return b"\xA5" + body + struct.pack("<H", crc16_arc(body)) + b"\x5A"


ONE = record(0x123, 8)
TWO = record(0x7FF, 2, dir_=1) + record(0x1ABCDEF, 15)
MIXED = b"".join(record(i, d) for i, d in enumerate([0, 1, 8, 9, 12, 15]))


def usbip_submit(seq: int, ep: int, direction: int, length: int, *, setup: bytes = bytes(8), data: bytes = b"",
                 npk: int = 0) -> bytes:
    return struct.pack(">10I", 1, seq, 0x10002, direction, ep, 0, length, 0, npk, 0) + setup + data


def usbip_unlink(seq: int, victim: int) -> bytes:
    return struct.pack(">6I", 2, seq, 0, 0, 0, victim) + bytes(24)


def seeds():
    yield "container", "one_record", container(ONE)
    yield "container", "two_records_tx_rx", container(TWO)
    yield "container", "mixed_lengths", container(MIXED)
    yield "container", "stray_bytes", container(ONE + b"\1\2\3\4\5")
    yield "container", "dlc_overruns", container(record(1, 15)[:40])
    yield "container", "tail_after_crc", container(ONE, byte1=0x33, tail=b"\0\0\0")
    yield "container", "fix_crc_flag", container(MIXED, byte1=0x80)[:-3] + b"\0\0\x5A"
    yield "container", "empty_count", bytes.fromhex("A500 0000 5A")
    yield "container", "too_short", bytes.fromhex("A5005A")
    yield "container", "bad_start", b"\xA4" + container(ONE)[1:]
    yield "container", "count_exceeds", container(ONE)[:-2] + b"\x5A"
    yield "container", "bad_crc", container(ONE)[:10] + b"\xFF" + container(ONE)[11:]

    ctl = lambda mode, n=0: bytes([mode]) + struct.pack("<i", n)  # noqa: E731
    yield "section", "exact", ctl(4) + section(MIXED)
    yield "section", "claims_less", ctl(0, -1) + section(ONE)
    yield "section", "claims_more", ctl(0, 100) + section(ONE)
    yield "section", "raw_claim", ctl(2, 0x7FFFFFFF) + section(TWO)
    yield "section", "cut_short", ctl(2, 200) + section(TWO)[:50]
    yield "section", "header_cut", ctl(3, 60) + section(record(5, 15))[:9]
    yield "section", "zero_count", ctl(4) + section(b"")
    yield "section", "one_zero_byte", ctl(6, 4) + b"\0"
    yield "section", "fix_crc_stray", ctl(5) + section(ONE + b"\1\2\3")

    yield "ack", "accepted", b"\x05" + ack(5, 0)
    yield "ack", "accepted_data", b"\x0B" + ack(11, 0, b"\x12\x34")
    yield "ack", "rejected", b"\x05" + ack(5, 3)
    yield "ack", "other_cmd", b"\x00" + ack(1, 0)
    yield "ack", "bad_crc", b"\x00" + ack(0, 0)[:5] + b"\xAB\x00\x5A"
    yield "ack", "end_not_last", b"\x02" + ack(2, 0, b"\x01") + b"\x00"
    yield "ack", "data_cut", b"\x04" + ack(4, 0, bytes(10))[:9] + b"\x5A"
    yield "ack", "two_bytes", b"\x00\xA5\x5A"
    yield "ack", "empty", b"\x00"

    yield "records", "tx", bytes(range(88))
    yield "records", "tx_high_bits", b"\xFF" * 90
    yield "records", "head", bytes.fromhex("23010000 00000000 000000FB")
    yield "records", "setup", bytes.fromhex("011D0A02020D020201")
    yield "records", "ack_record", bytes(range(1, 65))
    yield "records", "short", bytes(11)

    yield "command", "start_cap", command(0)
    yield "command", "stop_cap", command(1)
    yield "command", "setup_baudrate", command(5, bytes.fromhex("011D0A02020D020201"))
    yield "command", "heartbeat", command(0x10, b"\xFF" * 17)
    yield "command", "length_lies", command(6, b"\1\2\3")[:-2] + b"\x5A"
    yield "command", "bad_crc", bytes.fromhex("A5 01 00 00 00 00 5A")

    # USB/IP: a flags byte (1: URBs from the start), a byte for the piece sizes, then the stream.
    op = lambda code: struct.pack(">HHI", 0x0111, code, 0)  # noqa: E731
    imp = op(0x8003) + b"1-1".ljust(32, b"\0")
    get_device = struct.pack("<BBHHH", 0x80, 6, 0x0100, 0, 18)
    yield "usbip", "devlist", b"\0\x07" + op(0x8005)
    yield "usbip", "import_then_urbs", b"\0\x03" + imp + usbip_submit(1, 0, 1, 18, setup=get_device) + \
        usbip_submit(2, 2, 0, 7, data=command(6)) + usbip_submit(3, 1, 1, 51200) + usbip_unlink(4, 3)
    yield "usbip", "control_out", b"\1\x05" + usbip_submit(5, 0, 0, 0, setup=bytes.fromhex("0009010000000000"))
    yield "usbip", "iso", b"\1\x0b" + usbip_submit(6, 1, 0, 4, npk=2, data=b"abcd") + \
        struct.pack(">8I", 0, 2, 0, 0, 2, 2, 0, 0)
    yield "usbip", "not_iso", b"\1\x01" + usbip_submit(7, 1, 1, 512, npk=0xFFFFFFFF)
    yield "usbip", "too_long", b"\1\x02" + usbip_submit(8, 1, 1, 0x7FFFFFFF)
    yield "usbip", "cut_short", b"\1\x09" + usbip_submit(9, 3, 0, 88, data=bytes(40))
    yield "usbip", "garbage", b"\0\x01" + bytes(range(60))


def main():
    for target, name, data in seeds():
        d = ROOT / f"fuzz_{target}"
        d.mkdir(parents=True, exist_ok=True)
        (d / name).write_bytes(data)


if __name__ == "__main__":
    main()
