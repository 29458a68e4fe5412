"""The workers' transfers on pyusb's own Device skip pyusb's per-call Python work and go to the
libusb it loaded. Whatever pyusb would have done differently must still happen: a replaced
Device.read or Device.write is the one called, a released interface is claimed again before the
next transfer, and errors read exactly as pyusb raises them (the fault tests check the texts)."""
import time

import usb.core
import usb.util

from host_rig import SERIAL, PID, VID, rig, vad, wait_until  # noqa: F401  (fixtures)


def test_replaced_pyusb_read_and_write_are_called(rig, monkeypatch):
    h = rig.construct()
    ids, calls = [], []
    h.setFrameCallback(lambda v: ids.append(v.head.id))
    read, write = usb.core.Device.read, usb.core.Device.write

    def counting_read(self, endpoint, size_or_buffer, timeout=None):
        calls.append(("read", endpoint, timeout))
        return read(self, endpoint, size_or_buffer, timeout)

    def counting_write(self, endpoint, data, timeout=None):
        calls.append(("write", endpoint, timeout))
        return write(self, endpoint, data, timeout)

    monkeypatch.setattr(usb.core.Device, "read", counting_read)
    monkeypatch.setattr(usb.core.Device, "write", counting_write)
    rig.vad.bus_frame(0x55, b"\x01\x02")
    h.fdcanFrameSend(b"\x01", 0x10)
    assert wait_until(lambda: 0x55 in ids and {("read", 0x81, 1), ("write", 1, 100)} <= set(calls))
    assert ("write", 3, 1) in calls
    assert rig.vad.last_tx()[20:25] == b"\x10\x00\x00\x00\x01"


def test_released_interface_is_claimed_again_as_pyusb_would(rig):
    h = rig.construct()
    usb.util.release_interface(h.dev_handle, 0)
    time.sleep(0.05)  # several heartbeats and reads on interface 0's endpoints
    other = usb.core.find(idVendor=VID, idProduct=PID, custom_match=lambda d: d.serial_number == SERIAL)
    try:
        try:
            usb.util.claim_interface(other, 0)
            claimed_again = False
        except usb.core.USBError as e:
            claimed_again = e.errno == 16
    finally:
        usb.util.dispose_resources(other)
    assert claimed_again
    ids = []
    h.setFrameCallback(lambda v: ids.append(v.head.id))
    rig.vad.bus_frame(0x66)
    assert wait_until(lambda: ids == [0x66])
    assert "[Error]" not in rig.output.take().out
