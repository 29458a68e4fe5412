"""The virtual adapter from Python: the control client of the stand-in libusb-1.0 library that
``virtual:<name>`` channels run on, for driving traffic generators and faults from your own tests.

The library (``libusb-1.0.so.0``) ships inside this package on Linux (``fdhost_can/_vadapter/``);
in a source checkout it is the build's ``build/vadapter/``; ``$FDHOST_VADAPTER_LIB`` names another.
A Bus on a ``virtual:`` channel runs on that library (its own adapter core loads it by path, beside
whatever libusb hardware adapters are found on), and this client, loading the same path, talks to
the same loaded library. To steer the adapters of a Bus, ask it which one it plugged::

    import can
    from fdhost_can import virtual

    with can.Bus(interface="fdhost", channel="virtual:demo", fd=True) as bus:
        vad = virtual.controller()                    # the library virtual: channels run on
        gen = vad.plug("demo")                        # another adapter on the same virtual bus
        vad.generator("200,dlc=8,fd=1,id=0x100", adapter=gen)   # 200 frames/s
        print(bus.recv(1.0))
        vad.fault("unplug", adapter=bus.virtual_adapter)         # the Bus's own adapter goes away
        vad.unplug(adapter=gen)

Plain use of the library with pyusb (no Bus; pyusb keeps the first libusb it loads)::

    virtual.use_with_pyusb()               # before anything else makes pyusb load a libusb
    vad = virtual.VirtualAdapter()
    vad.configure("adapters=2;capture=1;gen=saturate,dlc=8,fd=1")

The configuration grammar, faults, counters and the model are described in the virtual adapter's
README (``vadapter/README.md`` of the source). Also a few protocol helpers (CRC, frames, container
parsing) for tests and benchmarks.
"""
from __future__ import annotations

import ctypes
import os
import struct
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeGuard

__all__ = [
    "LOG_COMMANDS", "LOG_HEARTBEATS", "LOG_TX", "LOG_ACKS", "FRAME_FD", "FRAME_EXT", "FRAME_REMOTE", "FRAME_NO_BRS",
    "FRAME_ESI", "HEAD_BRS_BIT", "HEAD_ESI_BIT", "HEAD_SEQ_BITS", "HEAD_SEQ_MASK", "head_seq", "shared_bus_segment",
    "VadError", "LIBRARY_NAME", "library_path", "pyusb_library", "is_virtual", "use_with_pyusb", "controller",
    "can_buses_in_use",
    "VirtualAdapter", "crc16", "command_frame", "ack_frame", "HEARTBEAT", "DLC_LENGTHS", "tx_record", "container",
    "Record", "parse_container",
]

LOG_COMMANDS, LOG_HEARTBEATS, LOG_TX, LOG_ACKS = range(4)
FRAME_FD, FRAME_EXT, FRAME_REMOTE, FRAME_NO_BRS, FRAME_ESI = 1, 2, 4, 8, 16
# A received record's reserve bytes as the virtual adapter fills them (HEAD_* of src/protocol/records.hpp):
# reserve[2] bit 7 the bitrate switch, bit 6 the error state indicator, the rest the generator's
# sequence number, reserve[0] lowest.
HEAD_BRS_BIT, HEAD_ESI_BIT = 0x80, 0x40
HEAD_SEQ_BITS = 22
HEAD_SEQ_MASK = (1 << HEAD_SEQ_BITS) - 1


def head_seq(reserve: Sequence[int]) -> int:
    """The generator's sequence number (its low HEAD_SEQ_BITS) from a record's three reserve bytes."""
    return (reserve[0] | reserve[1] << 8 | reserve[2] << 16) & HEAD_SEQ_MASK


def shared_bus_segment(name: str, namespace: str | None = None, uid: int | None = None) -> Path:
    """The file of a shared virtual CAN bus (a POSIX shared-memory segment); plain names only.
    The namespace defaults to $FDHOST_VADAPTER_NAMESPACE, the user to this process's."""
    ns = os.environ.get("FDHOST_VADAPTER_NAMESPACE", "") if namespace is None else namespace
    uid = os.geteuid() if uid is None else uid
    return Path("/dev/shm") / ".".join(["fdhost-vbus", str(uid), *([ns] if ns else []), name])


class VadError(RuntimeError):
    """A control call was refused; the text is the library's reason."""


LIBRARY_NAME = "libusb-1.0.so.0"


def vadapter_file(name: str, env: str) -> Path:
    """A file of the virtual adapter's: the path $``env`` names, else the one installed with this
    package (``_vadapter/``), else the build's ``build/vadapter/`` of a source checkout."""
    named = os.environ.get(env)
    if named:
        return Path(named)
    packaged = Path(__file__).resolve().parent / "_vadapter" / name
    return packaged if packaged.exists() else Path(__file__).resolve().parents[1] / "build" / "vadapter" / name


def library_path() -> Path:
    """The library: $FDHOST_VADAPTER_LIB, else the one installed with this package, else the
    build's build/vadapter/ of a source checkout."""
    return vadapter_file(LIBRARY_NAME, "FDHOST_VADAPTER_LIB")


def _not_the_library(path: str) -> str:
    named = " ($FDHOST_VADAPTER_LIB)" if os.environ.get("FDHOST_VADAPTER_LIB") == path else ""
    return f"{path}{named} is not the virtual adapter library (it has no vad_configure)"


def is_virtual(lib: ctypes.CDLL | None) -> TypeGuard[ctypes.CDLL]:
    """Whether a loaded libusb is the virtual adapter's (it has the control API)."""
    return lib is not None and hasattr(lib, "vad_configure")


# pyusb's side (use_with_pyusb, pyusb_library) lives in virtual_pyusb, imported when first asked
# for: a program that only uses Buses never imports pyusb.
_PYUSB_NAMES = ("pyusb_library", "use_with_pyusb")


def __getattr__(name: str) -> Any:
    if name in _PYUSB_NAMES:
        from . import virtual_pyusb

        return getattr(virtual_pyusb, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _loaded(path: Path) -> bool:
    """Whether the library at `path` is loaded in this process already (by anyone)."""
    try:
        ctypes.CDLL(str(path), mode=os.RTLD_NOLOAD | os.RTLD_LAZY)
        return True
    except OSError:
        return False


_controller: "VirtualAdapter | None" = None
# The library as can_buses_in_use() loaded it: listing sets up no model, so it is still fresh.
_listing: "VirtualAdapter | None" = None


def controller() -> "VirtualAdapter":
    """The control client of the virtual adapter library ``virtual:`` channels run on in this process
    (``library_path()``), loading it if needed. OSError when it cannot be loaded."""
    global _controller
    if _controller is None:
        path = library_path()
        fresh = not _loaded(path) or _listing is not None
        vad = _listing or VirtualAdapter(path)
        if fresh and "FDHOST_VADAPTER" not in os.environ:
            # Loaded for virtual buses alone: without the default model's adapter, which nothing
            # would use but which would show among the adapters found on this library.
            vad.configure("adapters=0")
        _controller = vad
    return _controller


def can_buses_in_use() -> dict[str, int]:
    """The user's virtual buses with adapters on them (and this process's in-process ones), and
    how many, through the library ``virtual:`` channels run on. Loads it if needed, but changes
    nothing in it: listing makes no model, so no adapter appears. OSError when it cannot be loaded."""
    global _listing
    if _controller is not None:
        return _controller.can_buses()
    if _listing is None:
        _listing = VirtualAdapter(library_path())
    return _listing.can_buses()


class VirtualAdapter:
    """The control side of the library pyusb runs on. Adapter arguments are configuration indexes
    (plug() returns the index of the adapter it adds)."""

    def __init__(self, path: os.PathLike[str] | str | None = None) -> None:
        where = str(path or library_path())
        self.lib = ctypes.CDLL(where)
        if not is_virtual(self.lib):
            raise VadError(_not_the_library(where))
        self._declare()
        names: list[str] = []
        while (name := self.lib.vad_counter_name(len(names))) is not None:
            names.append(name.decode())
        self.counter_names = tuple(names)

    def _declare(self) -> None:
        L, c = self.lib, ctypes
        u8p, sz, ll = c.POINTER(c.c_uint8), c.c_size_t, c.c_longlong
        for name, res, args in (
            ("vad_configure", c.c_int, [c.c_char_p]),
            ("vad_last_error", c.c_char_p, []),
            ("vad_adapter_count", c.c_int, []),
            ("vad_fault", c.c_int, [c.c_int, c.c_char_p]),
            ("vad_clear_faults", c.c_int, [c.c_int]),
            ("vad_set", c.c_int, [c.c_int, c.c_char_p]),
            ("vad_set_loopback", c.c_int, [c.c_int, c.c_int]),
            ("vad_generator", c.c_int, [c.c_int, c.c_char_p]),
            ("vad_set_hello", c.c_int, [c.c_int, c.c_char_p, sz]),
            ("vad_queue_raw", c.c_int, [c.c_int, c.c_int, c.c_char_p, sz]),
            ("vad_bus_frame", c.c_int, [c.c_int, c.c_uint32, c.c_int, c.c_char_p, sz]),
            ("vad_unplug", c.c_int, [c.c_int, ll, ll]),
            ("vad_replug", c.c_int, [c.c_int]),
            ("vad_counter_name", c.c_char_p, [c.c_int]),
            ("vad_counter", ll, [c.c_int, c.c_char_p]),
            ("vad_log_count", ll, [c.c_int, c.c_int]),
            ("vad_log_total", ll, [c.c_int, c.c_int]),
            ("vad_log_entry", c.c_long, [c.c_int, c.c_int, ll, u8p, sz]),
            ("vad_clear_logs", c.c_int, [c.c_int]),
            ("vad_last_command", c.c_long, [c.c_int, u8p, sz]),
            ("vad_last_tx", c.c_long, [c.c_int, u8p, sz]),
            ("vad_now_us", c.c_uint64, []),
            ("vad_plug", c.c_int, [c.c_char_p, c.c_char_p]),
            ("vad_serial", c.c_long, [c.c_int, c.c_char_p, sz]),
            ("vad_can_bus", c.c_long, [c.c_int, c.c_char_p, sz]),
            ("vad_can_buses", c.c_long, [c.c_char_p, sz]),
        ):
            fn = getattr(L, name)
            fn.restype, fn.argtypes = res, args

    def _check(self, rc: int) -> None:
        if rc != 0:
            raise VadError(self.lib.vad_last_error().decode())

    # --- configuration and steering
    def configure(self, config: str = "") -> None:
        """Replaces the whole model; see vadapter/README.md for the grammar."""
        self._check(self.lib.vad_configure(config.encode()))

    def adapter_count(self) -> int:
        return int(self.lib.vad_adapter_count())

    def set(self, item: str, adapter: int = 0) -> None:
        self._check(self.lib.vad_set(adapter, item.encode()))

    def fault(self, fault: str, adapter: int = 0) -> None:
        self._check(self.lib.vad_fault(adapter, fault.encode()))

    def clear_faults(self, adapter: int = 0) -> None:
        self._check(self.lib.vad_clear_faults(adapter))

    def loopback(self, on: bool = True, adapter: int = 0) -> None:
        self._check(self.lib.vad_set_loopback(adapter, int(on)))

    def generator(self, settings: str, adapter: int = 0) -> None:
        self._check(self.lib.vad_generator(adapter, settings.encode()))

    def hello(self, reply: bytes, adapter: int = 0) -> None:
        self._check(self.lib.vad_set_hello(adapter, bytes(reply), len(reply)))

    def queue_raw(self, endpoint: int, data: bytes, adapter: int = 0) -> None:
        self._check(self.lib.vad_queue_raw(adapter, endpoint, bytes(data), len(data)))

    def bus_frame(self, can_id: int, data: bytes = b"", *, fd: bool = False, ext: bool = False, remote: bool = False,
                  brs: bool = True, esi: bool = False, adapter: int = 0) -> None:
        flags = (FRAME_FD if fd else 0) | (FRAME_EXT if ext else 0) | (FRAME_REMOTE if remote else 0) \
            | (0 if brs else FRAME_NO_BRS) | (FRAME_ESI if esi else 0)
        self._check(self.lib.vad_bus_frame(adapter, can_id, flags, bytes(data), len(data)))

    def unplug(self, after_transfers: int | None = None, after_ms: int | None = None, adapter: int = 0) -> None:
        """At once without arguments; otherwise after whichever limit is reached first."""
        self._check(self.lib.vad_unplug(adapter, -1 if after_transfers is None else after_transfers,
                                        -1 if after_ms is None else after_ms))

    def replug(self, adapter: int = 0) -> None:
        self._check(self.lib.vad_replug(adapter))

    def plug(self, can_bus: str = "", config: str = "") -> int:
        """Plugs in a fresh adapter on the named virtual CAN bus ("": a bus of its own), configured by
        per-adapter items ("capture=1;serial=X"); returns its adapter index. unplug() takes it away."""
        index = int(self.lib.vad_plug(can_bus.encode(), config.encode()))
        if index < 0:
            raise VadError(self.lib.vad_last_error().decode())
        return index

    def _text(self, fn: Callable[..., int], *args: int) -> str:
        n = fn(*args, None, 0)
        if n < 0:
            raise VadError(self.lib.vad_last_error().decode())
        buf = ctypes.create_string_buffer(n + 1)
        fn(*args, buf, len(buf))
        return buf.value.decode()

    def serial(self, adapter: int = 0) -> str:
        return self._text(self.lib.vad_serial, adapter)

    def can_bus(self, adapter: int = 0) -> str:
        """The named CAN bus the adapter is on; "" for a bus of its own."""
        return self._text(self.lib.vad_can_bus, adapter)

    def can_buses(self) -> dict[str, int]:
        """Named CAN buses with adapters on them, and how many."""
        lines = self._text(self.lib.vad_can_buses).splitlines()
        return {name: int(count) for name, count in (line.rsplit(" ", 1) for line in lines)}

    # --- observation
    def counters(self, adapter: int = 0) -> dict[str, int]:
        values = {n: int(self.lib.vad_counter(adapter, n.encode())) for n in self.counter_names}
        if any(v < 0 for v in values.values()):
            raise VadError(self.lib.vad_last_error().decode())
        return values

    def counter(self, name: str, adapter: int = 0) -> int:
        v = int(self.lib.vad_counter(adapter, name.encode()))
        if v < 0:
            raise VadError(self.lib.vad_last_error().decode())
        return v

    def log(self, kind: int, adapter: int = 0) -> list[bytes]:
        """Kept entries of one log, oldest first."""
        out: list[bytes] = []
        buf = (ctypes.c_uint8 * 8192)()
        for i in range(self.lib.vad_log_count(adapter, kind)):
            n = self.lib.vad_log_entry(adapter, kind, i, buf, len(buf))
            if n < 0:
                break
            if n > len(buf):
                buf = (ctypes.c_uint8 * n)()
                n = self.lib.vad_log_entry(adapter, kind, i, buf, len(buf))
            out.append(bytes(buf[:n]))
        return out

    def log_total(self, kind: int, adapter: int = 0) -> int:
        return int(self.lib.vad_log_total(adapter, kind))

    def commands_seen(self, adapter: int = 0) -> list[bytes]:
        """Raw writes to 0x02, in order."""
        return self.log(LOG_COMMANDS, adapter)

    def tx_records(self, adapter: int = 0) -> list[bytes]:
        """Raw writes to 0x03 (normally 88-byte transmit records), in order."""
        return self.log(LOG_TX, adapter)

    def heartbeats(self, adapter: int = 0) -> list[bytes]:
        """Raw writes to 0x01, in order."""
        return self.log(LOG_HEARTBEATS, adapter)

    def acks_sent(self, adapter: int = 0) -> list[bytes]:
        """Acknowledgement frames the adapter produced for 0x82, in order."""
        return self.log(LOG_ACKS, adapter)

    def clear_logs(self, adapter: int = 0) -> None:
        self._check(self.lib.vad_clear_logs(adapter))

    def _last(self, fn: Callable[..., int], adapter: int) -> bytes | None:
        buf = (ctypes.c_uint8 * 8192)()
        n = fn(adapter, buf, len(buf))
        return None if n < 0 else bytes(buf[:min(n, len(buf))])

    def last_command(self, adapter: int = 0) -> bytes | None:
        return self._last(self.lib.vad_last_command, adapter)

    def last_tx(self, adapter: int = 0) -> bytes | None:
        return self._last(self.lib.vad_last_tx, adapter)

    def now_us(self) -> int:
        """CLOCK_MONOTONIC in microseconds, the clock of the records' time stamps."""
        return int(self.lib.vad_now_us())


# --- protocol helpers shared by tests and benchmarks

def crc16(data: bytes) -> int:
    """CRC-16/ARC."""
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def command_frame(code: int, payload: bytes = b"") -> bytes:
    body = bytes([code]) + struct.pack("<H", len(payload)) + payload
    return b"\xA5" + body + struct.pack("<H", crc16(body)) + b"\x5A"


def ack_frame(code: int, ack: int, data: bytes = b"") -> bytes:
    body = bytes([code, ack]) + struct.pack("<H", len(data)) + data
    return b"\xA5" + body + struct.pack("<H", crc16(body)) + b"\x5A"


HEARTBEAT = command_frame(0x10, b"\xFF" * 17)
DLC_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)


def tx_record(can_id: int, data: bytes = b"", *, fd: bool = True, ext: bool = False, remote: bool = False,
              dlc: int | None = None, brs: bool | None = None) -> bytes:
    """An 88-byte transmit record; dlc is the byte count (defaults to len(data)); brs (fd_acc)
    defaults to fd."""
    flags = int(fd) | (0 if remote else 2) | (4 if ext else 0) | (8 if (fd if brs is None else brs) else 0)
    n = len(data) if dlc is None else dlc
    return struct.pack("<2sBBB3xiIII64s", b"\0\0", flags, 0, n, 1, 0, 0, can_id, bytes(data).ljust(64, b"\0"))


def container(records: bytes, byte1: int = 0) -> bytes:
    count = struct.pack("<H", len(records))
    return bytes([0xA5, byte1]) + count + records + struct.pack("<H", crc16(count + records)) + b"\x5A"


@dataclass
class Record:
    id: int
    time_stamp: int
    reserve: bytes
    fram_type: int
    can_type: int
    id_type: int
    dir: int
    dlc: int
    data: bytes

    @property
    def seq(self) -> int:
        return head_seq(self.reserve)

    @property
    def brs(self) -> bool:
        return bool(self.reserve[2] & HEAD_BRS_BIT)

    @property
    def esi(self) -> bool:
        return bool(self.reserve[2] & HEAD_ESI_BIT)


def parse_container(c: bytes) -> list[Record]:
    """Records of a well-formed container; AssertionError for anything malformed."""
    assert c[0] == 0xA5 and c[-1] == 0x5A, "framing"
    n = struct.unpack_from("<H", c, 2)[0]
    assert len(c) == n + 7, "length"
    assert struct.unpack_from("<H", c, 4 + n)[0] == crc16(c[2:4 + n]), "crc"
    out: list[Record] = []
    off, body = 0, c[4:4 + n]
    while off < n:
        ident, ts = struct.unpack_from("<II", body, off)
        flag = body[off + 11]
        length = DLC_LENGTHS[flag >> 4]
        assert off + 12 + length <= n, "record cut short"
        out.append(Record(ident, ts, body[off + 8:off + 11], flag & 1, flag >> 1 & 1, flag >> 2 & 1, flag >> 3 & 1,
                          flag >> 4, body[off + 12:off + 12 + length]))
        off += 12 + length
    return out
