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
