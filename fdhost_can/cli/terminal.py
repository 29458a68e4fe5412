"""Terminal output without curses: a progress bar on standard error, a percentage bar, and a
screen redrawn in place with ANSI sequences."""
from __future__ import annotations

import shutil
import time
from typing import Sequence, TextIO

HOME = "\x1b[H"
CLEAR_SCREEN = "\x1b[2J"
CLEAR_LINE_END = "\x1b[K"
CLEAR_BELOW = "\x1b[J"
HIDE_CURSOR = "\x1b[?25l"
SHOW_CURSOR = "\x1b[?25h"


def bar(percent: float, width: int = 20, fill: str = "X") -> str:
    """``|XXXX................|``: one mark per ``100 / width`` per cent (5 % at width 20), full
    above 100 % (an estimate of stuffed bits can go there)."""
    marks = min(width, max(0, int(percent * width / 100)))
    return "|" + fill * marks + "." * (width - marks) + "|"


class Progress:
    """``  45% |#########...........| 450/1000`` redrawn on one line, at most ten times a second,
    and only when ``stream`` is a terminal (a redirected standard error stays clean)."""

    def __init__(self, total: int, stream: TextIO, min_interval_s: float = 0.1) -> None:
        self.total = total
        self.stream = stream
        self.enabled = total > 0 and _isatty(stream)
        self.min_interval_s = min_interval_s
        self._last_draw = float("-inf")

    def update(self, done: int, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self._last_draw < self.min_interval_s:
            return
        self._last_draw = now
        percent = 100.0 * done / self.total
        self.stream.write(f"\r{percent:4.0f}% {bar(percent, 30, '#')} {done}/{self.total}")
        self.stream.flush()

    def finish(self, done: int) -> None:
        """Draws the final state and ends the line, so what follows starts on a fresh one."""
        if self.enabled:
            self.update(done, force=True)
            self.stream.write("\n")
            self.stream.flush()


class Screen:
    """Redraws a block of lines in place on a terminal (cursor hidden meanwhile); elsewhere each
    block is printed after the previous one, followed by a blank line."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.live = _isatty(stream)
        self._started = False

    def size(self) -> tuple[int, int]:
        """Columns and rows to fill (unbounded rows when not live)."""
        columns, rows = shutil.get_terminal_size()
        return columns, (rows if self.live else 1 << 30)

    def draw(self, lines: Sequence[str]) -> None:
        if not self.live:
            self.stream.write("\n".join(lines) + "\n\n")
            self.stream.flush()
            return
        head = HOME
        if not self._started:
            head = HIDE_CURSOR + CLEAR_SCREEN + HOME
            self._started = True
        self.stream.write(head + "".join(line + CLEAR_LINE_END + "\n" for line in lines) + CLEAR_BELOW)
        self.stream.flush()

    def close(self) -> None:
        if self.live and self._started:
            self.stream.write(SHOW_CURSOR)
            self.stream.flush()


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
