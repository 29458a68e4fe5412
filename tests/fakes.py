"""Stand-ins for pyusb and for the adapter, for fast unit tests of the fdhost module.

The module looks pyusb, ``time`` and ``threading`` up at call time, so the fixtures below patch
the real ``usb.core``/``usb.util`` functions and the module's own ``time``/``threading`` names.
Every USB operation and every pause lands, in order, in one shared log (``FakeBus.log``).
"""
import array
import collections
import threading
import types

import pytest
import usb.core
import usb.util

import src.fdhost as fd
import vadapter
from vadapter import command_frame, crc16  # noqa: F401  (shared protocol helpers, used by the tests)

CONTROL_OUT, CONTROL_IN = 0x02, 0x82
HEART_OUT, DATA_IN, CAN_OUT, CAN_IN = 0x01, 0x81, 0x03, 0x83
BANNER_LINE = "**********USB Cleaned up**********"
BANNER = BANNER_LINE + "\n"
RELEASED = "Released USB device resources"

# A5 10 11 00, seventeen FF, CRC 0x1C0A little-endian, 5A.
HEARTBEAT = bytes.fromhex("A5101100") + b"\xff" * 17 + bytes.fromhex("0A1C5A")


def ack_frame(cmd, ack_code=0, data=b""):
    """An acknowledgement frame; accepted (code 0) unless told otherwise."""
    return vadapter.ack_frame(cmd, ack_code, data)


def record(can_id=0x123, data=b"", dlc=None, dir=0, fram_type=1, can_type=0, id_type=0, ts=0, reserve=b"\0\0\0"):
    """One received frame record: a 12-byte header, then as many data bytes as the DLC code gives."""
    if dlc is None:
        dlc = vadapter.DLC_LENGTHS.index(len(data))
    flags = fram_type | can_type << 1 | id_type << 2 | dir << 3 | dlc << 4
    head = can_id.to_bytes(4, "little") + ts.to_bytes(4, "little") + bytes(reserve) + bytes([flags])
    return head + bytes(data).ljust(vadapter.DLC_LENGTHS[dlc], b"\0")


def section(records, count=None):
    """Count field, records, CRC of both: what the decoder checks."""
    body = (len(records) if count is None else count).to_bytes(2, "little") + bytes(records)
    return body + crc16(body).to_bytes(2, "little")


def container(records, byte1=0):
    return b"\xa5" + bytes([byte1]) + section(records) + b"\x5a"


def usb_error(text="Pipe error", err=32):
    return usb.core.USBError(text, errno=err)


def timeout_error(err=110):
    return usb.core.USBTimeoutError("Operation timed out", errno=err)


def lines(text):
    return text.split("\n")


def wait_for(condition, seconds=2.0):
    """Polls `condition` until it holds or `seconds` have passed; returns its last value."""
    pause = threading.Event()
    for _ in range(int(seconds / 0.002)):
        if condition():
            return True
        pause.wait(0.002)
    return condition()


class FakeDevice:
    """A device as pyusb enumerates it. Reads are scripted per endpoint: each item is bytes
    (returned as pyusb's array), an exception (raised) or a callable (called; its result is
    treated as an item, None meaning a time-out). An empty script times out, except that the
    command channel answers every command written to it with ACK_PACK when ``auto_ack`` is set."""

    def __init__(self, log, serial="SN-A", bus=1, address=5, vid=fd.KQ_USBD_VID, pid=fd.KQ_USBD_PID,
                 iSerialNumber=3, auto_ack=True):
        self.log = log
        self.serial = serial
        self.bus, self.address = bus, address
        self.idVendor, self.idProduct, self.iSerialNumber = vid, pid, iSerialNumber
        self.auto_ack = auto_ack
        self.reads = collections.defaultdict(collections.deque)
        self.write_results = collections.defaultdict(collections.deque)
        self.halt_errors = collections.defaultdict(collections.deque)
        self.claim_errors = {}
        self._pending_cmds = collections.deque()

    def script_read(self, ep, *items):
        self.reads[ep].extend(items)

    def _resolve(self, item):
        while callable(item) and not isinstance(item, BaseException):
            item = item()
        if item is None:
            raise timeout_error()
        if isinstance(item, BaseException):
            raise item
        return item

    def write(self, ep, data, timeout=None):
        data = bytes(data)
        self.log.append(("write", ep, data, timeout))
        if ep == CONTROL_OUT and len(data) > 1:
            self._pending_cmds.append(data[1])
        if self.write_results[ep]:
            return self._resolve(self.write_results[ep].popleft())
        return len(data)

    def read(self, ep, size, timeout=None):
        self.log.append(("read", ep, size, timeout))
        if ep == CONTROL_IN:
            cmd = self._pending_cmds.popleft() if self._pending_cmds else None
            if not self.reads[ep] and self.auto_ack and cmd is not None:
                return array.array("B", ack_frame(cmd))
        if not self.reads[ep]:
            threading.Event().wait(0.001)  # a real read waits its time-out out
            raise timeout_error()
        return array.array("B", self._resolve(self.reads[ep].popleft()))

    def clear_halt(self, ep):
        self.log.append(("clear_halt", ep))
        if self.halt_errors[ep]:
            raise self.halt_errors[ep].popleft()

    def writes(self, ep):
        return [e[2] for e in self.log if e[0] == "write" and e[1] == ep]


class StubThread:
    """Records what the constructor asks of threading.Thread; never runs anything."""

    def __init__(self, log, *args, **kwargs):
        self.log, self.args, self.kwargs = log, args, kwargs
        self.started = False

    def start(self):
        self.started = True
        self.log.append(("thread_start", self.kwargs["target"].__name__))

    def is_alive(self):
        return False


class FakeTime:
    def __init__(self, log):
        self.log = log
        self.sleep_errors = collections.deque()

    def sleep(self, seconds):
        self.log.append(("sleep", seconds))
        if self.sleep_errors:
            item = self.sleep_errors.popleft()
            if isinstance(item, BaseException):
                raise item
            item()
        threading.Event().wait(min(seconds, 0.001))  # keep worker loops from spinning


class FakeBus:
    def __init__(self, monkeypatch):
        self.log = []
        self.devices = []
        self.pulled = 0
        self.dispose_error = None
        self.time = FakeTime(self.log)
        self.monkeypatch = monkeypatch

    def add(self, **kw):
        dev = FakeDevice(self.log, **kw)
        self.devices.append(dev)
        return dev

    def find(self, find_all=False, **kw):
        assert find_all is True and not kw
        self.log.append(("find",))
        self.pulled = 0

        def enumerate_devices():
            for d in list(self.devices):
                self.pulled += 1
                yield d

        return enumerate_devices()

    def get_string(self, dev, index):
        self.log.append(("get_string", dev, index))
        if isinstance(dev.serial, BaseException):
            raise dev.serial
        return dev.serial

    def claim_interface(self, dev, n):
        self.log.append(("claim", dev, n))
        if n in dev.claim_errors:
            raise dev.claim_errors[n]

    def dispose_resources(self, dev):
        self.log.append(("dispose", dev))
        if self.dispose_error is not None:
            raise self.dispose_error

    def stub_threads(self):
        stub = types.SimpleNamespace(Thread=lambda *a, **k: StubThread(self.log, *a, **k),
                                     Lock=threading.Lock, Event=threading.Event)
        self.monkeypatch.setattr(fd, "threading", stub)

    def ops(self, *kinds):
        return [e for e in self.log if e[0] in kinds]


def install(monkeypatch):
    """Puts a fresh fake bus in place of pyusb's enumeration, string, claim and release calls, and
    a recording clock in place of the module's `time`; gives the module fresh slot lists."""
    b = FakeBus(monkeypatch)
    monkeypatch.setattr(usb.core, "find", b.find)
    monkeypatch.setattr(usb.util, "get_string", b.get_string)
    monkeypatch.setattr(usb.util, "claim_interface", b.claim_interface)
    monkeypatch.setattr(usb.util, "dispose_resources", b.dispose_resources)
    monkeypatch.setattr(fd, "time", b.time)
    for name in ("kq_device", "kq_string", "kq_sn"):
        monkeypatch.setattr(fd, name, [None] * fd.KQ_DEV_MAX)
    return b


@pytest.fixture
def bus(monkeypatch):
    return install(monkeypatch)


@pytest.fixture
def host(bus, capsys):
    """A constructed object on one adapter (serial SN-A at device:1,5), with stub worker threads,
    construction output and log discarded. ``host.dev`` is its fake device."""
    bus.stub_threads()
    dev = bus.add()
    h = fd.fdhost(1000000, 5000000, "SN-A")
    h.dev = dev
    bus.log.clear()
    capsys.readouterr()
    return h


@pytest.fixture
def idle_host(host, bus, capsys):
    """A constructed object whose adapter was released again and unplugged."""
    host.usb_clear()
    bus.devices.clear()
    bus.log.clear()
    capsys.readouterr()
    return host
