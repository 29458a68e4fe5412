"""Bits per frame and the load they add up to."""
import can
import pytest

from fdhost_can.cli.busload import BusLoad, frame_bits
from fdhost_can.cli.top import render


def frame(n=8, ext=False, fd=False, brs=False, remote=False, arbitration_id=0x123):
    if remote:
        return can.Message(arbitration_id=arbitration_id, is_extended_id=ext, is_remote_frame=True, dlc=n)
    return can.Message(arbitration_id=arbitration_id, is_extended_id=ext, is_fd=fd, bitrate_switch=brs,
                       data=bytes(n))


@pytest.mark.parametrize("n", range(9))
@pytest.mark.parametrize("ext", [False, True])
def test_classic_worst_case_is_canbusloads(n, ext):
    # canbusload's worst case: 55 + 10n bits (standard), 80 + 10n (extended); without stuffing 47/67 + 8n.
    assert frame_bits(frame(n, ext), "worst") == ((80 if ext else 55) + 10 * n, 0)
    assert frame_bits(frame(n, ext), "none") == ((67 if ext else 47) + 8 * n, 0)


@pytest.mark.parametrize("msg, stuffing, bits", [
    (frame(8, remote=True), "none", (47, 0)),          # a remote frame asks for 8 bytes but carries none
    (frame(8, remote=True), "worst", (55, 0)),
    (frame(64, fd=True, brs=True), "none", (30, 549)),
    (frame(64, fd=True, brs=True), "worst", (34, 678)),
    (frame(16, fd=True, brs=True, ext=True), "none", (49, 160)),   # 16 bytes: still the 17-bit CRC
    (frame(20, fd=True, brs=True, ext=True), "none", (49, 197)),   # above 16: 21-bit CRC
    (frame(8, fd=True), "none", (126, 0)),                         # no switch: all at the nominal rate
])
def test_fd_and_remote_bits(msg, stuffing, bits):
    assert frame_bits(msg, stuffing) == bits


@pytest.mark.parametrize("msg, nominal, data", [
    (frame(8), 500_000, 500_000),
    (frame(8, ext=True), 125_000, 125_000),
    (frame(64, fd=True, brs=True), 1_000_000, 5_000_000),
])
@pytest.mark.parametrize("stuffing", ["worst", "none"])
def test_back_to_back_frames_fill_the_bus(msg, nominal, data, stuffing):
    n_bits, d_bits = frame_bits(msg, stuffing)
    duration = n_bits / nominal + d_bits / data
    load = BusLoad(nominal, data, stuffing, start=100.0)
    count = int(2.0 / duration)
    for i in range(count):
        load.add(msg, 100.0 + (i + 1) * duration)
    snap = load.close_window(100.0 + count * duration)
    assert snap.load_percent == pytest.approx(100.0, abs=1e-6)
    assert snap.frames_per_s == pytest.approx(1 / duration)
    assert load.average_load() == pytest.approx(100.0)


def test_windows_rates_errors_and_forgetting():
    load = BusLoad(500_000, 500_000, forget_after_s=5.0, start=0.0)
    for t in range(10):
        load.add(frame(1, arbitration_id=0x100), t / 10)
    load.add(frame(2, ext=True, arbitration_id=0x100), 0.5)
    load.add(can.Message(is_error_frame=True), 0.6)
    first = load.close_window(1.0)
    assert (first.frames, first.errors, first.total_errors) == (11, 1, 1)
    assert [(key, e.rate) for key, e in first.ids] == [((False, 0x100), 10.0), ((True, 0x100), 1.0)]
    load.add(frame(1, arbitration_id=0x100), 5.5)
    second = load.close_window(7.0)  # 6 s long; the extended id was last seen 6.5 s ago
    assert [(key, round(e.rate, 3)) for key, e in second.ids] == [((False, 0x100), round(1 / 6, 3))]
    assert second.total_frames == 12 and second.frames == 1


def test_snapshot_text():
    load = BusLoad(1_000_000, 5_000_000, start=0.0)
    load.add(frame(3, arbitration_id=0x7FF), 0.1)
    load.add(frame(64, fd=True, brs=True, ext=True, arbitration_id=0x1ABCDEF), 0.2)
    load.add(frame(2, remote=True, arbitration_id=0x001), 0.3)
    lines = render(load.close_window(1.0), channel="virtual:demo", nominal=1_000_000, data=5_000_000,
                   stuffing="worst", dropped=7, columns=80, rows=50)
    assert "virtual:demo  1M/5M  (worst-case bit stuffing)" in lines[0]
    assert "frames/s" in lines[1] and "dropped 7" in lines[1] and "|" in lines[1]
    rows = lines[4:]
    assert rows[0].split() == ["001", "1.0", "RTR", "2", "remote", "request"]
    assert rows[1].split() == ["7FF", "1.0", "3", "00", "00", "00"]
    assert rows[2].startswith("01ABCDEF") and " FD BRS " in rows[2] and rows[2].endswith("...")
    assert all(len(line) <= 80 for line in lines)
