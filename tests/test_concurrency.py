"""fdhost objects under concurrent use over the virtual adapter: callbacks that are slow, raise,
replace themselves or send; close() racing with callbacks and with a sending thread; two adapters
at once. Nothing may deadlock (every join has a time-out) and delivered frames keep their order."""
import threading
import time

import pytest

from host_rig import SERIAL, SERIAL_1, Sequencer, claim_from_outside, missing_runs, rig, vad, wait_until  # noqa: F401
from vadapter import head_seq


def increasing(seqs):
    return all(a < b for a, b in zip(seqs, seqs[1:]))


def tx_payloads(rig, adapter=0):
    """(identifier, first four data bytes as a number) of each transmit record the adapter received."""
    return [(int.from_bytes(r[20:24], "little"), int.from_bytes(r[24:28], "little"))
            for r in rig.vad.tx_records(adapter)]


def test_close_while_a_slow_callback_runs(rig):
    rig.configure("gen=40,dlc=8,fd=1")  # one frame every 25 ms, each held 20 ms by the callback
    h = rig.construct()
    inside, active, most, got = threading.Event(), [0], [0], []

    def slow(value):
        active[0] += 1
        most[0] = max(most[0], active[0])
        got.append(value.head.reserve)
        inside.set()
        time.sleep(0.02)  # the reader is held here, with the object's lock taken
        active[0] -= 1

    h.setFrameCallback(slow)
    assert wait_until(lambda: len(got) >= 5)
    inside.clear()
    assert inside.wait(2)
    assert rig.close(h) >= 0.01  # waited for the callback under way
    delivered = len(got)
    time.sleep(0.05)
    assert len(got) == delivered and active[0] == 0  # nothing runs once close() has returned
    assert most[0] == 1  # callbacks never overlap
    seqs = [head_seq(r) for r in got]
    assert increasing(seqs) and missing_runs(seqs, seqs[0], seqs[-1]) == []
    claim_from_outside(SERIAL)


def test_callback_that_raises_is_reported_and_the_reader_goes_on(rig):
    rig.configure("gen=8000,dlc=8,fd=1")
    h = rig.construct()
    got, raised = Sequencer(), []

    def callback(value):
        got(value)
        if len(got.seqs) in (100, 300, 301):
            raised.append(got.seqs[-1])
            raise ValueError(f"refused frame {got.seqs[-1]}")

    rig.output.reset()
    h.setFrameCallback(callback)
    assert wait_until(lambda: len(got.seqs) >= 1000)
    h.setFrameCallback(None)
    assert rig.output.lines() == [f"[Error] unpack_can_frame Call failed: refused frame {s}" for s in raised]
    assert increasing(got.seqs)
    # Only the rest of the container a raising callback was called from is dropped.
    for start, length in missing_runs(got.seqs, got.seqs[0], got.seqs[-1]):
        assert start - 1 in raised, (start, length, raised)
    assert h.rec_thread.is_alive()
    rig.close(h)


@pytest.mark.parametrize("replace_with", ["another callback", None])
def test_callback_that_replaces_the_callback(rig, replace_with):
    # Containers of ~20 frames: the replacement takes effect inside the container being delivered.
    rig.configure("flush_us=1000;gen=saturate,dlc=8,fd=1")
    h = rig.construct()
    first, second = Sequencer(), Sequencer()

    def switching(value):
        first(value)
        if len(first.seqs) == 210:
            h.setFrameCallback(second if replace_with else replace_with)

    h.setFrameCallback(switching)
    if replace_with:
        assert wait_until(lambda: len(second.seqs) >= 1000)
        assert second.seqs[0] == first.seqs[-1] + 1  # nothing lost or repeated at the switch
        assert increasing(second.seqs) and missing_runs(second.seqs, second.seqs[0], second.seqs[-1]) == []
    else:
        assert wait_until(lambda: len(first.seqs) >= 210)
        time.sleep(0.05)
    assert len(first.seqs) == 210
    assert increasing(first.seqs) and missing_runs(first.seqs, first.seqs[0], first.seqs[-1]) == []
    assert h.rec_thread.is_alive()
    rig.close(h)


def test_callback_that_sends_frames(rig):
    # Ping-pong in loopback: every frame that comes back makes the callback send the next one,
    # while another node's traffic arrives in between.
    rig.configure("loopback=1;logs=4096;gen=4000,id=0x300,dlc=8,fd=1")  # every transmit record kept
    h = rig.construct()
    pongs, others = [], Sequencer(can_id=0x300)

    def callback(value):
        if value.head.id != 0x123:
            return others(value)
        n = int.from_bytes(bytes(value.data[:4]), "little")
        pongs.append(n)
        if n < 300:
            h.fdcanFrameSend((n + 1).to_bytes(4, "little") * 2, 0x123)

    rig.output.reset()
    h.setFrameCallback(callback)
    h.fdcanFrameSend(bytes(8), 0x123)
    assert wait_until(lambda: len(pongs) > 300, seconds=5), len(pongs)
    assert pongs == list(range(301))
    assert tx_payloads(rig) == [(0x123, n) for n in range(301)]
    assert len(others.seqs) > 20 and increasing(others.seqs)
    assert missing_runs(others.seqs, others.seqs[0], others.seqs[-1]) == []
    assert rig.output.lines() == []
    rig.close(h)


def test_close_from_another_thread_while_sending(rig):
    rig.configure("logs=65536")  # every transmit record kept
    h = rig.construct()
    rig.output.reset()
    closed = []
    closer = threading.Timer(0.05, lambda: closed.append(h.close()))
    closer.start()
    sent, ended_by, deadline = 0, None, time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            h.fdcanFrameSend(sent.to_bytes(4, "little"), 0x55)
        except AttributeError as e:  # the adapter has been released: dev_handle is None
            ended_by = e
            break
        sent += 1
    closer.join(2)
    assert not closer.is_alive() and closed == [None]
    assert ended_by is not None and sent > 10
    assert not h.rec_thread.is_alive() and not h.rec_thread2.is_alive()
    # The frames that went out are the first ones sent, in order; at most the one in flight when
    # the adapter was released is missing at the end.
    got = tx_payloads(rig)
    assert got == [(0x55, n) for n in range(len(got))] and sent - 1 <= len(got) <= sent
    lines = rig.output.lines()
    assert lines[0] == "close  fdhos" and lines.count("**********USB Cleaned up**********") == 1
    assert all(not line.startswith("[Error]") or "Failed to send CAN command" in line for line in lines)
    claim_from_outside(SERIAL)


def test_two_adapters_open_at_once(rig):
    rig.configure("adapters=2;a0.gen=5000,id=0x100,dlc=8,fd=1;a1.gen=5000,id=0x200,dlc=15,fd=1")
    h0 = rig.construct(sn=SERIAL)
    h1 = rig.construct(sn=SERIAL_1)
    got0, got1 = Sequencer(can_id=0x100), Sequencer(can_id=0x200)
    h0.setFrameCallback(got0)
    h1.setFrameCallback(got1)
    h0.fdcanFrameSend(b"\x00" * 8, 0x10)
    h1.fdcanFrameSend(b"\x01" * 8, 0x11)
    assert wait_until(lambda: len(got0.seqs) >= 300 and len(got1.seqs) >= 300)
    assert tx_payloads(rig, 0) == [(0x10, 0)] and tx_payloads(rig, 1) == [(0x11, 0x01010101)]
    assert [c["setup_count"] for c in (rig.vad.counters(0), rig.vad.counters(1))] == [1, 1]

    # The first one closed, the second goes on receiving.
    rig.close(h0)
    delivered = len(got1.seqs)
    assert wait_until(lambda: len(got1.seqs) >= delivered + 300)
    assert h1.rec_thread.is_alive() and h1.rec_thread2.is_alive()
    rig.close(h1)

    for got in (got0, got1):
        assert got.others == []  # each object saw only its own adapter's traffic
        assert increasing(got.seqs) and missing_runs(got.seqs, got.seqs[0], got.seqs[-1]) == []
    assert got0.threads.isdisjoint(got1.threads)  # on their own reader threads
    claim_from_outside(SERIAL)
    claim_from_outside(SERIAL_1)
