"""python-can interface tests: the repository's backend registered under "fdhost" (as the installed
entry point would), and a stand-in for the extension's fdhost object so the Python side runs alone."""
import os
import types
import uuid

import can
import can.util
import pytest

from fdhost_can import _native, adapters, virtual

# Virtual buses of this session stay apart from other test runs on the machine.
os.environ.setdefault("FDHOST_VADAPTER_NAMESPACE", f"can-tests-{uuid.uuid4().hex[:12]}")


@pytest.fixture
def fdhost_backend(monkeypatch):
    monkeypatch.setitem(can.interfaces.BACKENDS, "fdhost", ("fdhost_can.bus", "FdhostBus"))
    # can.Bus checks names against a set made when python-can was imported.
    monkeypatch.setattr(can.util, "VALID_INTERFACES", can.util.VALID_INTERFACES | {"fdhost"})


@pytest.fixture
def native_module():
    return _native.load()


class FakeNativeBus:
    """The fdhost object as the Bus uses it (the options and methods it adds for python-can);
    frames come from `frames`."""

    def __init__(self, nom_baud, dat_baud, sn, *, line_sink, settle, setup, receive_queue, receive_own,
                 virtual_adapter):
        self.args = (sn, setup, receive_own, receive_queue)
        self.rates = (nom_baud, dat_baud)
        self.settle, self.virtual = settle, virtual_adapter
        self.line_sink = line_sink
        self.frames, self.sent, self.filters, self.receive_dropped, self.closes = [], [], "unset", 0, 0
        self.send_error = None
        self.rec_thread = self.rec_thread2 = None  # the workers' threads

    def recv_message(self, timeout):
        if isinstance(self.frames, Exception):
            raise self.frames
        return self.frames.pop(0) if self.frames else None

    def send_message(self, *args):
        if self.send_error:
            raise self.send_error
        self.sent.append(args)

    def set_receive_filters(self, rules):
        self.filters = rules

    def receive_fileno(self):
        return 7

    def close(self):
        self.closes += 1


@pytest.fixture
def fake_native(monkeypatch, native_module, fdhost_backend):
    """Opening a Bus reaches FakeNativeBus; two adapters are connected."""
    fake = types.SimpleNamespace(
        can_seg_table=native_module.can_seg_table,
        can_fd_seg_table=native_module.can_fd_seg_table,
        fdhost=FakeNativeBus,
    )
    monkeypatch.setattr(_native, "load", lambda: fake)
    monkeypatch.setattr(adapters, "present_serials", lambda: ["AB12", "0012345"])
    return fake


# --- Buses on virtual buses (the extension on the virtual adapter library)

@pytest.fixture
def vad():
    try:
        return virtual.controller()
    except virtual.VadError as e:
        pytest.skip(str(e))


@pytest.fixture
def channel(vad):
    return f"virtual:t{uuid.uuid4().hex[:12]}"


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
