"""Members of a shared virtual CAN bus that stop, die or fall behind: nobody else waits for them,
no other member loses a frame for it, and what a member misses itself is counted."""
import collections
import os
import random
import signal
import time

import pytest

from vadapter import VirtualAdapter, library_path
from vbus_processes import namespace, spawn  # noqa: F401 - fixtures

LIB = library_path()
pytestmark = pytest.mark.skipif(not LIB.exists(), reason=f"virtual adapter not built: {LIB}")

# Each stop lands at a random moment of the victim's work; CI stops it more often.
STOPS = 100 if os.environ.get("CI") == "true" else 20
KILLS = 60 if os.environ.get("CI") == "true" else 15
LIVENESS_S = 2.0  # an operation taking longer than this waits for the stopped member


def now_us():
    return time.monotonic_ns() // 1000  # CLOCK_MONOTONIC, the clock of the records' time stamps


@pytest.fixture(scope="module")
def vad():
    return VirtualAdapter()


def test_a_stopped_member_holds_nobody_up(spawn, capsys):
    receiver = spawn("stop")
    other = spawn("stop")                  # sends all the time, starved while the victim saturates
    victim = spawn("stop")                 # saturates the bus with the lowest identifier but one
    sender = spawn("stop", "capture=0")    # sends one frame that wins arbitration, each round
    newcomer = spawn()                     # plugs a new adapter each round, as a new dump or Bus does
    lister = spawn()                       # lists the buses, as `fdhost-can list` does
    other.call("stream", id=0x200)
    victim.call("stream", id=0x100)
    assert receiver.call("first_after", id=0x100, after_us=now_us())["at_us"]
    rng = random.Random(20)
    worst = collections.defaultdict(float)

    def timed(what, op):
        t0 = time.monotonic()
        assert op(), what
        worst[what] = max(worst[what], time.monotonic() - t0)

    def sent_one():
        before = sender.call("counters", wait=LIVENESS_S)["counters"]["tx_sent"]
        sender.call("send", wait=LIVENESS_S, id=0x050)
        end = time.monotonic() + LIVENESS_S
        while sender.call("counters", wait=LIVENESS_S)["counters"]["tx_sent"] == before:
            assert time.monotonic() < end, "the frame never reached the bus"
        return True

    def joined_and_heard():
        newcomer.call("plug", wait=LIVENESS_S, bus="stop", config="capture=1")
        heard = newcomer.call("recv", wait=LIVENESS_S, count=1, timeout=LIVENESS_S)["frames"]
        newcomer.call("unplug", wait=LIVENESS_S)
        return heard

    for _ in range(STOPS):
        time.sleep(rng.uniform(0, 0.02))
        os.kill(victim.pid, signal.SIGSTOP)
        stopped = now_us()
        try:
            timed("list", lambda: lister.call("buses", wait=LIVENESS_S)["buses"].get("stop") == 4)
            timed("send", sent_one)
            timed("a new member", joined_and_heard)
            flowing = receiver.call("first_after", wait=LIVENESS_S + 1, id=0x200, after_us=stopped)["at_us"]
            assert flowing, "the others' frames stopped with the victim"
            worst["others' frames on the bus"] = max(worst["others' frames on the bus"], (flowing - stopped) / 1e6)
        finally:
            os.kill(victim.pid, signal.SIGCONT)
        resumed = now_us()
        assert receiver.call("first_after", id=0x100, after_us=resumed)["at_us"], "the victim did not go on"
    with capsys.disabled():
        print(f"\n{STOPS} stops, worst waits: " + ", ".join(f"{k} {v * 1000:.1f} ms" for k, v in worst.items()))


def test_a_member_that_falls_behind_counts_every_frame_it_missed(spawn, capsys):
    # The bus keeps the latest frames for members that fall behind; a process stopped for longer
    # than that loses the older ones. Received and counted as lost, they add up to what the bus carried.
    sender, late = spawn("lag"), spawn("lag")
    total = 60_000  # about 2.8 s of the bus
    sender.call("gen", settings=f"saturate,dlc=0,count={total}")
    sender.start("collect", id=0x100, seconds=3.5)  # the sender keeps looking, so the bus runs
    time.sleep(0.3)
    os.kill(late.pid, signal.SIGSTOP)
    try:
        time.sleep(1.5)
    finally:
        os.kill(late.pid, signal.SIGCONT)
    got = late.call("collect", wait=20, id=0x100, seconds=3.0)["frames"]
    assert sender.result()["frames"] == total
    counters = late.call("counters")["counters"]
    assert counters["rx_overflow"] > 10_000 and counters["bus_frames"] == got
    assert got + counters["rx_overflow"] == total
    with capsys.disabled():
        print(f"\nstopped 1.5 s: {got} frames received + {counters['rx_overflow']} counted as missed = {total} carried")


def test_a_members_death_costs_no_other_member_a_frame(spawn, capsys):
    sender, receiver = spawn("deaths"), spawn("deaths")
    sender.call("stream", id=0x100)
    receiver.call("watch", id=0x100)
    rng = random.Random(7)
    for _ in range(KILLS // 15):
        victims = [spawn("deaths") for _ in range(15)]
        for v in victims:
            v.call("stream", id=0x300)  # they carry frames all the time, and die in the middle of it
        for v in victims:
            time.sleep(rng.uniform(0.02, 0.1))
            v.kill()
    seen = receiver.call("watched")["counters"]
    missing = seen[-1] - seen[0] + 1 - len(seen)
    with capsys.disabled():
        print(f"\n{KILLS // 15 * 15} members killed: {missing} of {len(seen) + missing} frames of a live sender missing")
    assert len(seen) > 10_000 and missing == 0 and seen == sorted(seen)
