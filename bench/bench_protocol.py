"""Throughput of the protocol core as the interpreter sees it: the CRC16 checksum over a
command-sized and a receive-container-sized buffer, and record encode/decode rates.

Run from the repository root after building the module:  python bench/bench_protocol.py
"""

import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
import load_fdhost  # noqa: E402

fd = load_fdhost.load()

BUDGET = 0.6  # seconds of timed work per figure


def rate(fn, budget=BUDGET):
    """Calls per second of fn(), measured in batches until the budget is used up."""
    fn()
    batch, calls, elapsed = 1, 0, 0.0
    while elapsed < budget:
        t0 = time.perf_counter()
        for _ in range(batch):
            fn()
        dt = time.perf_counter() - t0
        calls += batch
        elapsed += dt
        if dt < budget / 20:
            batch *= 2
    return calls / elapsed


def _make_table():
    table = []
    for i in range(256):
        r = i
        for _ in range(8):
            r = (r >> 1) ^ 0xA001 if r & 1 else r >> 1
        table.append(r)
    return table


_TABLE = _make_table()


def crc16_python(data):
    crc = 0
    table = _TABLE
    for b in data:
        crc = (crc >> 8) ^ table[(crc ^ b) & 0xFF]
    return crc


def populated_head():
    h = fd.can_head_type()
    h.id, h.time_stamp, h.reserve = 0x18DAF110, 123456789, [1, 2, 3]
    h.fram_type, h.can_type, h.id_type, h.dir, h.dlc = 1, 1, 1, 0, 15
    return h


def populated_value():
    v = fd.can_value_type()
    v.head = populated_head()
    v.data = list(range(64))
    return v


def populated_tx():
    t = fd.can_tx_type()
    t.can_type, t.fram_type, t.id_type, t.fd_acc = 1, 1, 1, 1
    t.dlc, t.send_time, t.can_id = 64, 1, 0x18DAF110
    t.data = list(range(64))
    return t


def main():
    print(f"fdhost protocol benchmark (Python {sys.version.split()[0]})")

    print("\nCRC16_IBM (bytes input)")
    print(f"  {'size':>8}  {'module MB/s':>12}  {'pure Python MB/s':>17}  {'ratio':>7}")
    for size in (64, 51_200):
        data = os.urandom(size)
        assert fd.CRC16_IBM(data) == crc16_python(data)
        native = rate(lambda: fd.CRC16_IBM(data)) * size / 1e6
        python = rate(lambda: crc16_python(data), budget=BUDGET / 2) * size / 1e6
        print(f"  {size:>8}  {native:>12.1f}  {python:>17.2f}  {native / python:>6.0f}x")

    print("\nRecords (records/s)")
    print(f"  {'record':<16}  {'to_bytes':>12}  {'from_bytes':>12}")
    for name, make in (("can_head_type", populated_head), ("can_value_type", populated_value),
                       ("can_tx_type", populated_tx)):
        src = make()
        encoded = bytes(src.to_bytes())
        dst = getattr(fd, name)()
        dst.from_bytes(encoded)
        assert dst.to_bytes() == encoded
        enc = rate(src.to_bytes)
        dec = rate(lambda: dst.from_bytes(encoded))
        print(f"  {name:<16}  {enc:>12,.0f}  {dec:>12,.0f}")


if __name__ == "__main__":
    main()
