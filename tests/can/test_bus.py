"""FdhostBus around a stand-in for the core's adapter (conftest.FakeAdapter): what python-can sees."""
import errno
import logging
import sys
from pathlib import Path
from unittest.mock import patch

import can
import pytest

from fdhost_can import _native, adapters, detection
from fdhost_can.bus import FdhostBus

ROOT = Path(__file__).resolve().parents[2]


def open_bus(**kw):
    return can.Bus(interface="fdhost", **dict(dict(bitrate=500000, fd=True, single_handle=True, f_clock=1), **kw))


def test_open(fake_native):
    with open_bus(channel=12345, receive_own_messages=True,
                  can_filters=[{"can_id": 0x123, "can_mask": 0x7FF}]) as bus:
        serial, setup, own, _, library = bus._adapter.args
        assert (serial, setup[0], own, library) == ("0012345", 1, True, None)
        assert bus.protocol == can.CanProtocol.CAN_FD and bus.channel_info == "fdhost adapter 12345"
        assert bus._adapter.filters == [(0x123, 0x7FF, None, False)]
        bus.set_filters(None)
        assert bus._adapter.filters is None


def test_the_only_adapter_names_the_channel(fake_native, monkeypatch):
    monkeypatch.setattr(adapters, "present_serials", lambda: ["ab7"])
    with open_bus(channel=None) as bus:
        assert (bus.channel, bus.channel_info) == ("ab7", "fdhost adapter ab7")


def test_receive(fake_native):
    bus = open_bus(channel="ab12")
    native = bus._adapter
    native.frames = [can.Message(timestamp=1.5, arbitration_id=0x10, is_fd=True, data=b"\x01\x02")]
    native.dropped = 3
    msg = bus.recv(0)
    assert (msg.arbitration_id, msg.data, msg.channel, msg.is_fd) == (0x10, bytearray(b"\x01\x02"), "ab12", True)
    assert bus.recv(0) is None
    assert bus.dropped_frames == 3 and bus.time_source == "learned"
    native.frames = _native.AdapterGone("the adapter was unplugged")
    with pytest.raises(can.CanOperationError, match="unplugged"):
        bus.recv(1)
    with pytest.raises(can.CanOperationError, match="shut down"):
        bus.recv(0)
    assert native.closes == 1
    bus.shutdown()


def test_send(fake_native):
    bus = open_bus(channel="AB12")
    native = bus._adapter
    bus.send(can.Message(arbitration_id=0x7FF, is_extended_id=False, is_remote_frame=True, dlc=3))
    bus.send(can.Message(arbitration_id=0x1, is_fd=True, bitrate_switch=True, data=b"\x09" * 12), timeout=0.5)
    assert native.sent[0][:3] == (0x7FF, False, True) and native.sent[0][6:] == (3, -1.0)
    assert native.sent[1][3:5] == (True, True) and native.sent[1][6:] == (12, 0.5)
    native.send_error = _native.TransmitTimeout("the adapter's transmit queue stayed full")
    with pytest.raises(can.CanOperationError, match="still full"):
        bus.send(can.Message(), timeout=0)
    native.send_error = ValueError("identifier 0x800 does not fit")
    with pytest.raises(ValueError):
        bus.send(can.Message(arbitration_id=0x800))
    bus.shutdown()


@pytest.mark.parametrize("timeout, native", [(None, -1.0), (float("inf"), -1.0), (-1, 0.0), (-1e-9, 0.0), (0, 0.0)])
def test_recv_time_outs_reach_the_adapter_as_python_can_means_them(fake_native, timeout, native):
    """A negative time-out only looks, as python-can's own buses do; None and infinity wait for ever."""
    with open_bus(channel="AB12") as bus:
        assert bus._recv_internal(timeout) == (None, True)
        assert bus._adapter.timeouts == [native]


def test_recv_nan_is_refused(fake_native):
    with open_bus(channel="AB12") as bus, pytest.raises(ValueError, match="nan"):
        bus.recv(float("nan"))


def test_what_the_bus_cannot_put_on_the_wire_is_refused_and_esi_noted_once(fake_native, caplog):
    with open_bus(channel="AB12", fd=False) as classic, open_bus(channel="AB12") as fd:
        # A classic CAN socket refuses FD frames with EINVAL, which python-can raises as CanOperationError.
        with pytest.raises(can.CanOperationError, match="classic CAN Bus") as refused:
            classic.send(can.Message(arbitration_id=1, is_fd=True, data=b"\x01"))
        assert refused.value.error_code == errno.EINVAL
        for bus in (classic, fd):
            with pytest.raises(ValueError, match="error frame"):
                bus.send(can.Message(arbitration_id=1, is_error_frame=True))
        assert classic._adapter.sent == []
        for _ in range(3):
            fd.send(can.Message(arbitration_id=1, is_fd=True, error_state_indicator=True))
        assert len(fd._adapter.sent) == 3
    assert [r.levelno for r in caplog.records if "error state indicator" in r.getMessage()] == [logging.WARNING]


def test_shutdown(fake_native):
    bus = open_bus(channel="AB12")
    native = bus._adapter
    assert bus.fileno() == 7
    bus.shutdown()
    bus.shutdown()
    assert native.closes == 1 and bus.fileno() == -1
    for call in (lambda: bus.recv(0), lambda: bus.send(can.Message())):
        with pytest.raises(can.CanError):
            call()


@patch.object(can.BusABC, "shutdown")
def test_shutdown_of_an_instance_whose_init_never_ran(parent_shutdown):
    class Unfinished(FdhostBus):
        def __init__(self):
            pass

    Unfinished().shutdown()
    parent_shutdown.assert_called()


def test_state(fake_native):
    with open_bus(channel="AB12") as bus:
        assert bus.state == can.BusState.ACTIVE
        bus.state = can.BusState.ACTIVE
        with pytest.raises(NotImplementedError, match="listen-only"):
            bus.state = can.BusState.PASSIVE


def test_detection_lists_the_adapters_a_bus_could_open_and_never_raises(fake_native, monkeypatch):
    monkeypatch.setattr(detection, "virtual_configs", lambda open_buses: [])
    rows = [adapters.Listed("FREE", 1, 2, [1], 0), adapters.Listed("CLAIMED", 1, 3, [2], 0),
            adapters.Listed("", 1, 4, [3], 0), adapters.Listed("NOACCESS", 1, 5, [4], _native.LIBUSB_ERROR_ACCESS),
            adapters.Listed("AB12", 1, 6, [5], 0)]
    monkeypatch.setattr(adapters, "listed", lambda: rows)
    monkeypatch.setattr(adapters, "usage", lambda bus, ports: "in use" if ports == [2] else "free")
    with open_bus(channel="AB12"):  # open here: not listed
        assert FdhostBus._detect_available_configs() == [{"interface": "fdhost", "channel": "FREE"}]
    monkeypatch.setattr(adapters, "listed", lambda: 1 / 0)
    assert FdhostBus._detect_available_configs() == []


def test_a_failed_native_open_is_an_initialization_error(fake_native, monkeypatch):
    def refuse(*args, **kwargs):
        raise _native.OpenError("could not claim interface 0: LIBUSB_ERROR_BUSY (Resource busy)")

    monkeypatch.setattr(_native, "open", refuse)
    with pytest.raises(can.CanInitializationError, match="Resource busy"):
        open_bus(channel="AB12")


def test_open_failures_are_initialization_errors(fdhost_backend, caplog):
    for kw, words in [(dict(channel="virtual:a/b"), "virtual bus name"), (dict(bitrate=1), "not supported")]:
        with pytest.raises(can.CanInitializationError, match=words):
            open_bus(**kw)


@pytest.mark.skipif(sys.version_info < (3, 11), reason="tomllib")
def test_entry_point_and_wheel_contents_are_declared():
    import tomllib

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert project["project"]["entry-points"]["can.interface"] == {"fdhost": "fdhost_can.bus:FdhostBus"}
    assert project["tool"]["scikit-build"]["wheel"]["packages"] == ["fdhost_can"]
    assert any(d.startswith("python-can") for d in project["project"]["dependencies"])
