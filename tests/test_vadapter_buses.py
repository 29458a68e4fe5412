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


def counters(vad, adapter, *names):
    return [vad.counter(n, adapter) for n in names]


def test_a_frame_that_loses_arbitration_waits_and_says_so(vad, world, scope):
    # 1 kbit/s: an empty classic frame takes 47 ms, time enough to queue frames behind it.
    a, b = (vad.plug("arb", scope + "capture=1;nominal=1k") for _ in range(2))
    da, db = world(a), world(b)
    for i in range(3):
        send(da, 0x100 + i, fd=False)  # the first is on the wire before b's frame is queued
    send(db, 0x7FF, fd=False)           # loses to a's second and third, then goes
    assert receive(db, 4, timeout=1.0) == [(0x100, 0), (0x101, 0), (0x102, 0), (0x7FF, 1)]
    assert counters(vad, b, "tx_sent", "tx_arbitration_lost", "tx_queued") == [1, 2, 0]
    assert counters(vad, a, "tx_sent", "tx_arbitration_lost") == [3, 0]


def test_nodes_at_another_bit_timing_see_errors_not_frames(vad, world, scope):
    a, b = vad.plug("bt", scope + "capture=1"), vad.plug("bt", scope + "capture=1")  # 1M/5M, CAN FD
    slow = vad.plug("bt", scope + "capture=1;nominal=500k")
    classic = vad.plug("bt", scope + "capture=1;fd=0")
    da = world(a)
    send(da, 0x1, b"\x01", fd=True)   # CAN FD with the bitrate switch
    send(da, 0x2, b"\x02", fd=False)  # classic at 1 Mbit/s
    assert receive(da, 2) == [(0x1, 1), (0x2, 1)] and receive(world(b), 2) == [(0x1, 0), (0x2, 0)]
    assert receive(world(classic), 2) == [(0x2, 0)]
    assert nothing_arrives(world(slow))
    assert counters(vad, slow, "rx_errors", "rx_error_counter", "bus_frames") == [2, 16, 0]
    assert counters(vad, classic, "rx_errors", "rx_error_counter", "bus_frames") == [1, 7, 1]
    assert counters(vad, b, "rx_errors", "rx_error_counter") == [0, 0]
    # Nobody else runs at 500 kbit/s: the slow node's frame is not acknowledged until one does.
    send(world(slow), 0x3, fd=False)
    assert nothing_arrives(da) and counters(vad, slow, "tx_ack_errors", "tx_sent") == [1, 0]
    other_slow = vad.plug("bt", scope + "capture=1;nominal=500k")
    assert receive(world(other_slow), 1) == [(0x3, 0)] and nothing_arrives(da)
    assert counters(vad, slow, "tx_sent", "rx_errors") == [1, 2]


def test_a_lone_adapters_generator_acknowledges_its_frames(vad, world, scope):
    # The nodes a generator stands for are on the bus and follow their adapter's timing.
    a = vad.plug("gen-ack", scope + "capture=1")
    vad.generator("1,dlc=0,id=0x7FF", adapter=a)  # one frame a second: idle most of the time
    da = world(a)
    receive(da, 1)
    send(da, 0x10)
    assert receive(da, 1) == [(0x10, 1)] and vad.counter("tx_ack_errors", a) == 0


def test_plugging_and_unplugging_leaves_nothing_behind(vad, scope):
    usb_raw = Libusb()
    vad.configure("adapters=1")
    for _ in range(500):
        a = vad.plug("cycle", scope + "capture=1")
        handle = usb_raw.open(*usb_raw.device_locations()[-1])
        usb_raw.bulk(handle, 0x01, 24 * b"\x00", timeout=10)
        usb_raw.close(handle)
        vad.unplug(adapter=a)
    assert vad.adapter_count() == 2 and len(usb_raw.device_locations()) == 1
    assert vad.can_buses() == {}


def test_logs_keep_the_latest_entries_only(vad):
    vad.configure("adapters=1;logs=256")
    usb_raw = Libusb()
    handle = usb_raw.open(*usb_raw.device_locations()[0])
    for i in range(1000):
        usb_raw.bulk(handle, 0x01, i.to_bytes(4, "little"), timeout=10)
    usb_raw.close(handle)
    kept = vad.heartbeats()
    assert vad.log_total(1) == 1000 and kept == [i.to_bytes(4, "little") for i in range(1000 - len(kept), 1000)]
    assert 0 < len(kept) <= 256
