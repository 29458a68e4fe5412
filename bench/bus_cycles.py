"""Open/shutdown cycles of a python-can Bus on a virtual channel in one process: what a closed Bus
leaves behind.

    .venv/bin/python bench/bus_cycles.py [--cycles N] [--every K]

Prints, every K cycles, the process's resident memory (private, and the shared memory of the
virtual bus, whose pages are touched as its frame log fills, up to the segment's reserved size)
and the virtual adapter library's adapter count (a closed Bus unplugs its adapter, and the library reuses the numbers of adapters nothing
refers to any more, so the count stays at the few in use), then the growth per cycle after the
first K (allocators and caches settle in those). A closed Bus should leave nothing: both flat.
Each cycle sends one frame to a second Bus that stays open and receives it, so every cycle runs
the whole way (plug, open, send, receive, drain, close, unplug).
"""
import argparse
import gc
import sys
import time
import uuid
from pathlib import Path
from typing import Callable, NamedTuple

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
import load_fdhost  # noqa: E402, F401  (puts the repository on the path)

import can  # noqa: E402
import can.util  # noqa: E402

import procstat  # noqa: E402
from fdhost_can import virtual  # noqa: E402

TARGET_BYTES_PER_CYCLE = 100  # what allocator noise allows; a Bus's state is far larger


class Row(NamedTuple):
    cycle: int
    rss: int       # KiB in all
    anon: int      # KiB of it private to the process (heap, stacks)
    shmem: int     # KiB of shared memory (the virtual bus's segment, as its log fills)
    adapters: int  # in the virtual adapter library


def cycles(count: int, every: int, out: Callable[[str], None] = print) -> list[Row]:
    """A Row every `every` cycles of `count`, the first after cycle 0."""
    can.interfaces.BACKENDS.setdefault("fdhost", ("fdhost_can.bus", "FdhostBus"))
    can.util.VALID_INTERFACES = can.util.VALID_INTERFACES | {"fdhost"}
    channel = f"virtual:cycles{uuid.uuid4().hex[:8]}x"
    vad = virtual.controller()
    rows = []
    with can.Bus(interface="fdhost", channel=channel) as peer:
        for i in range(count + 1):
            with can.Bus(interface="fdhost", channel=channel) as bus:
                bus.send(can.Message(arbitration_id=i & 0x7FF), timeout=1)
                if peer.recv(1) is None:
                    raise SystemExit(f"cycle {i}: the frame did not arrive")
            if i % every == 0:
                gc.collect()
                row = Row(i, procstat.rss_kib(), procstat.rss_kib("RssAnon"), procstat.rss_kib("RssShmem"),
                          vad.adapter_count())
                rows.append(row)
                out(f"cycle {i:>7,}: RSS {row.rss / 1024:5.1f} MiB (private {row.anon / 1024:5.1f}, the bus's shared "
                    f"memory {row.shmem / 1024:4.1f}), adapters in the library {row.adapters}")
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cycles", type=int, default=20_000)
    ap.add_argument("--every", type=int, default=2_000)
    args = ap.parse_args()
    t0 = time.monotonic()
    rows = cycles(args.cycles, args.every)
    elapsed = time.monotonic() - t0
    settled, last = rows[1] if len(rows) > 2 else rows[0], rows[-1]
    span = max(1, last.cycle - settled.cycle)
    print(f"{args.cycles:,} cycles in {elapsed:.1f} s: RSS {rows[0].rss / 1024:.1f} -> {last.rss / 1024:.1f} MiB; "
          f"after cycle {settled.cycle:,}: private memory {(last.anon - settled.anon) * 1024 / span:+.0f} bytes a cycle, "
          f"the bus's shared memory {(last.shmem - settled.shmem) * 1024 / span:+.0f} bytes a cycle (its frame log, "
          f"at most the segment's size); adapters in the library {rows[0].adapters} -> {last.adapters} "
          f"(at most {max(r.adapters for r in rows)})")
    per_cycle = (last.anon - settled.anon) * 1024 / span
    flat = per_cycle <= TARGET_BYTES_PER_CYCLE and max(r.adapters for r in rows) == rows[0].adapters
    print(f"target: private memory at most {TARGET_BYTES_PER_CYCLE} bytes a cycle, adapters flat: "
          f"{'met' if flat else 'MISSED'}")
    sys.exit(0 if flat else 1)

if __name__ == "__main__":
    main()
