"""The reader's queued transfers on pyusb's own Device: every container in order at saturation, no
wake-up on an idle bus, a prompt stop however it is asked for, failures reported in exactly the
words of the polled reads, and a step back to Device.read when a guard stops holding."""
import array
import functools
import sys
import threading
import time

import pytest
import usb.core
import usb.util

from host_rig import (CLEANED_UP, SERIAL, Sequencer, claim_from_outside, fd, missing_runs, rig,  # noqa: F401
                      vad, wait_until)

READER_FAILED = "[Error] In get_data_thread,Usb_rec err, err_code="
pyusb_read = usb.core.Device.read


def polled(monkeypatch):
    """Device.read wrapped (as pyusb's call tracing would): the reader falls back to 1 ms reads."""
    calls = []

    @functools.wraps(pyusb_read)
    def noted_read(*args, **kwargs):
        calls.append(args[1])
        return pyusb_read(*args, **kwargs)
    monkeypatch.setattr(usb.core.Device, "read", noted_read)
    return calls


def context_switches(tid):
    with open(f"/proc/self/task/{tid}/status") as f:
        return sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)


def construct_queued(rig, monkeypatch):
    """An object whose reader waits on its queued transfers (its first read, pyusb's own, which
    looks the endpoint up, is over) and whose heartbeat pauses with the interpreter's own
    time.sleep (the rig shortens the constructor's pauses with a stand-in, which the heartbeat
    honours by sleeping through it)."""
    h = rig.construct()
    monkeypatch.setattr(fd, "time", time)
    ids = []
    h.setFrameCallback(lambda v: ids.append(v.head.id))
    rig.vad.bus_frame(0x7F0)
    assert wait_until(lambda: ids == [0x7F0])
    return h


def test_saturated_bus_delivers_every_frame_once_in_order(rig):
    rig.configure("gen=off")
    h = rig.construct()
    got = Sequencer(can_id=0x100)
    h.setFrameCallback(got)
    count = 30000
    rig.vad.generator(f"rate=60000,dlc=8,fd=1,id=0x100,count={count}")  # twice what the bus carries
    assert got.wait_for_seq(count - 1, seconds=10), len(got.seqs)
    c = rig.vad.counters()
    assert got.seqs == list(range(count)) and got.others == []
    assert c["read_timeouts"] == 0 and c["rx_overflow"] == 0
    assert got.threads == {h.rec_thread.ident}
    rig.close(h)
    assert rig.output.lines()[-4:] == ["close  fdhos"] + CLEANED_UP


def test_idle_bus_wakes_the_reader_only_for_the_heartbeat(rig, monkeypatch):
    h = construct_queued(rig, monkeypatch)
    time.sleep(0.05)
    c0, s0, b0 = rig.vad.counters(), context_switches(h.rec_thread.native_id), rig.vad.counter("heartbeats")
    time.sleep(0.5)
    c1, s1 = rig.vad.counters(), context_switches(h.rec_thread.native_id)
    beats = rig.vad.counter("heartbeats") - b0
    assert c1["read_timeouts"] == c0["read_timeouts"] and c1["transfers"] - c0["transfers"] < 70  # heartbeats only
    assert 40 <= beats <= 55  # still one every 10 ms
    # The heartbeat's synchronous write is completed by the thread handling events, the reader, as
    # libusb does it: about one wake-up per heartbeat, and nothing else.
    assert s1 - s0 <= 2 * beats + 2, (s1 - s0, beats)
    # The same idle second on the polled path: a read time-out every millisecond.
    calls = polled(monkeypatch)
    rig.vad.bus_frame(0x11)  # wakes the reader, which then steps back
    assert wait_until(lambda: len(calls) > 100)
    assert rig.vad.counter("read_timeouts") > c1["read_timeouts"] + 50
    rig.close(h)


def stop_by_close(rig, h):
    h.close()


def stop_by_event(rig, h):
    h.stop_thread.set()


def stop_by_replaced_event(rig, h):
    h.stop_thread = threading.Event()  # the reader waits on the event it armed; close wakes it anyway
    h.close()


def clear_from_another_thread(rig, h):
    t = threading.Thread(target=h.usb_clear)
    t.start()
    t.join()


@pytest.mark.parametrize("stop", [stop_by_close, stop_by_event, stop_by_replaced_event, clear_from_another_thread])
@pytest.mark.parametrize("traffic", [False, True], ids=["idle", "saturated"])
def test_stop_is_prompt_and_leaves_the_adapter_free(rig, monkeypatch, stop, traffic):
    h = construct_queued(rig, monkeypatch)
    got = Sequencer()
    h.setFrameCallback(got)
    if traffic:
        rig.vad.generator("saturate,dlc=8,fd=1")
        assert wait_until(lambda: len(got.seqs) > 1000)
    rig.output.reset()
    start = time.monotonic()
    stop(rig, h)
    h.rec_thread.join(1)
    took = time.monotonic() - start
    assert not h.rec_thread.is_alive()
    assert took < 0.05, f"{took * 1000:.1f} ms"
    if stop is stop_by_event:
        h.rec_thread2.join(1)
        assert not h.rec_thread2.is_alive()
        h.usb_clear()
    elif stop is clear_from_another_thread:
        h.close()
    assert h.dev_handle is None
    lines = rig.output.lines()
    assert not any(line.startswith("[Error]") or "Transmission Error" in line for line in lines), lines
    assert lines.count(CLEANED_UP[1]) == 1
    assert all(a < b for a, b in zip(got.seqs, got.seqs[1:]))
    claim_from_outside(SERIAL)  # released, nothing left queued on it


FAULTS = [
    ("stall,ep=0x81", f"{READER_FAILED}32, failed: [[Errno 32] Pipe error]"),
    ("halt,ep=0x81", f"{READER_FAILED}32, failed: [[Errno 32] Pipe error]"),
    ("unplug", f"{READER_FAILED}19, failed: [[Errno 19] No such device (it may have been disconnected)]"),
]


@pytest.mark.parametrize("fault, line", FAULTS, ids=[f[0] for f in FAULTS])
@pytest.mark.parametrize("path", ["queued", "polled"])
def test_failures_read_as_on_the_polled_path(rig, monkeypatch, fault, line, path):
    if path == "polled":
        polled(monkeypatch)
    h, got = rig.streaming("gen=rate=2000,dlc=8,fd=1", 50)
    if fault == "unplug":
        rig.vad.unplug()
    else:
        rig.vad.fault(fault)
    rig.workers_end(h)
    lines = rig.output.lines()
    errors = [i for i, text in enumerate(lines) if text.startswith("[Error]")]
    assert [lines[i] for i in errors] == [line], lines
    assert lines[errors[0] + 1:errors[0] + 4] == CLEANED_UP
    assert all(a < b for a, b in zip(got.seqs, got.seqs[1:]))
    assert h.dev_handle is None
    rig.close(h)


@pytest.mark.parametrize("change", ["Device.read wrapped", "stop_thread replaced by another kind of event"])
def test_guard_change_mid_run_steps_back_without_losing_a_frame(rig, monkeypatch, change):
    rig.configure("gen=off")
    h = rig.construct()
    got = Sequencer(can_id=0x100)
    h.setFrameCallback(got)
    rig.vad.generator("rate=5000,dlc=8,fd=1,id=0x100,count=6000")
    assert wait_until(lambda: len(got.seqs) > 1000)
    timeouts = rig.vad.counter("read_timeouts")
    if change == "Device.read wrapped":
        calls = polled(monkeypatch)
        assert wait_until(lambda: len(calls) > 100)
    else:
        h.stop_thread = type("Stop", (threading.Event,), {})()
        assert wait_until(lambda: rig.vad.counter("read_timeouts") > timeouts + 50)
    assert got.wait_for_seq(5999, seconds=5)
    assert got.seqs == list(range(6000))
    rig.close(h)
    assert not any(line.startswith("[Error]") for line in rig.output.lines())


def test_guard_restored_returns_to_queued_reads(rig, monkeypatch):
    h = rig.construct()
    calls = polled(monkeypatch)
    rig.vad.bus_frame(0x10)
    assert wait_until(lambda: len(calls) > 20)
    monkeypatch.undo()
    monkeypatch.setattr(fd, "time", time)
    time.sleep(0.01)
    n, timeouts = len(calls), rig.vad.counter("read_timeouts")
    time.sleep(0.1)
    assert len(calls) == n and rig.vad.counter("read_timeouts") <= timeouts + 1
    rig.close(h)


def test_subclass_unpack_usb_frame_gets_containers_as_pyusb_reads_them(rig):
    class Noting(fd.fdhost):
        def __init__(self, *args):
            self.containers = []
            super().__init__(*args)

        def unpack_usb_frame(self, pdat, length):
            self.containers.append((pdat, length))
            return super().unpack_usb_frame(pdat, length)

    h = Noting(1000000, 5000000, SERIAL)
    rig.hosts.append(h)
    ids = []
    h.setFrameCallback(lambda v: ids.append(v.head.id))
    rig.vad.bus_frame(0x55, b"\x01\x02")
    assert wait_until(lambda: 0x55 in ids)
    pdat, length = h.containers[-1]
    assert type(pdat) is array.array and pdat.typecode == "B" and length == len(pdat)
    assert pdat[0] == 0xA5 and pdat[-1] == 0x5A
    rig.close(h)


@pytest.mark.parametrize("kind, line, lost", [
    ("rx_start", "[Error] In unpack_usb_frame,Frame format error, start = 0xA4, end = 0x5A", None),
    ("rx_crc", "In unpack_can_frame,CRC check failed", None),
    ("rx_cut", None, 1),  # the records before the cut one are queued
])
def test_receive_queue_batch_with_a_damaged_container_then_closed(rig, kind, line, lost):
    """A taker blocked on an idle bus is woken by the first frame; one wake-up's batch holding a
    damaged container: every frame before it is in the queue when its line is printed and none
    after, in order with one gap; closing amid the traffic ends the queue's takers promptly."""
    rig.configure("flush_us=1000;gen=off")
    frames, queued_at_line = [], []

    def take():
        while (item := h.recv_message(0)) is not None:
            frames.append(int.from_bytes(item[9][:3], "little"))

    def sink(text, to_stderr):  # called on the reader thread, as it delivers the damaged container
        if text == line:
            take()
            queued_at_line.append(len(frames))

    h = fd.fdhost(1000000, 5000000, SERIAL, line_sink=sink, settle=False, receive_queue=1 << 16)
    rig.hosts.append(h)
    time.sleep(0.1)  # the reader waits on its queued transfers
    waited = 0.0
    for _ in range(10):  # a taker that missed its wake-up would still look every 0.1 s: ~0.5 s in all
        sent = []
        threading.Timer(0.01, lambda: (sent.append(time.monotonic()), rig.vad.bus_frame(0x7F0))).start()
        assert h.recv_message(5.0)[1] == 0x7F0
        waited += time.monotonic() - sent[0]
    assert waited < 0.15
    rig.vad.generator("saturate,dlc=8,fd=1")
    assert wait_until(lambda: h.recv_message(0.1) is not None)
    take()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    try:
        rig.vad.fault(kind)
        # The reader cannot take the interpreter lock meanwhile: its next wake-up hands over a batch.
        until = time.perf_counter() + 0.02
        while time.perf_counter() < until:
            pass
    finally:
        sys.setswitchinterval(interval)
    def gap_taken():  # the damaged container can sit behind a backlog built before the fault
        take()
        return len(frames) > 4000 and rig.vad.counter("faults_fired") == 1 and \
            bool(missing_runs(frames, frames[0], frames[-1]))

    assert wait_until(gap_taken, seconds=10, step=0.02)

    assert all(a < b for a, b in zip(frames, frames[1:])), "order"
    runs = missing_runs(frames, frames[0], frames[-1])
    assert len(runs) == 1 and (runs[0][1] == lost if lost else runs[0][1] >= 2), runs
    if line:
        assert queued_at_line == [frames.index(runs[0][0] + runs[0][1])]  # all before the gap, none after
    assert rig.vad.counter("faults_fired") == 1

    closer = threading.Thread(target=h.close)
    closer.start()
    ended = time.monotonic() + 5
    with pytest.raises(OSError):
        while time.monotonic() < ended:
            h.recv_message(1.0)
    closer.join(5)
    assert not closer.is_alive()
