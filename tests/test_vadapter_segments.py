"""The shared-memory segment of a virtual CAN bus: made with its memory reserved, reclaimed when its
maker or its last member left it half done, and names refused with the right reason."""
import fcntl
import os
import shutil
import struct
import subprocess
import sys
import time

import pytest

from vadapter import VadError, VirtualAdapter, library_path, shared_bus_segment
from vbus_processes import gone, namespace, spawn  # noqa: F401 - fixtures

LIB = library_path()
pytestmark = pytest.mark.skipif(not LIB.exists(), reason=f"virtual adapter not built: {LIB}")

LIFE_OFFSET, LIFE_DEAD = 16, 2  # the segment's life word, and its state once the last member left
LIFE_STATES = 4                 # one member in the life word
JOINING_BYTE = 4097             # read-locked by a process on its way in
TESTS = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def vad():
    return VirtualAdapter()


def mark_dead(segment):
    with open(segment, "r+b") as f:
        f.seek(LIFE_OFFSET)
        f.write(struct.pack("<Q", LIFE_DEAD))


def test_a_bus_its_last_member_left_dead_is_made_anew(vad, spawn):
    # The last member marks the segment dead, then removes it; killed in between, it leaves the
    # name to a dead segment. Whoever comes next takes the name back, without spinning.
    for what in ("join", "list"):
        name = f"stuck-{what}"
        a = spawn(name)
        segment = shared_bus_segment(name)
        a.kill()
        mark_dead(segment)
        old = segment.stat().st_ino
        if what == "list":
            assert name not in vad.can_buses() and gone(segment, 0)
            continue
        b, c = spawn(), spawn()
        b.call("plug", wait=3, bus=name, config="capture=1")
        c.call("plug", wait=3, bus=name, config="capture=1")
        assert segment.stat().st_ino != old and vad.can_buses() == {name: 2}
        b.call("send", id=0x1)
        assert c.frames(1) == [(0x1, 0, "")]


def count_a_ghost(segment):
    """One member more in the count than processes on the bus: what a process killed half-way
    through joining or leaving leaves."""
    with open(segment, "r+b") as f:
        f.seek(LIFE_OFFSET)
        (life,) = struct.unpack("<Q", f.read(8))
        f.seek(LIFE_OFFSET)
        f.write(struct.pack("<Q", life + LIFE_STATES))


def test_a_member_count_no_process_stands_for_does_not_keep_the_bus(spawn):
    a, b = spawn("ghost"), spawn("ghost")
    segment = shared_bus_segment("ghost")
    count_a_ghost(segment)
    b.exit()
    assert segment.exists()  # a is still on it
    a.exit()
    assert gone(segment, 0)  # the last one out, whatever the count says

    # Somebody on the way in (the test holds the joining byte) keeps it: the last one out is not.
    a = spawn("ghost")
    count_a_ghost(segment)
    fd = os.open(segment, os.O_RDWR)
    try:
        fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_RDLCK, os.SEEK_SET, JOINING_BYTE, 1, 0))
        a.exit()
        assert segment.exists()
    finally:
        os.close(fd)
    spawn("ghost").exit()
    assert gone(segment, 0)


def test_a_bus_whose_maker_stalls_is_made_anew(spawn):
    # A maker holds byte 0 of the segment while it sets it up; one stopped there (or stuck) for
    # long holds nobody up: the segment is made anew.
    segment = shared_bus_segment("stalled")
    fd = os.open(segment, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        flock = struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 1, 0)
        fcntl.fcntl(fd, fcntl.F_OFD_SETLK, flock)
        a = spawn()
        t0 = time.monotonic()
        a.call("plug", wait=5, bus="stalled", config="capture=1")
        assert time.monotonic() - t0 < 5 and os.fstat(fd).st_nlink == 0  # the stalled one was removed
    finally:
        os.close(fd)


def test_a_namespace_too_long_is_named_as_the_cause(vad, monkeypatch):
    vad.configure("adapters=0")
    monkeypatch.setenv("FDHOST_VADAPTER_NAMESPACE", "n" * 300)
    with pytest.raises(VadError, match="FDHOST_VADAPTER_NAMESPACE is too long"):
        vad.plug("x")
    monkeypatch.setenv("FDHOST_VADAPTER_NAMESPACE", "n")
    with pytest.raises(VadError, match="virtual CAN bus name too long to share"):
        vad.plug("b" * 300)


FULL_SHM = """
import sys, time
sys.path.insert(0, {tests!r})
from vadapter import VadError, VirtualAdapter
vad = VirtualAdapter()
vad.configure("adapters=0")
try:
    a, b = vad.plug("full", "capture=1"), vad.plug("full", "capture=1")
except VadError as e:
    print("refused:", e)
    sys.exit(0)
vad.generator("saturate,dlc=15,fd=1", adapter=a)
time.sleep(1.5)
print("ran", vad.counter("bus_frames", b))
"""


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"), reason="needs root and unshare for a /dev/shm of its own")
def test_a_full_dev_shm_refuses_the_bus_instead_of_killing_it(namespace):
    # /dev/shm filled by somebody else, with room for part of a bus: opening the bus says so
    # (and a bus once made never faults later for want of memory).
    script = ("mount -t tmpfs -o size=2m tmpfs /dev/shm && head -c 1048576 /dev/zero > /dev/shm/filler && "
              f"exec {sys.executable} -c \"$0\"")
    child = subprocess.run(["unshare", "-m", "sh", "-c", script, FULL_SHM.format(tests=TESTS)],
                           capture_output=True, text=True, timeout=30)
    if "mount" in child.stderr and child.returncode != 0 and "refused" not in child.stdout:
        pytest.skip(f"no /dev/shm of its own here: {child.stderr.strip()}")
    assert child.returncode == 0, (child.returncode, child.stderr)
    assert child.stdout.startswith("refused:") and "cannot reserve" in child.stdout and "is full" in child.stdout
