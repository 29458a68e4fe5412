"""A small USB/IP client for the tests, speaking to fdhost-usbip as the kernel's vhci-hcd does (the
usbip tool's device list and import, then URBs with number_of_packets 0 on the imported device's
connection)."""
from __future__ import annotations

import socket
import struct
from dataclasses import dataclass, field

VERSION = 0x0111
OP_REQ_DEVLIST, OP_REP_DEVLIST, OP_REQ_IMPORT, OP_REP_IMPORT = 0x8005, 0x0005, 0x8003, 0x0003
CMD_SUBMIT, CMD_UNLINK, RET_SUBMIT, RET_UNLINK = 1, 2, 3, 4
DIR_OUT, DIR_IN = 0, 1
OP_HEADER = struct.Struct(">HHI")
DEVICE = struct.Struct(">256s32sIIIHHHBBBBBB")
URB_HEADER = struct.Struct(">IIIII")  # command, seqnum, devid, direction, ep
SUBMIT = struct.Struct(">IIIIIIIiIi8s")
RET = struct.Struct(">IIIIIiIiIi8x")


@dataclass
class Device:
    path: str
    busid: str
    busnum: int
    devnum: int
    speed: int
    vid: int
    pid: int
    bcd_device: int
    cls: int
    subclass: int
    protocol: int
    configuration: int
    num_configurations: int
    interfaces: list[tuple[int, int, int]] = field(default_factory=list)


@dataclass
class Reply:
    command: int
    seqnum: int
    status: int
    actual_length: int = 0
    number_of_packets: int = 0
    data: bytes = b""
    iso: bytes = b""


class ImportRefused(Exception):
    pass


def recv_exact(sock: socket.socket, n: int) -> bytes:
    buf = b""
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise EOFError(f"connection closed after {len(buf)} of {n} bytes")
        buf += chunk
    return buf


def connect(port: int, timeout: float = 5.0) -> socket.socket:
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def read_device(sock: socket.socket, with_interfaces: bool) -> Device:
    f = DEVICE.unpack(recv_exact(sock, DEVICE.size))
    d = Device(f[0].rstrip(b"\0").decode(), f[1].rstrip(b"\0").decode(), *f[2:13])
    if with_interfaces:
        for _ in range(f[13]):
            cls, sub, proto, _pad = recv_exact(sock, 4)
            d.interfaces.append((cls, sub, proto))
    return d


def devlist(port: int) -> list[Device]:
    with connect(port) as sock:
        sock.sendall(OP_HEADER.pack(VERSION, OP_REQ_DEVLIST, 0))
        version, code, status = OP_HEADER.unpack(recv_exact(sock, OP_HEADER.size))
        assert (version, code, status) == (VERSION, OP_REP_DEVLIST, 0)
        (count,) = struct.unpack(">I", recv_exact(sock, 4))
        devices = [read_device(sock, True) for _ in range(count)]
        assert sock.recv(1) == b"", "the server closes the connection after the list"
        return devices


def submit_bytes(seqnum: int, ep: int, direction: int, length: int, *, data: bytes = b"", setup: bytes = bytes(8),
                 flags: int = 0, number_of_packets: int = 0, devid: int = 0) -> bytes:
    return SUBMIT.pack(CMD_SUBMIT, seqnum, devid, direction, ep, flags, length, 0, number_of_packets, 0, setup) + data


def unlink_bytes(seqnum: int, victim: int) -> bytes:
    return URB_HEADER.pack(CMD_UNLINK, seqnum, 0, 0, 0) + struct.pack(">I", victim) + bytes(24)


class Imported:
    """A connection with one device imported. submit() and unlink() return the new seqnum;
    reply() reads the next RET_SUBMIT or RET_UNLINK."""

    def __init__(self, port: int, busid: str, timeout: float = 5.0):
        self.sock = connect(port, timeout)
        self.sock.sendall(OP_HEADER.pack(VERSION, OP_REQ_IMPORT, 0) + busid.encode().ljust(32, b"\0"))
        version, code, status = OP_HEADER.unpack(recv_exact(self.sock, OP_HEADER.size))
        assert (version, code) == (VERSION, OP_REP_IMPORT)
        if status != 0:
            self.sock.close()
            raise ImportRefused(busid)
        self.device = read_device(self.sock, False)
        self.devid = self.device.busnum << 16 | self.device.devnum
        self.seqnum = 0
        self.directions: dict[int, int] = {}

    def __enter__(self) -> "Imported":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        self.sock.close()

    def send(self, raw: bytes) -> None:
        self.sock.sendall(raw)

    def submit(self, ep: int, length: int = 0, data: bytes = b"", *, setup: bytes | None = None, flags: int = 0,
               number_of_packets: int = 0) -> int:
        """An IN URB of `length` bytes when ep has bit 7 set, else an OUT URB carrying `data`.
        A control URB (ep 0 or 0x80) takes its direction from the setup packet."""
        self.seqnum += 1
        direction = DIR_IN if ep & 0x80 or (setup and setup[0] & 0x80) else DIR_OUT
        length = length if direction == DIR_IN else len(data)
        self.directions[self.seqnum] = direction
        self.send(submit_bytes(self.seqnum, ep & 0x0F, direction, length, data=data, setup=setup or bytes(8),
                               flags=flags, number_of_packets=number_of_packets, devid=self.devid))
        return self.seqnum

    def unlink(self, victim: int) -> int:
        self.seqnum += 1
        self.send(unlink_bytes(self.seqnum, victim))
        return self.seqnum

    def reply(self, timeout: float = 5.0) -> Reply:
        self.sock.settimeout(timeout)
        command, seqnum, _devid, _dir, _ep, status, actual, _start, npk, _errors = RET.unpack(
            recv_exact(self.sock, RET.size))
        r = Reply(command, seqnum, status, actual, npk)
        if command == RET_SUBMIT:
            if self.directions.pop(seqnum, DIR_OUT) == DIR_IN:
                r.data = recv_exact(self.sock, actual)
            if npk not in (0, 0xFFFFFFFF):
                r.iso = recv_exact(self.sock, 16 * npk)
        return r

    def control(self, request_type: int, request: int, value: int, index: int, length: int,
                data: bytes = b"") -> Reply:
        setup = struct.pack("<BBHHH", request_type, request, value, index, length if request_type & 0x80 else len(data))
        seq = self.submit(0, length, data, setup=setup)
        r = self.reply()
        assert (r.command, r.seqnum) == (RET_SUBMIT, seq)
        return r

    def transfer(self, ep: int, length_or_data: int | bytes, timeout: float = 5.0) -> Reply:
        """One bulk transfer, waited for."""
        if ep & 0x80:
            seq = self.submit(ep, int(length_or_data))  # type: ignore[arg-type]
        else:
            seq = self.submit(ep, data=bytes(length_or_data))  # type: ignore[arg-type]
        r = self.reply(timeout)
        assert (r.command, r.seqnum) == (RET_SUBMIT, seq)
        return r

    def closed_by_server(self, timeout: float = 5.0) -> bool:
        """True once the server has closed the connection (whatever replies came before are read)."""
        self.sock.settimeout(timeout)
        try:
            while self.sock.recv(65536):
                pass
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False
        return True
