"""A closed Bus leaves nothing behind: open/shutdown cycles on a virtual channel keep the virtual
adapter library's adapter count and the process's private memory flat (bench/bus_cycles.py runs
20,000 of them and prints the figures)."""
import json
import os
import subprocess
import sys
import uuid

import pytest

import load_fdhost

CYCLES, EVERY = 1200, 300


@pytest.mark.skipif(bool(os.environ.get("FDHOST_SANITIZED")),
                    reason="a sanitised build keeps freed memory in quarantine: growth is not a leak there")
def test_bus_cycles_leave_adapters_and_memory_flat():
    code = f"""
import json, sys
sys.path.insert(0, "bench")
import bus_cycles
print(json.dumps(bus_cycles.cycles({CYCLES}, {EVERY}, out=lambda line: None)))
"""
    env = load_fdhost.env_for_child()
    env["FDHOST_VADAPTER_NAMESPACE"] = f"cycles-{uuid.uuid4().hex[:12]}"
    r = subprocess.run([sys.executable, "-c", code], cwd=load_fdhost.ROOT, capture_output=True, text=True,
                       timeout=300, env=env)
    assert r.returncode == 0, r.stderr
    rows = json.loads(r.stdout)
    assert {row[4] for row in rows} == {2}, rows  # the cycling Bus's adapter and the peer's, reused
    # After the first rows (threads, allocator arenas and caches settle), private memory stays put: a
    # Bus that left 8 KiB behind would add 7 MiB here.
    settled, last = rows[1], rows[-1]
    assert (last[2] - settled[2]) * 1024 / (last[0] - settled[0]) < 1024, rows
