"""FdhostBus around a stand-in native Bus (conftest.FakeNativeBus): what python-can sees."""
import logging
import sys
from pathlib import Path
from unittest.mock import patch

import can
import pytest

from fdhost_can import adapters
from fdhost_can.bus import FdhostBus, message_from_native

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("kw", [
    dict(arbitration_id=0x123, data=b"\x01\x02", is_rx=True),
    dict(arbitration_id=0x1ABCDEF0, is_extended_id=True, is_fd=True, bitrate_switch=True, data=bytes(range(64))),
    dict(arbitration_id=0x7FF, is_remote_frame=True, dlc=4, is_rx=True),
    dict(arbitration_id=0x5, is_fd=True, error_state_indicator=True, data=b"", is_rx=False),
])
def test_native_tuple_makes_the_same_message_as_python_can(kw):
    kw = dict(dict(timestamp=1700000000.25, is_extended_id=False, is_remote_frame=False, is_fd=False,
                   bitrate_switch=False, error_state_indicator=False, is_rx=True, data=b"", channel="virtual:a"), **kw)
    ref = can.Message(**kw)
    item = (ref.timestamp, ref.arbitration_id, ref.is_extended_id, ref.is_remote_frame, ref.is_fd,
            ref.bitrate_switch, ref.error_state_indicator, ref.is_rx, ref.dlc, bytes(ref.data))
    got = message_from_native(item, "virtual:a")
    assert got.equals(ref, timestamp_delta=0)
    assert (got.is_error_frame, type(got.data), got.channel) == (False, bytearray, "virtual:a")


def open_bus(**kw):
    return can.Bus(interface="fdhost", **dict(dict(bitrate=500000, fd=True, single_handle=True, f_clock=1), **kw))


def test_open(fake_native):
    with open_bus(channel=12345, receive_own_messages=True,
                  can_filters=[{"can_id": 0x123, "can_mask": 0x7FF}]) as bus:
        serial, setup, own, _ = bus._native_bus.args
        assert (serial, setup[0], own) == ("0012345", 1, True)
        assert bus.protocol == can.CanProtocol.CAN_FD and bus.channel_info == "fdhost adapter 12345"
        assert bus._native_bus.filters == [(0x123, 0x7FF, None, False)]
        bus.set_filters(None)
        assert bus._native_bus.filters is None


def test_the_only_adapter_names_the_channel(fake_native, monkeypatch):
    monkeypatch.setattr(adapters, "present_serials", lambda: ["ab7"])
    with open_bus(channel=None) as bus:
        assert (bus.channel, bus.channel_info) == ("ab7", "fdhost adapter ab7")


def test_receive(fake_native, caplog):
    bus = open_bus(channel="ab12")
    native = bus._native_bus
    native.frames = [(1.5, 0x10, False, False, True, False, False, True, 2, b"\x01\x02")]
    native.receive_dropped = 3
    msg = bus.recv(0)
    assert (msg.arbitration_id, msg.data, msg.channel, msg.is_fd) == (0x10, bytearray(b"\x01\x02"), "ab12", True)
    assert bus.recv(0) is None
    assert bus.dropped_frames == 3 and "newest 3 frame(s)" in caplog.text
    native.frames = OSError(19, "No such device")  # unplugged
    with pytest.raises(can.CanOperationError, match="No such device"):
        bus.recv(1)
    with pytest.raises(can.CanOperationError, match="shut down"):
        bus.recv(0)
    assert native.closes == 1
    bus.shutdown()


def test_send(fake_native):
    bus = open_bus(channel="AB12")
    native = bus._native_bus
    bus.send(can.Message(arbitration_id=0x7FF, is_extended_id=False, is_remote_frame=True, dlc=3))
    bus.send(can.Message(arbitration_id=0x1, is_fd=True, bitrate_switch=True, data=b"\x09" * 12), timeout=0.5)
    assert native.sent[0][:3] == (0x7FF, False, True) and native.sent[0][6:] == (3, -1.0)
    assert native.sent[1][3:5] == (True, True) and native.sent[1][6:] == (12, 0.5)
    native.send_error = TimeoutError()
    with pytest.raises(can.CanOperationError, match="still full"):
        bus.send(can.Message(), timeout=0)
    native.send_error = ValueError("identifier 0x800 does not fit")
    with pytest.raises(ValueError):
        bus.send(can.Message(arbitration_id=0x800))
    bus.shutdown()


def test_shutdown(fake_native):
    bus = open_bus(channel="AB12")
    native = bus._native_bus
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


def test_detection_never_raises(fake_native, monkeypatch):
    assert FdhostBus._detect_available_configs() == [
        {"interface": "fdhost", "channel": "AB12"}, {"interface": "fdhost", "channel": "0012345"}]
    monkeypatch.setattr(adapters, "present_serials", lambda: 1 / 0)
    assert FdhostBus._detect_available_configs() == []


def test_a_failed_native_open_is_an_initialization_error(fake_native, monkeypatch):
    def refuse(*args, **kwargs):
        raise OSError(16, "Resource busy")

    monkeypatch.setattr(fake_native, "fdhost", refuse)
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
