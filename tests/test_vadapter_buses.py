"""Virtual adapters plugged in and out at run time, each on a named virtual CAN bus: adapters on one
bus receive each other's frames, buses with different names are independent. Named buses are shared
with other processes unless kept in this one (canbus_local=1); both kinds behave alike here, and
test_vadapter_shared_bus.py covers what only the shared kind does."""
import os
import time
import uuid

import pytest

from libusb_raw import COMPLETED, AsyncTransfers, Libusb
from vadapter import VadError, VirtualAdapter, library_path, parse_container, tx_record, use_with_pyusb

LIB = library_path()
pytestmark = pytest.mark.skipif(not LIB.exists(), reason=f"virtual adapter not built: {LIB}")

import usb.core  # noqa: E402
import usb.util  # noqa: E402

VID, PID = 0x34B7, 0x6877
READ = 51200


@pytest.fixture(scope="module")
def vad():
    use_with_pyusb()
    return VirtualAdapter()


@pytest.fixture(autouse=True)
def namespace(monkeypatch):
    """Shared buses of this test only, whatever other test runs of this user do meanwhile."""
    monkeypatch.setenv("FDHOST_VADAPTER_NAMESPACE", f"t{os.getpid()}-{uuid.uuid4().hex[:8]}")


@pytest.fixture(params=["shared", "local"])
def scope(request):
    """Per-adapter items that put an adapter on a shared bus, or on one of this process only."""
    return "canbus_local=1;" if request.param == "local" else ""


@pytest.fixture
def world(vad):
    """A model without configured adapters; opened pyusb devices are released afterwards."""
    vad.configure("adapters=0")
    opened = []

    def open_adapter(index):
        serial = vad.serial(index)
        dev = usb.core.find(idVendor=VID, idProduct=PID, custom_match=lambda d: d.serial_number == serial)
        assert dev is not None, serial
        opened.append(dev)
        return dev

    yield open_adapter
    for d in opened:
        usb.util.dispose_resources(d)


def send(dev, can_id, data=b"", fd=True):
    assert dev.write(0x03, tx_record(can_id, data, fd=fd), timeout=100) == 88


def receive(dev, count, timeout=0.5):
    """(id, dir) of the next `count` records, in order."""
    got, end = [], time.monotonic() + timeout
    while len(got) < count and time.monotonic() < end:
        try:
            got += [(r.id, r.dir) for r in parse_container(bytes(dev.read(0x81, READ, timeout=20)))]
        except usb.core.USBTimeoutError:
            pass
    return got


def nothing_arrives(dev):
    with pytest.raises(usb.core.USBTimeoutError):
        dev.read(0x81, READ, timeout=30)
    return True


@pytest.mark.parametrize("setup", ["plug", "configure"])
def test_adapters_on_one_bus_see_each_other_and_no_other_bus(vad, world, setup, scope):
    if setup == "plug":
        a, b, c = (vad.plug(name, scope + "capture=1") for name in ("a", "a", "b"))
    else:
        vad.configure(f"adapters=3;{scope}capture=1;canbus=a;a2.canbus=b")
        a, b, c = 0, 1, 2
    assert [vad.can_bus(i) for i in (a, b, c)] == ["a", "a", "b"]
    assert vad.can_buses() == {"a": 2, "b": 1}
    da, db, dc = world(a), world(b), world(c)
    send(da, 0x123, b"\x01")
    assert receive(da, 1) == [(0x123, 1)]   # its own frame comes back as sent (echo)
    assert receive(db, 1) == [(0x123, 0)]   # the other adapter received it
    send(db, 0x456)
    assert receive(db, 1) == [(0x456, 1)] and receive(da, 1) == [(0x456, 0)]
    assert nothing_arrives(dc)
    # Alone on its bus, c finds nobody to acknowledge its frame: it keeps it, as a controller
    # retrying it would, until another node comes.
    send(dc, 0x789)
    assert nothing_arrives(dc) and nothing_arrives(da) and nothing_arrives(db)
    assert [vad.counter(n, c) for n in ("tx_sent", "tx_ack_errors", "tx_error_counter", "error_state")] == [0, 1, 128, 2]
    d = vad.plug("b", scope + "capture=1")
    assert receive(dc, 1) == [(0x789, 1)] and receive(world(d), 1) == [(0x789, 0)]
    assert nothing_arrives(da) and nothing_arrives(db)
    assert (vad.counter("bus_frames", a), vad.counter("bus_frames", c)) == (2, 1)
    assert [vad.counter(n, c) for n in ("tx_sent", "tx_error_counter", "error_state")] == [1, 127, 1]


@pytest.mark.parametrize("fd, fd_acc, brs", [(True, True, True), (True, False, False), (False, True, False)])
def test_transmitted_bitrate_switch_arrives_with_the_frame(vad, world, fd, fd_acc, brs):
    a, b = vad.plug("brs", "capture=1"), vad.plug("brs", "capture=1")
    da, db = world(a), world(b)
    assert da.write(0x03, tx_record(0x7, b"\x01", fd=fd, brs=fd_acc), timeout=100) == 88
    for dev, direction in ((db, 0), (da, 1)):  # the receiver, and the sender's echo
        (r,) = parse_container(bytes(dev.read(0x81, READ, timeout=200)))
        assert (r.id, r.dir, r.can_type, r.brs, r.esi) == (0x7, direction, int(fd), brs, False)


def test_frames_of_several_adapters_arbitrate_and_follow_each_other(vad, world, scope):
    # 1 kbit/s: an empty classic frame takes 47 ms, time enough to queue frames behind it.
    a, b = (vad.plug("slow", scope + "capture=1;nominal=1k") for _ in range(2))
    da, db = world(a), world(b)
    send(da, 0x300, fd=False)
    send(da, 0x200, fd=False)  # queued first ...
    send(db, 0x100, fd=False)  # ... but the lower identifier wins the bus once it is free
    records = []
    end = time.monotonic() + 1.0
    while len(records) < 3 and time.monotonic() < end:
        try:
            records += parse_container(bytes(db.read(0x81, READ, timeout=50)))
        except usb.core.USBTimeoutError:
            pass
    assert [(r.id, r.dir) for r in records] == [(0x300, 0), (0x100, 1), (0x200, 0)]
    stamps = [r.time_stamp for r in records]
    assert [s - t for t, s in zip(stamps, stamps[1:])] == [pytest.approx(47_000, abs=2)] * 2  # back to back


def test_generated_traffic_reaches_every_adapter_on_the_bus(vad, world, scope):
    a, b = vad.plug("g", scope + "capture=1"), vad.plug("g", scope + "capture=1")
    vad.generator("saturate,dlc=1,count=20", adapter=a)
    for dev in (world(a), world(b)):
        records = receive(dev, 20)
        assert records == [(0x100, 0)] * 20


def test_unplugged_adapter_is_gone_until_plugged_again(vad, world, scope):
    a, b = vad.plug("u", scope + "capture=1"), vad.plug("u", scope + "capture=1")
    da, db = world(a), world(b)
    old_address = db.address
    vad.unplug(adapter=b)
    with pytest.raises(usb.core.USBError) as info:
        db.read(0x81, READ, timeout=20)
    assert info.value.errno == 19  # no such device
    assert [d.address for d in usb.core.find(find_all=True, idVendor=VID)] == [da.address]
    assert vad.can_buses() == {"u": 1}  # it left the CAN bus with its power
    send(da, 0x10)  # nobody acknowledges it now
    assert nothing_arrives(da)
    vad.replug(b)
    db = world(b)
    assert db.address != old_address and vad.can_buses() == {"u": 2}
    assert receive(da, 1) == [(0x10, 1)] and receive(db, 1) == [(0x10, 0)]  # back on the bus, it acknowledges
    send(db, 0x20)
    assert receive(da, 1) == [(0x20, 0)]


def test_plugged_adapters_are_enumerated_with_serial_and_location(vad, world):
    usb_raw = Libusb()
    before = usb_raw.device_locations()
    first = vad.plug("e")
    second = vad.plug("e", "serial=CAFE;port=9")
    assert usb_raw.device_locations() == before + [(1, 2), (1, 3)]
    assert (vad.serial(first), vad.serial(second)) == (vad.serial(first), "CAFE") and vad.serial(first)
    dev = world(second)
    assert (dev.serial_number, dev.port_number) == ("CAFE", 9)
    assert world(first).port_number == 1
    for name, bad in (("e", "frobnicate=1"), ("e", "gen=fast"), ("two\nlines", "")):
        with pytest.raises(VadError):
            vad.plug(name, bad)
    assert vad.adapter_count() == 2


def test_async_reception_completes_from_another_adapters_frame(vad, world):
    usb_raw = Libusb()
    a, b = vad.plug("x", "capture=1"), vad.plug("x", "capture=1")
    dev_b = world(b)
    handle = usb_raw.open(dev_b.bus, dev_b.address)
    transfers = AsyncTransfers(usb_raw, handle)
    try:
        transfers.submit("in", 0x81, READ)
        assert usb_raw.handle_events(0.05) == 0 and transfers.done == []
        send(world(a), 0x55)
        transfers.wait(1)
        (_, status, data), = transfers.done
        assert status == COMPLETED and [(r.id, r.dir) for r in parse_container(data)] == [(0x55, 0)]
    finally:
        transfers.finish()
        usb_raw.close(handle)
