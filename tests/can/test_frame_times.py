"""Every received frame gets its own time: on a virtual bus the moment it ended on the bus (the
virtual adapter's stamps, microseconds of the host's monotonic clock), so two receivers, in one
process or two, agree on each frame, and candump's delta times show the frame length."""
import json
import re
import subprocess
import sys
import textwrap

import can
import pytest

import load_fdhost
from fdhost_can.cli import main

pytestmark = pytest.mark.usefixtures("fdhost_backend")

FRAMES = 2000


def seq(msg):
    return int.from_bytes(msg.data[:4], "little")


CHILD = """
import json, sys, can, can.util
can.interfaces.BACKENDS["fdhost"] = ("fdhost_can.bus", "FdhostBus")
can.util.VALID_INTERFACES = can.util.VALID_INTERFACES | {{"fdhost"}}
with can.Bus(interface="fdhost", channel="{channel}", fd=True, bitrate=1_000_000, data_bitrate=5_000_000) as bus:
    print("ready", flush=True)
    got = []
    while len(got) < {frames} and (m := bus.recv(5)) is not None:
        got.append((int.from_bytes(m.data[:4], "little"), m.timestamp))
    print(json.dumps([got, bus.time_source]), flush=True)
"""


def test_receivers_in_two_processes_agree_on_every_frame(buses, vad, channel):
    here = buses()
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CHILD.format(channel=channel, frames=FRAMES))],
                             cwd=load_fdhost.ROOT, env=load_fdhost.env_for_child(), stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        gen = vad.plug(channel.partition(":")[2])
        vad.generator(f"saturate,dlc=8,fd=1,count={FRAMES}", adapter=gen)
        mine = {}
        while len(mine) < FRAMES and (m := here.recv(5)) is not None:
            mine[seq(m)] = m.timestamp
        theirs, source = json.loads(child.stdout.readline())
        vad.unplug(adapter=gen)
    finally:
        child.wait(30)
    assert len(mine) == len(theirs) == FRAMES and source == here.time_source == "bus clock"
    worst = max(abs(mine[s] - t) for s, t in theirs)
    assert worst < 50e-6, f"the two receivers disagree by up to {worst * 1e6:.0f} us"
    times = [mine[s] for s in range(FRAMES)]
    assert all(b > a for a, b in zip(times, times[1:]))  # each frame its own time


def test_dump_delta_times_show_the_frame_length(buses, vad, channel, capsys):
    gen = vad.plug(channel.partition(":")[2])
    vad.generator("saturate,dlc=0,fd=0,count=100000", adapter=gen)  # about 5 s of the saturated bus
    try:
        assert main(["dump", channel, "-t", "d", "-n", "300", "--bitrate", "1000000"]) == 0
    finally:
        vad.unplug(adapter=gen)
    deltas = [re.match(r" \((\d{3}\.\d{6})\) ", line).group(1) for line in capsys.readouterr().out.splitlines()]
    assert len(deltas) == 300 and deltas[0] == "000.000000"
    assert set(deltas[1:]) == {"000.000047"}  # a 0-byte classic frame at 1 Mbit/s: 47 bits


def test_a_signal_handlers_exception_leaves_recv_and_the_bus_stays_usable():
    from test_virtual_bus import run_child

    r = run_child("""
        import signal
        def alarm(signum, frame):
            raise TimeoutError("alarm")
        signal.signal(signal.SIGALRM, alarm)
        with can.Bus(interface="fdhost", channel="virtual:alarm") as a, can.Bus(interface="fdhost", channel="virtual:alarm") as b:
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            try:
                b.recv(None)
            except TimeoutError as e:
                print("raised", repr(e))
            a.send(can.Message(arbitration_id=9))
            print("still usable", hex(b.recv(1).arbitration_id))
    """)
    assert r.stdout.splitlines() == ["raised TimeoutError('alarm')", "still usable 0x9"], r.stderr


def test_an_event_loop_watching_fileno_learns_of_an_unplug(buses, vad):
    import select

    b = buses()
    fd = b.fileno()
    assert select.select([fd], [], [], 0)[0] == []
    vad.unplug(adapter=b.virtual_adapter)
    assert select.select([fd], [], [], 2)[0] == [fd]
    with pytest.raises(can.CanOperationError, match="unplugged"):
        b.recv(0)
