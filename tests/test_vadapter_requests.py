"""Endpoint-0 requests of the virtual devices answered as hardware answers them, seen through pyusb
and through lsusb: supported requests reply, everything else STALLs."""
import errno
import os
import re
import shutil
import subprocess

import pytest

from libusb_raw import ERROR_PIPE, Libusb
from vadapter import VirtualAdapter, library_path, use_with_pyusb

LIB = library_path()
pytestmark = pytest.mark.skipif(not LIB.exists(), reason=f"virtual adapter not built: {LIB}")

import usb.core  # noqa: E402
import usb.util  # noqa: E402

VID, PID = 0x34B7, 0x6877
STALL = "stall"


@pytest.fixture(scope="module")
def vad():
    use_with_pyusb()
    return VirtualAdapter()


@pytest.fixture(scope="module")
def raw(vad):
    return Libusb()


def devices(vad, config):
    vad.configure(config)
    adapter = usb.core.find(idVendor=VID, idProduct=PID)
    hub = usb.core.find(idVendor=0x1D6B)
    return adapter, hub


def control(raw, dev, request_type, request, value, index, length):
    """The reply bytes, or STALL for a request the device refused with a STALL, which leaves errno at
    EPIPE as the kernel does (tools such as lsusb look at errno, not at the libusb code)."""
    handle = raw.open(dev.bus, dev.address)
    try:
        rc, reply, err = raw.control(handle, request_type, request, value, index, length)
    finally:
        raw.close(handle)
    if rc == ERROR_PIPE and err == errno.EPIPE:
        return STALL
    assert rc >= 0, (rc, err)
    return reply


@pytest.mark.parametrize("target, request_type, code, value, index, length, expected", [
    # standard requests a high-speed device answers
    ("adapter", 0x80, 6, 0x0600, 0, 10, bytes.fromhex("0A060002000000400100")),  # device qualifier
    ("adapter", 0x80, 0, 0, 0, 2, b"\0\0"),                 # status: bus powered
    ("adapter", 0x81, 0, 0, 1, 2, b"\0\0"),                 # interface status
    ("adapter", 0x82, 0, 0, 0x81, 2, b"\0\0"),              # endpoint not halted
    ("adapter", 0x82, 0, 0, 0x80, 2, b"\0\0"),              # endpoint 0
    ("adapter", 0x81, 10, 0, 2, 1, b"\0"),                  # GET_INTERFACE: alternate setting 0
    ("adapter", 0x80, 8, 0, 0, 1, b"\x01"),                 # GET_CONFIGURATION
    # what it does not have, or requests that make no sense for it: STALL
    ("adapter", 0x80, 6, 0x0A00, 0, 4, STALL),              # debug descriptor
    ("adapter", 0x80, 6, 0x0F00, 0, 5, STALL),              # BOS: a USB 2.00 device has none
    ("adapter", 0x80, 6, 0x0300 | 9, 0x0409, 255, STALL),   # no string 9
    ("adapter", 0x80, 6, 0x0201, 0, 9, STALL),              # no second configuration
    ("adapter", 0x81, 6, 0x2200, 0, 64, STALL),             # descriptor asked of an interface
    ("adapter", 0x81, 0, 0, 3, 2, STALL),                   # no interface 3
    ("adapter", 0x82, 0, 0, 0x84, 2, STALL),                # no endpoint 0x84
    ("adapter", 0x81, 10, 0, 7, 1, STALL),                  # GET_INTERFACE of no interface
    ("adapter", 0x00, 5, 9, 0, 0, STALL),                   # SET_ADDRESS is the host controller's
    ("adapter", 0x00, 3, 1, 0, 0, STALL),                   # remote wake-up it does not offer
    ("adapter", 0xC0, 1, 0, 0, 8, STALL),                   # vendor request IN
    ("adapter", 0x40, 1, 0, 0, 0, STALL),                   # vendor request OUT
    ("adapter", 0xA1, 1, 0, 0, 8, STALL),                   # class request to an interface
    ("adapter", 0xA0, 6, 0x2900, 0, 13, STALL),             # hub descriptor from a non-hub
    # a root hub: self powered, class requests for its ports, only its own speed
    ("hub", 0x80, 0, 0, 0, 2, b"\x01\0"),
    ("hub", 0x80, 6, 0x0600, 0, 10, STALL),
    ("hub", 0x80, 6, 0x0700, 0, 9, STALL),
    ("hub", 0xA0, 6, 0x2900, 0, 13, bytes.fromhex("0929040900 0A 00 00 FF".replace(" ", ""))),
    ("hub", 0xA0, 6, 0x2A00, 0, 12, STALL),                 # no SuperSpeed hub descriptor
    ("hub", 0xA0, 0, 0, 0, 4, bytes(4)),                    # hub status
    ("hub", 0xA3, 0, 0, 1, 4, b"\x00\x01\0\0"),             # port 1 powered, nothing on it
    ("hub", 0xA3, 0, 0, 5, 4, STALL),                       # no port 5
    ("hub", 0xC0, 1, 0, 0, 8, STALL),
])
def test_requests_reply_or_stall(vad, raw, target, request_type, code, value, index, length, expected):
    adapter, hub = devices(vad, "other=1")
    assert control(raw, adapter if target == "adapter" else hub, request_type, code, value, index, length) == expected


def test_other_speed_configuration_has_full_speed_packets(vad, raw):
    adapter, _ = devices(vad, "")
    other = control(raw, adapter, 0x80, 6, 0x0700, 0, 255)
    normal = control(raw, adapter, 0x80, 6, 0x0200, 0, 255)
    assert other[1] == 7 and other[2:] == normal[2:].replace(b"\x00\x02\x00", b"\x40\x00\x00")  # 512 -> 64
    assert len(other) == other[2] == 9 + 3 * 9 + 6 * 7


def test_halt_set_and_cleared_through_endpoint_zero(vad):
    adapter, _ = devices(vad, "")
    usb.util.claim_interface(adapter, 0)
    try:
        adapter.ctrl_transfer(0x02, 3, 0, 0x01)                  # SET_FEATURE(ENDPOINT_HALT)
        assert bytes(adapter.ctrl_transfer(0x82, 0, 0, 0x01, 2)) == b"\x01\0"
        with pytest.raises(usb.core.USBError) as info:
            adapter.write(0x01, b"\0", timeout=50)
        assert info.value.errno == 32
        adapter.ctrl_transfer(0x02, 1, 0, 0x01)                  # CLEAR_FEATURE(ENDPOINT_HALT)
        assert bytes(adapter.ctrl_transfer(0x82, 0, 0, 0x01, 2)) == b"\0\0"
        assert adapter.write(0x01, b"\0", timeout=50) == 1
    finally:
        usb.util.dispose_resources(adapter)


def test_root_hub_sees_the_devices_on_its_bus(vad, raw):
    adapter, hub = devices(vad, "adapters=2;other=1;other_bus=1:1;a1.port=3")
    ports = [control(raw, hub, 0xA3, 0, 0, n, 4)[:2] for n in range(1, 5)]
    assert ports == [b"\x03\x05", b"\x00\x01", b"\x03\x05", b"\x00\x01"]  # connected, enabled, high speed
    assert hub.port_numbers is None and adapter.port_numbers == (1,)
    assert (adapter.parent.idVendor, hub.parent) == (0x1D6B, None)
    _, hub = devices(vad, "adapters=2;a1.port=7;other=1;other_bus=1:1")
    assert control(raw, hub, 0xA0, 6, 0x2900, 0, 13)[2] == 7  # enough ports for every device


@pytest.mark.parametrize("args", [["lsusb"], ["lsusb", "-v"]])
def test_lsusb_lists_every_device_without_complaint(args):
    if shutil.which("lsusb") is None:
        if os.environ.get("CI") == "true":
            pytest.fail("lsusb (usbutils) is not installed")
        pytest.skip("lsusb (usbutils) is not installed")
    env = dict(os.environ, FDHOST_VADAPTER="adapters=2;other=1",
               LD_LIBRARY_PATH=f"{LIB.parent}:{os.environ.get('LD_LIBRARY_PATH', '')}")
    out = subprocess.run(args, env=env, capture_output=True, text=True, timeout=30)
    # usbutils 019 and newer say so when the system has no udev hardware database (a minimal system
    # without udev): about names, not about the devices.
    complaints = re.sub(r"^unable to initialize usb .*\n?", "", out.stderr, flags=re.M).strip()
    assert out.returncode == 0 and complaints == "", out.stderr
    # Names after the ids come from the system's hardware database, if it knows them.
    listed = re.findall(r"^Bus \d{3} Device \d{3}: ID [0-9a-f]{4}:[0-9a-f]{4}", out.stdout, re.M)
    assert listed == ["Bus 001 Device 002: ID 34b7:6877", "Bus 001 Device 003: ID 34b7:6877",
                      "Bus 002 Device 001: ID 1d6b:0002"]
    if "-v" in args:
        assert out.stdout.count("Device Qualifier") == 2 and "Hub Port Status:" in out.stdout
        assert not any(word in out.stdout.lower() for word in ("can't", "cannot", "couldn't", "error"))
