"""The two output formats of ``candump``, character for character.

Screen (one line per frame; the name is right-aligned to the widest name, as candump aligns its
interfaces):

    ' ' [timestamp ' '] ' ' <name> ['  RX - -'] '  ' <frame>
      can0  123   [4]  DE AD BE EF
      can0  123  [04]  11 22 33 44              (CAN FD: two-digit length)
      can0  12345678   [2]  11 22               (extended; from then on standard
      can0       123   [0]  remote request       identifiers are indented to line up)

``-a`` appends the data as ASCII (``'ABCD'``, '.' for what is not printable) to classic frames and
to FD frames of at most 8 bytes, lined up after eight bytes' worth of columns; ``-e`` puts an error
frame's meaning below it (:mod:`error_frames`); ``-c`` colours each channel in turn: its name, with
``-cc`` the whole line, with ``-ccc`` the time stamp too.

Log (``-L`` / ``-l`` / ``-f``): ``(1700000000.123456) <name> 123#DEADBEEF`` with ``-x`` adding
`` R`` / `` T``; the frame text is :func:`frames.format_frame`.

python-can's ``CanutilsLogWriter`` writes a near relative of this log format but not this one: it
always appends `` R`` / `` T``, turns an all-digit channel such as a numeric serial into
``can<digits>``, moves a timestamp that runs backwards up to the previous one and leaves the FD
flag out of the ``##`` flags digit, so the log lines are built here; its reader reads them.
"""
from __future__ import annotations

import time
from typing import Optional, TextIO

import can

from .error_frames import describe
from .frames import format_frame

# Timestamp modes of candump's -t.
TIMESTAMP_MODES = ("a", "A", "d", "z")

_FD_FLAGS_VIEW = ("- -", "B -", "- E", "B E")  # -x: bitrate switch, error state indicator


def _microseconds(timestamp: float) -> int:
    # Rounded, not truncated: a float epoch time is rarely exact to the microsecond.
    return round(timestamp * 1_000_000)


class Timestamps:
    """candump's timestamp prefix for one output: ``(1700000000.123456) `` absolute, ``-t A`` with
    the local date, ``-t d`` since the previous frame, ``-t z`` since the first; '' without."""

    def __init__(self, mode: Optional[str]) -> None:
        if mode not in (None, *TIMESTAMP_MODES):
            raise ValueError(f"timestamp mode {mode!r}")
        self.mode = mode
        self._reference: Optional[int] = None

    def text(self, timestamp: float) -> str:
        if self.mode is None:
            return ""
        us = _microseconds(timestamp)
        if self.mode == "a":
            sec, usec = divmod(us, 1_000_000)
            return f"({sec:010d}.{usec:06d}) "
        if self.mode == "A":
            sec, usec = divmod(us, 1_000_000)
            return f"({time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(sec))}.{usec:06d}) "
        if self._reference is None:
            self._reference = us
        sec, usec = divmod(max(0, us - self._reference), 1_000_000)
        if self.mode == "d":
            self._reference = us
        return f"({sec:03d}.{usec:06d}) "


def raw_can_id(msg: can.Message) -> int:
    """The identifier with SocketCAN's flag bits, as candump's filters see it: bit 31 extended,
    bit 30 remote, bit 29 error frame."""
    if msg.is_error_frame:
        return 0x20000000 | (msg.arbitration_id & 0x1FFFFFFF)
    return (msg.arbitration_id | (0x80000000 if msg.is_extended_id else 0)
            | (0x40000000 if msg.is_remote_frame and not msg.is_fd else 0))


def long_frame(msg: can.Message, indent_standard: bool) -> str:
    """The frame part of a screen line: identifier, ``[len]`` and data bytes."""
    if msg.is_error_frame or msg.is_extended_id:
        text = f"{raw_can_id(msg) & 0x3FFFFFFF:08X}  "
    elif indent_standard:
        text = f"     {msg.arbitration_id & 0x7FF:03X}  "
    else:
        text = f"{msg.arbitration_id & 0x7FF:03X}  "
    if msg.is_fd:
        data = bytes(msg.data or b"")[:64]
        return text + f"[{len(data):02d}] " + _hex_bytes(data)
    if msg.is_remote_frame:
        return text + f" [{min(msg.dlc, 8)}]  remote request"
    data = bytes(msg.data or b"")[:8]
    text += f" [{len(data)}] " + _hex_bytes(data)
    if msg.is_error_frame:
        text += "ERRORFRAME".rjust(3 * (8 - len(data)) + 13)
    return text


def _hex_bytes(data: bytes) -> str:
    """`` DE AD BE EF``: each byte after a space."""
    return " " + data.hex(" ").upper() if data else ""


def ascii_column(msg: can.Message) -> str:
    """candump -a's ASCII text of a data frame of at most 8 bytes, after the columns of the bytes it
    lacks; '' where there is none (remote and error frames, longer FD frames)."""
    data = bytes(msg.data or b"")
    if msg.is_remote_frame or msg.is_error_frame or len(data) > 8:
        return ""
    text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in data)
    return " " * (3 * (8 - len(data)) + 3) + f"'{text}'"


# candump's colours, one per channel in turn, and the reset after them.
COLOURS = ("\x1b[1m\x1b[34m", "\x1b[1m\x1b[31m", "\x1b[1m\x1b[32m", "\x1b[1m", "\x1b[1m\x1b[35m", "\x1b[1m\x1b[36m")
COLOUR_OFF = "\x1b[0m"


class ScreenFormat:
    """candump's screen lines. ``name`` is the channel's (``line`` takes another for a line of
    another channel); ``name_width`` aligns several. ``ascii``, ``errors`` and ``colour`` (a
    level) are candump's -a, -e and -c."""

    def __init__(self, name: str, timestamp: Optional[str] = None, extra: bool = False,
                 name_width: int = 0, *, ascii: bool = False, errors: bool = False, colour: int = 0) -> None:
        self.name = name
        self.name_width = name_width
        self.timestamps = Timestamps(timestamp)
        self.extra = extra
        self.ascii = ascii
        self.errors = errors
        self.colour = colour
        self.indent_standard = False  # set for good once an extended frame was shown

    def line(self, msg: can.Message, name: Optional[str] = None, index: int = 0) -> str:
        """The line of ``msg``; ``index`` (the channel's place among several) chooses its colour."""
        if msg.is_extended_id and not msg.is_error_frame:
            self.indent_standard = True
        extra = ""
        if self.extra:
            fd = _FD_FLAGS_VIEW[(1 if msg.bitrate_switch else 0) | (2 if msg.error_state_indicator else 0)]
            extra = f"  {'RX' if msg.is_rx else 'TX'} {fd if msg.is_fd else '- -'}"
        timestamp = self.timestamps.text(msg.timestamp)
        frame = long_frame(msg, self.indent_standard)
        if self.ascii:
            frame += ascii_column(msg)
        if self.errors and msg.is_error_frame:
            frame += "\n\t" + describe(msg)
        on = COLOURS[index % len(COLOURS)] if self.colour else ""
        shown = (name if name is not None else self.name).rjust(self.name_width)
        # Where candump switches the colour on and off at each level.
        return (f" {on if self.colour > 2 else ''}{timestamp} {on if 0 < self.colour < 3 else ''}{shown}{extra}"
                f"{COLOUR_OFF if self.colour == 1 else ''}  {frame}{COLOUR_OFF if self.colour > 1 else ''}")


class LogFormat:
    """candump's log lines: absolute timestamps, or zero-based ones with ``-t z`` (as candump
    does; its other modes keep the log absolute)."""

    def __init__(self, name: str, timestamp: Optional[str] = None, extra: bool = False) -> None:
        self.name = name
        self.timestamps = Timestamps("z" if timestamp == "z" else "a")
        self.extra = extra

    def line(self, msg: can.Message, name: Optional[str] = None, index: int = 0) -> str:
        direction = (" R" if msg.is_rx else " T") if self.extra else ""
        return f"{self.timestamps.text(msg.timestamp)}{name if name is not None else self.name} {format_frame(msg)}{direction}"


class LineOutput:
    """Lines to a stream; ``flush_each`` for a terminal or pipe, where a reader waits for each
    frame as it comes (candump flushes every line on standard output too)."""

    def __init__(self, stream: TextIO, flush_each: bool) -> None:
        self.stream = stream
        self.flush_each = flush_each

    def write(self, line: str) -> None:
        self.stream.write(line + "\n")
        if self.flush_each:
            self.stream.flush()
