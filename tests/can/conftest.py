"""python-can interface tests: the repository's backend registered under "fdhost" (as the installed
entry point would), and a stand-in for the core's adapter so the Python side runs alone."""
import os
import types
import uuid

import can
import can.util
import pytest

import load_fdhost
from fdhost_can import _extension, _native, adapters, virtual

# Virtual buses of this session stay apart from other test runs on the machine.
os.environ.setdefault("FDHOST_VADAPTER_NAMESPACE", f"can-tests-{uuid.uuid4().hex[:12]}")


@pytest.fixture
def fdhost_backend(monkeypatch):
    monkeypatch.setitem(can.interfaces.BACKENDS, "fdhost", ("fdhost_can.bus", "FdhostBus"))
    # can.Bus checks names against a set made when python-can was imported.
    monkeypatch.setattr(can.util, "VALID_INTERFACES", can.util.VALID_INTERFACES | {"fdhost"})


@pytest.fixture
def native_module():
    """The fdhost extension module (its tables and record classes)."""
    if load_fdhost.WITHOUT_EXTENSION:
        pytest.skip("the fdhost extension is not built for this interpreter")
    return _extension.load()


class FakeAdapter:
    """The core's adapter as the Bus uses it (fdhost_can._native.Adapter); frames come from `frames`."""

    def __init__(self, serial, setup, *, library, queue_frames, receive_own, settle=True):
        self.args = (serial, setup, receive_own, queue_frames, library)
        self.serial = serial
        self.frames, self.sent, self.filters, self.dropped, self.closes = [], [], "unset", 0, 0
        self.send_error = None
        self.time_source, self.arrival_timed = "learned", 0
        self.timeouts = []

    def recv(self, timeout, channel):
        self.timeouts.append(timeout)
        if isinstance(self.frames, Exception):
            raise self.frames
        if not self.frames:
            return None
        msg = self.frames.pop(0)
        msg.channel = channel
        return msg

    def send(self, *args):
        if self.send_error:
            raise self.send_error
        self.sent.append(args)

    def set_filters(self, rules):
        self.filters = rules

    def fileno(self):
        return 7

    def close(self):
        self.closes += 1


@pytest.fixture
def fake_native(monkeypatch, fdhost_backend):
    """Opening a Bus reaches FakeAdapter; two adapters are connected."""
    opened = types.SimpleNamespace(adapters=[])

    def open_fake(*args, **kwargs):
        adapter = FakeAdapter(*args, **kwargs)
        opened.adapters.append(adapter)
        return adapter

    monkeypatch.setattr(_native, "open", open_fake)
    monkeypatch.setattr(adapters, "present_serials", lambda: ["AB12", "0012345"])
    return opened


# --- Buses on virtual buses (the extension on the virtual adapter library)

@pytest.fixture
def vad():
    try:
        return virtual.controller()
    except virtual.VadError as e:
        pytest.skip(str(e))


@pytest.fixture
def channel(vad):
    # Not ending in digits: python-can's log writers take trailing digits of a channel name for a
    # channel number (BLF stores it in 16 bits, and a long run of digits does not fit).
    return f"virtual:t{uuid.uuid4().hex[:12]}x"


@pytest.fixture
def buses(channel):
    """open(**kw) opens a Bus on the test's channel (CAN FD, 1M/5M unless told); all are shut down."""
    opened = []

    def open_bus(**kw):
        kw = dict(dict(channel=channel, bitrate=1_000_000, fd=True, data_bitrate=5_000_000), **kw)
        b = can.Bus(interface="fdhost", **kw)
        opened.append(b)
        return b

    yield open_bus
    for b in opened:
        b.shutdown()
