"""The workers' transfers and send_data on pyusb's own Device skip pyusb's per-call Python work and
go to the libusb it loaded, and the reader decodes bytes in memory while the object's decoding
methods are the module's own. Whatever Python code would have done differently must still happen:
each row of the table alters the object or its device one way and names what must then be seen.
(The errors read exactly as pyusb raises them: test_faults.py checks the texts.)"""
import functools
import threading
import time

import pytest
import usb.backend.libusb1
import usb.core
import usb.util

import src.fdhost as fd
from host_rig import SERIAL, claim_from_outside, rig, vad, wait_until  # noqa: F401  (fixtures)
from vadapter import VirtualAdapter

# The calls the reader, the heartbeat and send_data make: method, endpoint, the size asked for (read)
# or the type of the data (write), time-out.
USUAL_CALLS = {("read", 0x81, fd.RX_LENGTH, 1), ("write", 1, bytearray, 100), ("write", 3, bytearray, 1)}
BULK_CALLS = {("bulk_read", 0x81), ("bulk_write", 1), ("bulk_write", 3)}


def noting(calls, name, fn, bound=False, traced=False):
    """A stand-in for Device.read / Device.write (`bound`: for one device) that notes each call,
    then makes it; `traced` dresses it as pyusb's call tracing does (same name, another function)."""
    def method(*args, **kwargs):
        endpoint, size_or_data, timeout = (*args[0 if bound else 1:], *kwargs.values(), None)[:3]
        size = size_or_data if isinstance(size_or_data, int) else type(size_or_data)
        calls.append((name, endpoint, size, timeout))
        return fn(*args, **kwargs)
    return functools.update_wrapper(method, fn) if traced else method


class DeviceStandIn:
    """Another type of device object: pyusb's device behind it, everything but read/write passed on."""

    def __init__(self, dev, calls):
        self._dev = dev
        self.read, self.write = (noting(calls, n, getattr(dev, n), bound=True) for n in ("read", "write"))

    def __getattr__(self, name):
        return getattr(self._dev, name)


def replace_device_methods(monkeypatch, calls, traced=False):
    for name in ("read", "write"):
        monkeypatch.setattr(usb.core.Device, name, noting(calls, name, getattr(usb.core.Device, name), traced=traced))


def replace_on_device(monkeypatch, h, calls):
    for name in ("read", "write"):  # into its namespace, so that undoing it leaves nothing behind
        monkeypatch.setitem(vars(h.dev_handle), name, noting(calls, name, getattr(h.dev_handle, name), bound=True))


def replace_backend_methods(monkeypatch, owner, calls):
    """Replaces the backend's bulk transfers on `owner`: its class, or the (shared) backend itself."""
    for name in ("bulk_read", "bulk_write"):
        def method(*args, fn=getattr(owner, name), name=name):
            calls.append((name, args[-4]))  # ..., handle, endpoint, interface, buffer, time-out
            return fn(*args)
        if isinstance(owner, type):
            monkeypatch.setattr(owner, name, method)
        else:
            monkeypatch.setitem(vars(owner), name, method)


def stop_heartbeat(h):
    """Stops the heartbeat's transfers; returns once none is under way."""
    stopped = threading.Event()
    h.USB_CMD_HEART = stopped.set
    assert stopped.wait(2)


def close_handle_between_transfers(monkeypatch, h, calls):
    """Closes the device from inside the frame callback with the heartbeat stopped, so that no
    transfer is under way meanwhile (closing under a running transfer fails it, on pyusb's path too)."""
    deliver = h.frame_callback_
    stop_heartbeat(h)

    def callback(value):
        if not calls:
            calls.append("closed")
            usb.util.dispose_resources(h.dev_handle)
        deliver(value)
    h.setFrameCallback(callback)


def wake_reader():
    """A frame on the bus: the reader, waiting on its queued transfers, wakes up and finds what changed."""
    VirtualAdapter().bus_frame(0x66)


def withdraw_during(name, endpoint):
    """Device.<name> on `endpoint` runs usb_clear once before making the transfer, as the other
    worker's clean-up under way at that moment would: pyusb then opens the device and claims it again
    for the transfer. The heartbeat is stopped and reads do not overlap any closing, for the reason
    above. The reader steps back from its queued transfers to Device.read at its next wake-up."""
    def alter(monkeypatch, h, calls):
        stop_heartbeat(h)
        closing, reading = threading.RLock(), threading.Event()
        read, fn, dispose = usb.core.Device.read, getattr(usb.core.Device, name), usb.util.dispose_resources

        def locked_read(*args, **kwargs):
            with closing:
                reading.set()
                return read(*args, **kwargs)

        def locked_dispose(dev):
            with closing:
                dispose(dev)

        def method(self, ep, size_or_data, timeout=None):
            if ep == endpoint and not calls:
                calls.append(ep)
                with closing:
                    h.usb_clear()
            return fn(self, ep, size_or_data, timeout)
        monkeypatch.setattr(usb.core.Device, name, method)
        if name == "write":
            monkeypatch.setattr(usb.util, "dispose_resources", locked_dispose)
            monkeypatch.setattr(usb.core.Device, "read", locked_read)
        wake_reader()
        if name == "write":
            assert reading.wait(2)  # the direct read under way, if any, has ended
    return alter


def reader_ended_and_released(h):
    """The reader may have fetched the device just before the clean-up and be about to read from it
    (pyusb then opens and claims it again until it releases it on its way out): a claim from outside
    before the reader has ended would race with that read."""
    return h.dev_handle is None and not h.rec_thread.is_alive() and released()


def released():
    try:
        claim_from_outside(SERIAL)
        return True
    except usb.core.USBError:
        return False


def noting_host(*names):
    """A subclass whose methods `names` note their arguments into `self.noted`, then do their work."""
    def override(name):
        def method(self, *args):
            self.noted.append((name,) + tuple(bytes(a) if isinstance(a, (bytes, bytearray, list)) else a for a in args))
            return getattr(super(cls, self), name)(*args)
        return method

    def __init__(self, *args):
        self.noted = []  # before the workers start
        fd.fdhost.__init__(self, *args)
    cls = type("NotingHost", (fd.fdhost,), {"__init__": __init__, **{n: override(n) for n in names}})
    return cls


def note_on_host(monkeypatch, h, calls):
    h.noted = calls


def unpack_can_frame_on_object(monkeypatch, h, calls):
    own = h.unpack_can_frame

    def unpack(pdat, actual_len):
        calls.append(("unpack_can_frame", bytes(pdat), actual_len))
        return own(pdat, actual_len)
    h.unpack_can_frame = unpack


def whole_section(h, calls):
    return any(c[0] == "unpack_can_frame" and len(c[1]) == c[2] and
               fd.CRC16_IBM(c[1][:-2]) == int.from_bytes(c[1][-2:], "little") for c in calls)


def whole_container(h, calls):
    return any(c[0] == "unpack_usb_frame" and c[1][0] == 0xA5 and c[1][-1] == 0x5A and len(c[1]) == c[2]
               for c in calls)


TRAFFIC, SEND, NONE = "a bus frame comes in and a frame is sent", "a frame is sent", "nothing"


def guard(id, alter, seen, host=fd.fdhost, traffic=TRAFFIC, marks=()):
    return pytest.param(host, alter, traffic, seen, id=id, marks=marks)


GUARDS = [
    guard("another device type", lambda mp, h, calls: setattr(h, "dev_handle", DeviceStandIn(h.dev_handle, calls)),
          lambda h, calls: USUAL_CALLS <= set(calls)),
    guard("Device.read/write replaced on the class", lambda mp, h, calls: replace_device_methods(mp, calls),
          lambda h, calls: USUAL_CALLS <= set(calls)),
    guard("Device.read/write traced", lambda mp, h, calls: replace_device_methods(mp, calls, traced=True),
          lambda h, calls: USUAL_CALLS <= set(calls)),
    guard("Device.read/write replaced on the device", replace_on_device,
          lambda h, calls: USUAL_CALLS <= set(calls)),
    guard("backend transfers replaced on its class",
          lambda mp, h, calls: replace_backend_methods(mp, usb.backend.libusb1._LibUSB, calls),
          lambda h, calls: BULK_CALLS <= set(calls)),
    guard("backend transfers replaced on the backend",
          lambda mp, h, calls: replace_backend_methods(mp, h.dev_handle._ctx.backend, calls),
          lambda h, calls: BULK_CALLS <= set(calls)),
    # pyusb opens the device again and claims what it needs
    guard("handle closed", close_handle_between_transfers,
          lambda h, calls: h.dev_handle._ctx.handle is not None and not released()),
    # pyusb claims it again for the frame sent (0x03 is the only endpoint used on interface 2)
    guard("interface released", lambda mp, h, calls: usb.util.release_interface(h.dev_handle, 2),
          lambda h, calls: 2 in h.dev_handle._ctx._claimed_intf),
    guard("endpoints not looked up", lambda mp, h, calls: h.dev_handle._ctx._ep_info.clear(),
          lambda h, calls: {0x81, 0x01, 0x03} <= set(h.dev_handle._ctx._ep_info)),
    guard("a subclass's unpack_usb_frame", note_on_host, whole_container, host=noting_host("unpack_usb_frame")),
    guard("a subclass's unpack_can_frame", note_on_host, whole_section, host=noting_host("unpack_can_frame")),
    guard("unpack_can_frame set on the object", unpack_can_frame_on_object, whole_section),
    guard("a subclass's can_pack_dlc_get", note_on_host,
          lambda h, calls: any(c[0] == "can_pack_dlc_get" and (c[1].id, c[1].dlc) == (0x55, 2) for c in calls),
          host=noting_host("can_pack_dlc_get")),
    guard("a subclass's send path and heartbeat", note_on_host,
          lambda h, calls: ("fillFDCANFrame", b"\x01") in {c[:2] for c in calls}
          and {"set_tx_frame", "send_data", "USB_CMD_HEART"} <= {c[0] for c in calls},
          host=noting_host("fillFDCANFrame", "set_tx_frame", "send_data", "USB_CMD_HEART")),
    # released again once the transfer has returned
    guard("withdrawn during send_data's write", withdraw_during("write", 3),
          lambda h, calls: reader_ended_and_released(h), traffic=SEND),
    guard("withdrawn during the reader's read", withdraw_during("read", 0x81),
          lambda h, calls: reader_ended_and_released(h), traffic=NONE),
]


@pytest.mark.parametrize("host_class, alter, traffic, seen", GUARDS)
def test_what_python_code_would_do_still_happens(rig, monkeypatch, host_class, alter, traffic, seen):
    h = host_class(1000000, 5000000, SERIAL)
    rig.hosts.append(h)
    rig.output.wait_for("USB receiving thread started")
    ids, calls = [], []
    h.setFrameCallback(lambda v: ids.append(v.head.id))
    # The direct paths in use before the change: the first transfer on an endpoint is pyusb's own
    # (it looks the endpoint up), the next ones go direct.
    for _ in range(2):
        h.fdcanFrameSend(b"\x00", 0x11)
    time.sleep(0.02)
    alter(monkeypatch, h, calls)
    if traffic == TRAFFIC:
        rig.vad.bus_frame(0x55, b"\x01\x02")
        assert wait_until(lambda: 0x55 in ids), rig.output.take().out
    if traffic in (TRAFFIC, SEND):
        h.fdcanFrameSend(b"\x01", 0x10)
    if traffic == TRAFFIC:
        assert rig.vad.last_tx()[20:25] == b"\x10\x00\x00\x00\x01"
    assert wait_until(lambda: seen(h, calls)), calls
    out = rig.output.take().out
    assert "[Error]" not in out, out
