"""The specified fdhost object through the real chain: pyusb on Debian's libusb, usbfs, the kernel's
URB handling and vhci-hcd, to the virtual adapters of fdhost-usbip."""
import threading
import time

import pytest
from usbip_rig import kernel_devices, wait_until

import load_fdhost

fh = load_fdhost.load()


def construction_lines(dev, attached):
    """What the constructor prints for `dev` while the adapters `attached` are on the USB: a line for
    each adapter found, in libusb's order (the real one lists the newest device first), then the
    opening of `dev`."""
    found = {f"Found RU-ZEDUZ, device-id: {d.location} SN: {d.serial}" for d in attached}
    return found, [f"Choose usb device is {dev.location}", "Claimed interface 0", "Claimed interface 1",
                   "Claimed interface 2", "ACK successful", "CMD_START_CAP ACK SUCCESS",
                   "Set the arbitration domain baud rate: 1000000.0", "Set the data baud rate: 5000000.0"]


def test_open_transmit_receive_close(adapters, capsys):
    a, b = (kernel_devices(adapters.serial(busid))[0] for busid in ("1-1", "1-2"))
    heartbeats_before = adapters.counter("1-1", "heartbeats")
    got_a, got_b = [], []
    with fh.fdhost(1000000, 5000000, a.serial) as dev_a:
        printed = capsys.readouterr().out.splitlines()
        found, opening = construction_lines(a, [a, b])
        assert set(printed[:len(found)]) == found
        assert printed[len(found):len(found) + len(opening)] == opening
        dev_a.setFrameCallback(lambda v: got_a.append((v.head.id, bytes(v.data[:v_len(v)]))))
        dev_b = fh.fdhost(1000000, 5000000, b.serial)
        try:
            dev_b.setFrameCallback(lambda v: got_b.append((v.head.id, bytes(v.data[:v_len(v)]))))
            for i in range(20):
                dev_a.fdcanFrameSend(bytes([i] * 8), 0x100 + i)
                dev_b.fdcanFrameSend(bytes([i] * 12), 0x200 + i)
            assert wait_until(lambda: len(got_a) >= 20 and len(got_b) >= 20, 20)
        finally:
            dev_b.close()
        time.sleep(0.5)
        heartbeats = adapters.counter("1-1", "heartbeats") - heartbeats_before
    assert got_b[:20] == [(0x100 + i, bytes([i] * 8)) for i in range(20)]
    assert got_a[:20] == [(0x200 + i, bytes([i] * 12)) for i in range(20)]
    # One every 10 ms while the object lived (a couple of seconds at least); the emulated guest may lag.
    assert heartbeats >= 50
    assert adapters.counter("1-1", "heartbeats_bad") == 0
    out = capsys.readouterr().out
    assert "[Error]" not in out
    assert out.endswith("__exit__   fdhost\nReleased USB device resources\n**********USB Cleaned up**********\n\n")
    # Released: the adapter can be claimed again at once.
    with fh.fdhost(1000000, 5000000, a.serial):
        pass


DLC_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)


def v_len(value):
    return DLC_LENGTHS[value.head.dlc]


def test_generated_stream_arrives_complete(adapters, capsys):
    """The server's third adapter saturates the bus; the callback sees every frame, in order."""
    serial = adapters.serial("1-1")
    seqs = []
    with fh.fdhost(1000000, 5000000, serial) as dev:
        dev.setFrameCallback(lambda v: seqs.append(int.from_bytes(bytes(v.data[:4]), "little")))
        assert adapters.command("gen 1-3 saturate,dlc=8,fd=1,count=20000").startswith("ok")
        assert wait_until(lambda: len(seqs) >= 20000, 60)
        time.sleep(0.2)
    assert seqs == list(range(seqs[0], seqs[0] + 20000))
