"""cangen's generation modes, and the progress bar that only a terminal gets."""
import io
import itertools
import random

import pytest

from fdhost_can.cli.gen import FixedData, FrameGenerator, GenSettings, _data_mode
from fdhost_can.cli.terminal import Progress


def take(settings, n, seed=7):
    return list(itertools.islice(FrameGenerator(settings, random.Random(seed)), n))


@pytest.mark.parametrize("settings, key, expected", [
    (GenSettings(id_mode="i", len_mode=1), lambda m: m.arbitration_id, [0, 1, 2, 3]),
    (GenSettings(id_mode="i", extended=True, len_mode=1), lambda m: m.is_extended_id, [True] * 4),
    (GenSettings(len_mode="i"), lambda m: len(m.data), [0, 1, 2, 3]),
    (GenSettings(len_mode="i", fd=True), lambda m: len(m.data), [0, 1, 2, 3]),
    (GenSettings(len_mode=0, data_mode="i"), lambda m: bytes(m.data), [b"\0", b"\1", b"\2", b"\3"]),
    (GenSettings(remote=True, len_mode=5), lambda m: (m.is_remote_frame, m.dlc, bytes(m.data)), [(True, 5, b"")] * 4),
])
def test_modes(settings, key, expected):
    assert [key(m) for m in take(settings, 4)] == expected


def test_incrementing_lengths_cycle_through_every_valid_one():
    classic = [len(m.data) for m in take(GenSettings(len_mode="i"), 18)]
    fd = [len(m.data) for m in take(GenSettings(len_mode="i", fd=True), 17)]
    assert classic == list(range(9)) * 2
    assert fd == [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64, 0]


def test_incrementing_data_is_a_little_endian_counter():
    gen = FrameGenerator(GenSettings(data_mode="i", len_mode=12, fd=True))
    gen._counter = 0x0102030405060708
    assert bytes(next(gen).data) == bytes.fromhex("0807060504030201") + bytes(4)


def test_random_modes():
    even, odd = (take(GenSettings(id_mode=m), 200) for m in ("e", "o"))
    assert all(m.arbitration_id % 2 == 0 for m in even) and all(m.arbitration_id % 2 for m in odd)
    assert len({m.arbitration_id for m in even}) > 100 and max(m.arbitration_id for m in odd) <= 0x7FF
    classic = [len(m.data) for m in take(GenSettings(), 400)]
    fd = {len(m.data) for m in take(GenSettings(fd=True), 400)}
    assert set(classic) == set(range(9)) and 150 < classic.count(8) < 260  # codes 8..15 all give 8
    assert fd == {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64}


def test_fixed_data_with_random_digits():
    mode = _data_mode("11x2")
    assert mode == FixedData(b"\x11\x02".ljust(64, b"\0"), b"\x00\xf0".ljust(64, b"\0"))
    frames = take(GenSettings(len_mode=3, data_mode=mode), 50)
    assert all(m.data[0] == 0x11 and m.data[1] & 0x0F == 2 and m.data[2] == 0 for m in frames)
    assert len({m.data[1] for m in frames}) > 8


class Tty(io.StringIO):
    def isatty(self):
        return True


def test_progress_only_on_a_terminal():
    plain, tty = io.StringIO(), Tty()
    for stream in (plain, tty):
        bar = Progress(4, stream, min_interval_s=0)
        for done in range(1, 5):
            bar.update(done)
        bar.finish(4)
    assert plain.getvalue() == ""
    frames = tty.getvalue().split("\r")[1:]
    assert frames[0].startswith("  25% |#######.") and frames[0].endswith(" 1/4")
    assert frames[-1] == " 100% |" + "#" * 30 + "| 4/4\n"


def test_mixed_frames_draw_every_kind():
    frames = take(GenSettings(mix=True), 800)
    kinds = {(m.is_extended_id, m.is_fd, m.bitrate_switch, m.error_state_indicator, m.is_remote_frame) for m in frames}
    assert {(e, True, b, s, False) for e in (False, True) for b in (False, True) for s in (False, True)} <= kinds
    assert {(e, False, False, False, r) for e in (False, True) for r in (False, True)} <= kinds
    remote = sum(m.is_remote_frame for m in frames) / sum(not m.is_fd for m in frames)
    assert 0.15 < remote < 0.35  # a quarter of the classic frames
    assert all(m.arbitration_id <= (0x1FFFFFFF if m.is_extended_id else 0x7FF) for m in frames)
    assert all(len(m.data) <= 8 for m in frames if not m.is_fd)
