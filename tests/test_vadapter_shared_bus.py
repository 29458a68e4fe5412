"""Virtual CAN buses shared between processes: each process (tests/vbus_member.py) loads the virtual
adapter through the ctypes client and plugs an adapter onto a named bus."""
import os
import signal
import time

import pytest

from vadapter import VadError, VirtualAdapter, library_path, shared_bus_segment
from vbus_processes import gone, namespace, spawn  # noqa: F401 - fixtures

LIB = library_path()
pytestmark = pytest.mark.skipif(not LIB.exists(), reason=f"virtual adapter not built: {LIB}")


@pytest.fixture(scope="module")
def vad():
    return VirtualAdapter()


def test_processes_on_one_bus_hear_each_other_and_nobody_else(vad, spawn, namespace):
    a, b = spawn("demo"), spawn("demo")
    elsewhere = [spawn("other"), spawn("demo", "capture=1;canbus_local=1"),
                 spawn("demo", env={**os.environ, "FDHOST_VADAPTER_NAMESPACE": namespace + "-x"})]
    assert vad.can_buses() == {"demo": 2, "other": 1}
    a.call("send", id=0x123, data="deadbeef")
    (at_b,), (at_a,) = b.call("recv", count=1)["frames"], a.call("recv", count=1)["frames"]
    assert (at_b[0], at_b[1], at_b[3]) == (0x123, 0, "deadbeef") and (at_a[0], at_a[1]) == (0x123, 1)
    assert at_a[2] == at_b[2]  # one bus clock: both stamp the moment the frame left the bus
    b.call("send", id=0x456, data="01", fd=False)
    assert a.frames(1) == [(0x456, 0, "01")] and b.frames(1) == [(0x456, 1, "01")]
    for p in elsewhere:
        assert p.heard() == []
        p.call("send", id=0x7, data="")
    assert a.heard() == [] and b.heard() == []


def test_arbitration_between_processes_orders_by_identifier(spawn):
    # 1 kbit/s: an empty classic frame takes 47 ms, time enough to queue frames behind it.
    a, b = spawn("slow", "capture=1;nominal=1k"), spawn("slow", "capture=1;nominal=1k")
    a.call("send", id=0x300, fd=False)
    a.call("send", id=0x200, fd=False)  # queued first ...
    b.call("send", id=0x100, fd=False)  # ... but the lower identifier wins once the bus is free
    got = b.call("recv", count=3, timeout=1.0)["frames"]
    assert [(i, d) for i, d, _, _ in got] == [(0x300, 0), (0x100, 1), (0x200, 0)]
    stamps = [ts for _, _, ts, _ in got]
    assert [s - t for t, s in zip(stamps, stamps[1:])] == [pytest.approx(47_000, abs=2)] * 2  # back to back
    assert [(i, d) for i, d, _, _ in a.call("recv", count=3)["frames"]] == [(0x300, 1), (0x100, 0), (0x200, 1)]


@pytest.mark.parametrize("victim", ["plain", "with a forked child"])
def test_killed_member_leaves_the_bus_working(vad, spawn, victim):
    a, v = spawn("k"), spawn("k")
    v.call("gen", settings="2000,dlc=1,id=0x101")
    v.call("stream", id=0x500)  # it carries frames all the time: it dies in the middle of that
    assert {f[0] for f in a.call("recv", count=50)["frames"]} == {0x101, 0x500}
    child = v.call("fork")["pid"] if victim == "with a forked child" else None  # it must not keep v alive
    v.kill()
    time.sleep(0.3)  # the survivor finds out by itself
    a.heard(0.05)
    assert a.heard() == []  # neither the victim's queue nor its generator go on
    newcomer = spawn("k")
    assert vad.can_buses() == {"k": 2}
    a.call("send", id=0x10, data="aa")
    assert a.frames(1) == [(0x10, 1, "aa")] and newcomer.frames(1) == [(0x10, 0, "aa")]
    newcomer.call("send", id=0x20, data="bb")
    a.call("send", id=0x21, data="cc")
    assert a.frames(2) == [(0x20, 0, "bb"), (0x21, 1, "cc")]
    assert newcomer.frames(2) == [(0x20, 1, "bb"), (0x21, 0, "cc")]
    if child:
        os.kill(child, signal.SIGKILL)


@pytest.mark.parametrize("leave", ["unplug", "configure", "exit"])
def test_bus_disappears_when_its_last_member_leaves(spawn, leave):
    a, b = spawn("g"), spawn("g")
    segment = shared_bus_segment("g")
    assert segment.exists() and oct(segment.stat().st_mode & 0o777) == "0o600"

    def go(p):
        if leave == "unplug":
            p.call("unplug")
        elif leave == "configure":
            p.call("configure", config="adapters=1")
        else:
            p.exit()

    go(a)
    time.sleep(0.05)
    assert segment.exists()
    b.call("send", id=0x1)  # alone on the bus now: nobody acknowledges it
    assert b.frames(1, timeout=0.2) == [] and b.call("counters")["counters"]["tx_ack_errors"] == 1
    go(b)
    assert gone(segment)


def test_bus_whose_members_all_died_is_taken_over(vad, spawn):
    a = spawn("stale")
    a.call("gen", settings="saturate,dlc=0")
    a.kill()
    segment = shared_bus_segment("stale")
    assert segment.exists()
    b, c = spawn("stale"), spawn("stale")  # find the dead member's segment and carry on with it
    assert b.heard() == []  # the dead member's generator went with it
    b.call("send", id=0x3)
    assert b.frames(1) == [(0x3, 1, "")] and c.frames(1) == [(0x3, 0, "")]
    b.kill()
    c.kill()
    assert vad.can_buses() == {} and gone(segment, 0)  # listing removes what nobody can use any more


def test_member_that_fell_behind_counts_what_it_missed(spawn):
    # The bus keeps the latest 16384 frames for its members; a process stopped for longer than
    # that many frames take loses the older ones, counted as overflow, and goes on with the rest.
    a, b = spawn("lag"), spawn("lag")
    a.call("gen", settings="saturate,dlc=0")  # 21,277 frames/s
    time.sleep(0.05)  # b is idle between commands once its listener has heard of the generator:
    os.kill(b.pid, signal.SIGSTOP)  # it is stopped holding nothing the bus needs
    try:
        a.heard(1.2)  # a keeps looking, so the bus runs
    finally:
        os.kill(b.pid, signal.SIGCONT)
    assert len(b.call("recv", count=100)["frames"]) >= 100
    counters = b.call("counters")["counters"]
    assert counters["rx_overflow"] > 5000 and counters["bus_frames"] > 16384


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run a process as another user")
def test_other_user_cannot_reach_the_bus(vad, spawn):
    mine, also_mine = spawn("priv"), spawn("priv")
    other = spawn(None, "", "--as-nobody")
    other.call("plug", bus="priv", config="capture=1")  # a bus of the same name, but its own
    mine.call("send", id=0x1)
    other.call("send", id=0x2)  # alone on its bus: nobody acknowledges it
    assert [f[:2] for f in mine.call("quiet", seconds=0.15)["frames"]] == [[0x1, 1]]
    assert [f[:2] for f in also_mine.call("quiet", seconds=0.15)["frames"]] == [[0x1, 0]]
    assert other.call("quiet", seconds=0.15)["frames"] == []
    assert other.call("open_file", path=str(shared_bus_segment("priv")))["errno"] == 13  # EACCES
    # A segment under this user's name made by someone else is refused, not used.
    squatted = shared_bus_segment("squat")
    assert other.call("open_file", path=str(squatted), create=True, mode=0o666)["errno"] == 0
    try:
        with pytest.raises(VadError, match="another user"):
            vad.plug("squat")
    finally:
        squatted.unlink()


def test_injected_frames_beyond_the_shared_queue_are_refused(vad, namespace):
    # 100 bit/s: the first frame is still on the bus while the queue fills up behind it.
    vad.configure("adapters=0")
    a = vad.plug("q", "nominal=100")
    try:
        for i in range(512):
            vad.bus_frame(i & 0x7FF, adapter=a)
        with pytest.raises(VadError, match="queue for the bus is full"):
            vad.bus_frame(0x1, adapter=a)
    finally:
        vad.configure("adapters=0")
