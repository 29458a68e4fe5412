"""libusb's asynchronous interface on the virtual adapter: transfers complete from the bus model
when their data is there, event handling sleeps on a real event source, cancellation, time-outs
and the interrupt behave as libusb documents."""
import os
import select
import struct
import threading
import time

import pytest

from libusb_raw import (CANCELLED, COMPLETED, ERROR_BUSY, ERROR_NO_DEVICE, ERROR_NOT_FOUND, NO_DEVICE, TIMED_OUT,
                        TYPE_CONTROL, AsyncTransfers, Libusb)
from vadapter import HEARTBEAT, VirtualAdapter, command_frame, library_path, parse_container, tx_record

LIB = library_path()
pytestmark = pytest.mark.skipif(not LIB.exists(), reason=f"virtual adapter not built: {LIB}")

READ = 51200


@pytest.fixture(scope="module")
def usb():
    return Libusb()


@pytest.fixture(scope="module")
def vad(usb):
    return VirtualAdapter()


@pytest.fixture
def rig(vad, usb):
    """rig(config) -> AsyncTransfers on adapter 0 of a fresh model; everything is cleaned up after."""
    made = []

    def make(config=""):
        vad.configure(config)
        handle = usb.open(1, 2)
        a = AsyncTransfers(usb, handle)
        made.append(a)
        return a

    yield make
    for a in made:
        a.finish()
        usb.close(a.handle)


def frames_in(done):
    return [r for _, status, data in done if status == COMPLETED and data for r in parse_container(data)]


def readable(fd, seconds):
    return bool(select.select([fd], [], [], seconds)[0])


def engine_switches():
    """Context switches of the library's transfer thread so far (0 before it exists)."""
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/comm") as f:
            if f.read().strip() == "vadapter-usb":
                with open(f"/proc/self/task/{tid}/status") as s:
                    return sum(int(line.split()[1]) for line in s if "ctxt_switches" in line)
    return 0


def test_idle_in_transfers_wait_for_frames_in_submission_order(rig, vad, usb):
    a = rig("capture=1")
    (fd, events), = usb.pollfds()
    assert events == select.POLLIN and usb.lib.libusb_pollfds_handle_timeouts(None) == 1
    for n in range(4):
        a.submit(f"in{n}", 0x81, READ)
    time.sleep(0.05)  # the library's transfer thread takes them up
    t0, switches = time.monotonic(), engine_switches()
    assert usb.handle_events(0.2) == 0 and a.done == []      # an idle bus completes nothing ...
    assert time.monotonic() - t0 >= 0.19                      # ... and event handling really waits
    assert not readable(fd, 0) and engine_switches() == switches  # nobody woke up meanwhile
    vad.bus_frame(0x111, b"\x01")
    assert readable(fd, 1.0)
    a.wait(1)
    assert not readable(fd, 0)
    for n, can_id in enumerate((0x222, 0x333), start=2):
        vad.bus_frame(can_id)
        a.wait(n)
    assert [name for name, _, _ in a.done] == ["in0", "in1", "in2"]
    assert [[r.id for r in parse_container(data)] for _, _, data in a.done] == [[0x111], [0x222], [0x333]]


def test_generator_traffic_fills_transfers_in_order_without_loss(rig, vad):
    a = rig("capture=1;gen=saturate,dlc=8,count=5000")
    transfers = [a.submit(f"in{n}", 0x81, READ) for n in range(8)]
    order = []
    while len(frames_in(a.done)) < 5000:
        before = len(a.done)
        a.wait(before + 1)
        assert len(a.done) > before, "stalled"
        for name, status, _ in a.done[before:]:
            assert status == COMPLETED
            order.append(int(name[2:]))
            a.resubmit(transfers[order[-1]])
    assert order == [n % 8 for n in range(len(order))]  # completions come in submission order
    seqs = [r.seq for r in frames_in(a.done)]
    assert seqs == list(range(5000))
    assert vad.counter("rx_overflow") == 0


@pytest.mark.parametrize("endpoint, timeout_ms, cancel, status", [
    (0x81, 0, True, CANCELLED),     # an idle reception waits until cancelled
    (0x82, 0, True, CANCELLED),     # so does an acknowledgement nobody asked for
    (0x81, 40, False, TIMED_OUT),   # or until its own time-out
    (0x82, 40, False, TIMED_OUT),
])
def test_cancel_and_timeout_end_waiting_transfers(rig, vad, endpoint, timeout_ms, cancel, status):
    a = rig("capture=1")
    start = time.monotonic()
    t = a.submit("x", endpoint, 2048, timeout_ms)
    if cancel:
        assert a.cancel(t) == 0 and a.cancel(t) == ERROR_NOT_FOUND  # a second cancel finds nothing
    else:
        assert a.resubmit(t) == ERROR_BUSY                           # still in flight
    a.wait(1)
    assert [(s, d) for _, s, d in a.done] == [(status, b"")]
    if not cancel:
        assert time.monotonic() - start >= 0.038
        assert vad.counter("read_timeouts") == 1
    assert a.cancel(t) == ERROR_NOT_FOUND                            # finished: nothing to cancel


def test_waiting_transfer_behind_the_head_times_out_on_its_own(rig, vad):
    a = rig("capture=1")
    a.submit("head", 0x81, READ)
    a.submit("short", 0x81, READ, timeout_ms=30)
    a.wait(1)
    assert [(n, s) for n, s, _ in a.done] == [("short", TIMED_OUT)]
    vad.bus_frame(0x5)
    a.wait(2)
    assert a.done[1][:2] == ("head", COMPLETED)


def test_out_transfers_and_their_replies(rig, vad):
    a = rig("capture=1")
    a.submit("beat", 0x01, HEARTBEAT)
    a.submit("hello", 0x02, command_frame(6))
    a.submit("ack", 0x82, 2048)
    a.submit("frame", 0x03, tx_record(0x42, b"\x07"))
    a.submit("echo", 0x81, READ)
    a.submit("device", 0x00, bytes.fromhex("8006000100001200") + bytes(18), kind=TYPE_CONTROL)
    a.wait(6)
    got = {name: (status, data) for name, status, data in a.done}
    assert all(status == COMPLETED for status, _ in got.values())
    assert got["ack"][1] == bytes.fromhex("A506000400") + b"\x01\x02\x03\x04" + got["ack"][1][9:]
    assert [(r.id, r.dir) for r in parse_container(got["echo"][1])] == [(0x42, 1)]
    assert struct.unpack_from("<HH", got["device"][1], 8) == (0x34B7, 0x6877)
    c = vad.counters()
    assert (c["heartbeats"], c["commands"], c["tx_records"]) == (1, 1, 1)


def test_write_waits_for_room_on_the_bus_or_times_out(rig, vad):
    a = rig("txbuf=1;nominal=1k")  # 47 ms per classic frame
    start = time.monotonic()
    a.submit("first", 0x03, tx_record(1, fd=False))
    a.submit("second", 0x03, tx_record(2, fd=False), 10)  # no room on the bus within 10 ms
    a.submit("third", 0x03, tx_record(3, fd=False))       # room once the first has left
    a.wait(3)
    assert [(n, s) for n, s, _ in a.done] == [("first", COMPLETED), ("second", TIMED_OUT), ("third", COMPLETED)]
    assert time.monotonic() - start >= 0.04
    assert (vad.counter("tx_records"), vad.counter("tx_queue_full")) == (2, 1)


def test_unplug_ends_transfers_with_no_device_and_refuses_new_ones(rig, vad, usb):
    a = rig("capture=1")
    a.submit("in", 0x81, READ)
    vad.unplug()
    a.wait(1)
    assert a.done[0][:2] == ("in", NO_DEVICE)
    t = a.prepare("late", 0x81, READ)
    assert usb.lib.libusb_submit_transfer(t) == ERROR_NO_DEVICE


def test_interrupt_wakes_a_blocked_handler_and_callbacks_run_on_it(rig, vad, usb):
    a = rig("capture=1")
    a.submit("in", 0x81, READ)
    returned = []

    def handler():
        usb.handle_events(5.0)
        returned.append((time.monotonic(), threading.get_ident()))

    th = threading.Thread(target=handler)
    th.start()
    time.sleep(0.05)
    t0 = time.monotonic()
    usb.lib.libusb_interrupt_event_handler(None)
    th.join(2)
    assert returned and returned[0][0] - t0 < 0.5 and a.done == []
    # A second thread waiting while the first handles events: the callback runs on the handler,
    # and the waiter is released when the handler finishes.
    threads = [threading.Thread(target=handler) for _ in range(2)]
    for th in threads:
        th.start()
    time.sleep(0.05)
    vad.bus_frame(0x77)
    for th in threads:
        th.join(2)
    assert len(returned) == 3 and [n for n, _, _ in a.done] == ["in"]
    assert a.threads <= {ident for _, ident in returned[1:]} and len(a.threads) == 1


@pytest.mark.parametrize("other_thread", [True, False])
def test_a_synchronous_transfer_wakes_the_thread_handling_events(rig, vad, usb, other_thread):
    """libusb completes synchronous transfers through event handling too: a thread handling events
    at that moment wakes for another thread's synchronous write (a heartbeat, say) and finds nothing
    of its own; its own synchronous transfers (done while it is not handling events) do not."""
    a = rig("capture=1")
    a.submit("in", 0x81, READ)
    handle = usb.open(1, 2)
    returned = []

    def handler():
        returned.append(usb.handle_events(5.0))

    try:
        th = threading.Thread(target=handler)
        th.start()
        time.sleep(0.05)
        t0 = time.monotonic()
        if other_thread:
            assert usb.bulk(handle, 0x01, HEARTBEAT)[0] == 0
        th.join(0.5 if other_thread else 0.3)
        if other_thread:
            assert returned == [0] and time.monotonic() - t0 < 0.5 and a.done == []
            assert usb.handle_events(0.05) == 0 and a.done == []  # nothing was left over
        else:
            assert returned == [] and th.is_alive()
            usb.lib.libusb_interrupt_event_handler(None)
            th.join(2)
        assert usb.bulk(handle, 0x01, HEARTBEAT)[0] == 0  # nobody handles events: no wake-up is left
        fd, _ = usb.pollfds()[0]
        assert not readable(fd, 0)
    finally:
        usb.close(handle)


def test_closing_the_handle_drops_its_transfers_silently(rig, vad, usb):
    a = rig("capture=1")
    a.submit("in", 0x81, READ)
    usb.close(a.handle)
    vad.bus_frame(0x1)
    assert usb.handle_events(0.05) == 0 and a.done == []
    a.in_flight.clear()        # gone with the handle: nothing left to cancel
    a.handle = usb.open(1, 2)  # for the clean-up


def test_sync_reads_alongside_pending_async_transfers(rig, vad, usb):
    a = rig("capture=1")
    a.submit("ack", 0x82, 2048)
    handle = usb.open(1, 2)
    try:
        assert usb.bulk(handle, 0x03, tx_record(0x9))[0] == 0
        rc, data = usb.bulk(handle, 0x81, READ)
        assert rc == 0 and [r.id for r in parse_container(data)] == [0x9]
        assert usb.bulk(handle, 0x02, command_frame(0)) == (0, 7)
    finally:
        usb.close(handle)
    a.wait(1)
    assert a.done[0][:2] == ("ack", COMPLETED)
