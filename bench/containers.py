"""Receive containers for benchmarks: well-formed, dir 0, with sequence numbers in the payload."""
import struct

from vadapter import HEAD_SEQ_MASK, crc16  # the shared CRC-16/ARC reference of tests and benchmarks (tests/ on the path)

DLC_FOR_LEN = {0: 0, 8: 8, 64: 15}
MAX_CONTAINER = 51200


def record(seq: int, data_len: int, can_id: int = 0x123, fd: bool = True) -> bytes:
    dlc = DLC_FOR_LEN[data_len]
    flags = 1 | ((1 if fd else 0) << 1) | (dlc << 4)  # data frame, dir 0
    head = struct.pack("<II3sB", can_id, seq & 0xFFFFFFFF, (seq & HEAD_SEQ_MASK).to_bytes(3, "little"), flags)
    payload = (seq & 0xFFFFFFFF).to_bytes(4, "little") + bytes(max(0, data_len - 4)) if data_len >= 4 else bytes(data_len)
    return head + payload


def container(records: bytes) -> bytes:
    section = struct.pack("<H", len(records)) + records
    return b"\xA5\x00" + section + struct.pack("<H", crc16(section)) + b"\x5A"


def max_frames(data_len: int) -> int:
    return (MAX_CONTAINER - 7) // (12 + data_len)


def make(count: int, data_len: int, first_seq: int = 0) -> bytes:
    return container(b"".join(record(first_seq + i, data_len) for i in range(count)))
