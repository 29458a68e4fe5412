"""Processes on a shared virtual CAN bus for tests: each (tests/vbus_member.py) loads the virtual
adapter through the ctypes client and is steered through its stdin; the fixtures give each test
buses of its own namespace and check that nothing of it is left in /dev/shm afterwards."""
import json
import os
import select
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

MEMBER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "vbus_member.py")


class Process:
    """One member process; call() sends a command and returns its answer."""

    def __init__(self, *args, env=None):
        self.p = subprocess.Popen([sys.executable, MEMBER, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True, env=env)
        self.pid = self.answer(20)["ready"]

    def answer(self, timeout):
        ready, _, _ = select.select([self.p.stdout], [], [], timeout)
        assert ready, "the member process did not answer"
        line = self.p.stdout.readline()
        assert line, "the member process ended"
        return json.loads(line)

    def call(self, op, wait=10, **kw):
        self.start(op, **kw)
        return self.result(wait)

    def start(self, op, **kw):
        """Sends a command without waiting for its answer (result() reads it)."""
        self.p.stdin.write(json.dumps({"op": op, **kw}) + "\n")
        self.p.stdin.flush()

    def result(self, wait=10):
        out = self.answer(wait)
        assert "error" not in out, out["error"]
        return out

    def frames(self, count, timeout=1.0):
        """(id, dir, data hex) of the next `count` frames."""
        return [(i, d, data) for i, d, _, data in self.call("recv", count=count, timeout=timeout)["frames"]]

    def heard(self, seconds=0.15):
        return self.call("quiet", seconds=seconds)["frames"]

    def exit(self):
        self.p.stdin.write('{"op": "exit"}\n')
        self.p.stdin.close()
        assert self.p.wait(10) == 0
        self.p.stdout.close()

    def kill(self):
        self.p.kill()
        self.p.wait(10)
        self.p.stdin.close()
        self.p.stdout.close()


@pytest.fixture
def namespace(monkeypatch):
    """Buses of this test only, whatever other test runs of this user do meanwhile."""
    ns = f"t{os.getpid()}-{uuid.uuid4().hex[:8]}"
    monkeypatch.setenv("FDHOST_VADAPTER_NAMESPACE", ns)
    return ns


@pytest.fixture
def spawn(namespace):
    started = []

    def start(bus=None, config="capture=1", *args, env=None):
        p = Process(*args, env=env)
        started.append(p)
        if bus is not None:
            p.call("plug", bus=bus, config=config)
        return p

    yield start
    for p in started:
        if p.p.poll() is None:
            p.exit()
    # Every process left as it should (or died and was found out): nothing of this test is left.
    left = sorted(f.name for f in Path("/dev/shm").glob(f"fdhost-vbus.*.{namespace}*.*"))
    for name in left:
        os.unlink(f"/dev/shm/{name}")
    assert left == []


def gone(path, seconds=2.0):
    end = time.monotonic() + seconds
    while path.exists() and time.monotonic() < end:
        time.sleep(0.01)
    return not path.exists()
