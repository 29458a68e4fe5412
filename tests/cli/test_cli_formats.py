"""candump's screen and log lines, character for character; the screen layout is also checked
against can-utils' own log2long, which prints logged frames the way candump shows them."""
import subprocess
import time

import can
import pytest
from cli_helpers import need_tool

from fdhost_can.cli.busopen import display_name
from fdhost_can.cli.candump_format import LogFormat, ScreenFormat, Timestamps, long_frame
from fdhost_can.cli.common import CliError


def msg(arbitration_id, data=b"", ext=False, **kw):
    return can.Message(arbitration_id=arbitration_id, is_extended_id=ext, data=data, timestamp=1700000000.25, **kw)


# One ScreenFormat in order: the first extended frame indents every later standard one.
SCREEN_SEQUENCE = [
    (msg(0x123, bytes.fromhex("DEADBEEF")), "  can0  123   [4]  DE AD BE EF"),
    (msg(0x123, bytes.fromhex("11223344"), is_fd=True), "  can0  123  [04]  11 22 33 44"),
    (msg(0x7FF), "  can0  7FF   [0] "),
    (msg(0x12345678, b"\x11\x22", ext=True), "  can0  12345678   [2]  11 22"),
    (msg(0x123, is_remote_frame=True, dlc=3), "  can0       123   [3]  remote request"),
    (msg(0x1, bytes(12), ext=True, is_fd=True, bitrate_switch=True),
     "  can0  00000001  [12]  " + " ".join(["00"] * 12)),
    (msg(0x456, b"\x01", is_fd=True), "  can0       456  [01]  01"),
    (can.Message(is_error_frame=True, arbitration_id=0x4, data=bytes(8)),
     "  can0  20000004   [8]  00 00 00 00 00 00 00 00   ERRORFRAME"),
]


def test_screen_lines_in_sequence():
    fmt = ScreenFormat("can0")
    assert [fmt.line(m) for m, _ in SCREEN_SEQUENCE] == [line for _, line in SCREEN_SEQUENCE]


@pytest.mark.parametrize("m, line", [
    (msg(0x123, b"\xde\xad"), "  can0  RX - -  123   [2]  DE AD"),
    (msg(0x123, b"\x01", is_fd=True, bitrate_switch=True, is_rx=False), "  can0  TX B -  123  [01]  01"),
    (msg(0x123, b"", is_fd=True, error_state_indicator=True), "  can0  RX - E  123  [00] "),
])
def test_screen_extra_column(m, line):
    assert ScreenFormat("can0", extra=True).line(m) == line


def test_screen_timestamp_and_aligned_name():
    assert ScreenFormat("vcan", "a", name_width=6).line(msg(1, b"\x01")) == " (1700000000.250000)    vcan  001   [1]  01"


@pytest.mark.parametrize("mode, stamps, texts", [
    ("a", [1.5, 1700000000.1234564], ["(0000000001.500000) ", "(1700000000.123456) "]),
    ("d", [10.0, 10.5, 10.25, 11.0], ["(000.000000) ", "(000.500000) ", "(000.000000) ", "(000.750000) "]),
    ("z", [10.0, 12.5, 11.0, 1010.000001], ["(000.000000) ", "(002.500000) ", "(001.000000) ", "(1000.000001) "]),
    (None, [5.0], [""]),
])
def test_timestamp_modes(mode, stamps, texts):
    t = Timestamps(mode)
    assert [t.text(s) for s in stamps] == texts


def test_timestamp_with_date(monkeypatch):
    monkeypatch.setattr(time, "localtime", time.gmtime)
    assert Timestamps("A").text(1700000000.5) == "(2023-11-14 22:13:20.500000) "


@pytest.mark.parametrize("m, kw, line", [
    (msg(0x123, bytes.fromhex("DEADBEEF")), {}, "(1700000000.250000) can0 123#DEADBEEF"),
    (msg(0x123, b"\x01", is_rx=False), {"extra": True}, "(1700000000.250000) can0 123#01 T"),
    (msg(0x123, b"", is_fd=True, bitrate_switch=True), {"extra": True}, "(1700000000.250000) can0 123##5 R"),
    (msg(0x123, b"\x01"), {"timestamp": "z"}, "(000.000000) can0 123#01"),
    (msg(0x123, b"\x01"), {"timestamp": "d"}, "(1700000000.250000) can0 123#01"),  # only z changes the log
])
def test_log_lines(m, kw, line):
    assert LogFormat("can0", **kw).line(m) == line


def test_screen_layout_matches_log2long(tmp_path):
    tool = need_tool("log2long")
    frames = [m for m, _ in SCREEN_SEQUENCE if not m.is_error_frame]
    log = LogFormat("can0")
    text = "".join(log.line(m) + "\n" for m in frames)
    out = subprocess.run([tool], input=text, capture_output=True, text=True, check=True).stdout.splitlines()
    assert len(out) == len(frames)
    for m, line in zip(frames, out):
        # log2long always indents standard identifiers and appends an ASCII column.
        assert line.startswith(f"(1700000000.250000)  can0  {long_frame(m, indent_standard=True)}"), line


@pytest.mark.parametrize("channel, name, shown", [
    ("virtual:demo", None, "virtual:demo"),
    ("14AA044B241402B10DDBDAFE448040BB", None, "DDBDAFE448040BB"),  # can-utils' log tools read 21 at most
    ("14AA044B241402B10DDBDAFE448040BB", "can0", "can0"),
    ("virtual:demo", "a b", None),
])
def test_channel_name_in_lines(channel, name, shown):
    if shown is None:
        with pytest.raises(CliError, match="no spaces"):
            display_name(channel, name)
    else:
        assert display_name(channel, name) == shown


ASCII_FRAMES = [
    msg(0x123, b"ABCD"),
    msg(0x123),
    msg(0x321, b"ABC", is_fd=True),
    msg(0x12345678, bytes([0x00, 0x01, 0x1F, 0x20, 0x7E, 0x7F, 0xFF, 0x41]), ext=True),
    msg(0x321, bytes(12), is_fd=True),  # longer than 8 bytes: no ASCII
    msg(0x123, is_remote_frame=True, dlc=5),
]


def test_ascii_column_is_candumps(tmp_path):
    # log2long prints what candump -a shows (always indenting standard identifiers).
    tool = need_tool("log2long")
    log = LogFormat("can0")
    text = "".join(log.line(m) + "\n" for m in ASCII_FRAMES)
    out = subprocess.run([tool], input=text, capture_output=True, text=True, check=True).stdout.splitlines()
    screen = ScreenFormat("can0", "a", ascii=True)
    screen.indent_standard = True
    assert [screen.line(m)[1:] for m in ASCII_FRAMES] == out


def test_ascii_column_text():
    assert ScreenFormat("can0", ascii=True).line(msg(0x123, b"AB\x00")) == "  can0  123   [3]  41 42 00" + " " * 18 + "'AB.'"


ERROR_FRAMES = [
    (0x004, [0, 0x14, 0, 0, 0, 0, 0, 0], "controller-problem{rx-error-warning,rx-error-passive}"),
    (0x020 | 0x080, [0] * 8, "no-acknowledgement-on-tx\n\tbus-error"),
    (0x008, [0, 0, 0x04, 0x0A, 0, 0, 0, 0], "protocol-violation{{bit-stuffing-error}{data-field}}"),
    (0x002 | 0x004, [3, 0x20, 0, 0, 0, 0, 128, 0],
     "lost-arbitration{at bit 3}\n\tcontroller-problem{tx-error-passive}\n\terror-counter-tx-rx{{128}{0}}"),
    (0x040, [0, 0, 0, 0, 0, 0, 0, 0], "bus-off"),
    (0x4000, [0] * 8, "Error class 0x4000 is invalid"),
]


@pytest.mark.parametrize("error_class, data, words", ERROR_FRAMES)
def test_error_frames_in_words(error_class, data, words):
    m = can.Message(is_error_frame=True, arbitration_id=error_class, data=bytes(data), timestamp=1.0)
    head = f"  can0  {0x20000000 | error_class:08X}   [8]  {bytes(data).hex(' ').upper()}   ERRORFRAME"
    assert ScreenFormat("can0", errors=True).line(m) == head + "\n\t" + words
    assert ScreenFormat("can0").line(m) == head


def test_colour_levels_per_channel():
    m = msg(0x123, b"\x01")
    on, off = "\x1b[1m\x1b[31m", "\x1b[0m"  # the second channel's colour
    lines = [ScreenFormat("can0", "a", colour=level).line(m, "can1", 1) for level in (1, 2, 3)]
    assert lines == [f" (1700000000.250000)  {on}can1{off}  123   [1]  01",
                     f" (1700000000.250000)  {on}can1  123   [1]  01{off}",
                     f" {on}(1700000000.250000)  can1  123   [1]  01{off}"]
