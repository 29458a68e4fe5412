"""A pure-Python receive-container decoder, written as well as idiomatic Python allows, as the
baseline the native decoder is compared with."""
import struct

_HEAD = struct.Struct("<IIBBBB")
_LEN = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)


def _table():
    t = []
    for i in range(256):
        r = i
        for _ in range(8):
            r = (r >> 1) ^ 0xA001 if r & 1 else r >> 1
        t.append(r)
    return t


_CRC = _table()


def crc16(data) -> int:
    crc = 0
    t = _CRC
    for b in data:
        crc = (crc >> 8) ^ t[(crc ^ b) & 0xFF]
    return crc


class Head:
    __slots__ = ("id", "time_stamp", "reserve", "fram_type", "can_type", "id_type", "dir", "dlc")


class Value:
    __slots__ = ("head", "data")


def unpack_usb_frame(pdat, length, callback=None) -> int:
    if length < 4 or pdat[0] != 0xA5 or pdat[length - 1] != 0x5A:
        return -1
    n = pdat[2] | (pdat[3] << 8)
    if n == 0 or n + 6 > length:
        return -1
    section = bytes(pdat[2:n + 6])
    if crc16(section[:n + 2]) != (section[n + 2] | (section[n + 3] << 8)):
        return -1
    buf = section[2:n + 2]
    off = 0
    unpack_from = _HEAD.unpack_from
    while off < n:
        if n - off < 12:
            return -1
        can_id, ts, r0, r1, r2, flags = unpack_from(buf, off)
        off += 12
        size = _LEN[flags >> 4]
        if n - off < size:
            return -1
        data = list(buf[off:off + size])
        off += size
        if (flags >> 3) & 1 == 0 and callback:
            h = Head()
            h.id, h.time_stamp, h.reserve = can_id, ts, [r0, r1, r2]
            h.fram_type, h.can_type, h.id_type, h.dir, h.dlc = flags & 1, (flags >> 1) & 1, (flags >> 2) & 1, 0, flags >> 4
            v = Value()
            v.head = h
            v.data = data + [0] * (64 - size)
            callback(v)
    return 0
