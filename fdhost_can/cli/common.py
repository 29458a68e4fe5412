"""What every subcommand shares: the one-line error for bad input, an argument parser that reports
its errors that way, and an orderly end on Ctrl-C (SIGINT), SIGTERM or SIGHUP."""
from __future__ import annotations

import argparse
import contextlib
import signal
import sys
import threading
from typing import Iterator, NoReturn, Optional

PROG = "fdhost-can"


class CliError(Exception):
    """Bad input, or a failure the user can act on: printed as one line, exit status 1.

    ``where`` is the prefix of that line (``fdhost-can dump``, say); None lets ``main`` name the
    command that was running.
    """

    def __init__(self, message: str, where: Optional[str] = None) -> None:
        super().__init__(message)
        self.where = where


class ArgumentParser(argparse.ArgumentParser):
    """argparse, but a bad option ends as every other bad input does: one line, status 1."""

    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see {self.prog} --help)", where=self.prog)


def say(line: str) -> None:
    """A status line (summaries, notices) on standard error, so standard output stays data."""
    print(line, file=sys.stderr, flush=True)


class StopRequest:
    """Set by SIGINT, SIGTERM or SIGHUP while a command runs, so its loop can end between frames
    (never halfway through writing one) and print its summary.

    A second Ctrl-C raises KeyboardInterrupt at once, for a command stuck somewhere unexpected.
    Signal handlers exist only in the main thread; a command run in another thread (the tests do
    that) ends by its own count or time limit.
    """

    def __init__(self) -> None:
        self._event = threading.Event()
        self.signum: Optional[int] = None

    @property
    def requested(self) -> bool:
        return self._event.is_set()

    def wait(self, seconds: float) -> bool:
        """Sleeps up to ``seconds`` (any finite or infinite number: the longest sleep the platform
        takes at once is repeated); True (early) when a stop was requested."""
        while seconds > 0:
            step = min(seconds, threading.TIMEOUT_MAX)
            if self._event.wait(step):
                return True
            seconds -= step
        return self._event.is_set()

    def request(self, signum: int = signal.SIGINT) -> None:
        if self.signum is None:
            self.signum = signum
        self._event.set()

    def exit_status(self) -> int:
        """0 for a command that ended by itself or by Ctrl-C (the usual way to stop dump, gen and top),
        else 128 + the signal, as shells report it."""
        return 128 + self.signum if self.signum not in (None, signal.SIGINT) else 0

    def _handle(self, signum: int, _frame: object) -> None:
        if self._event.is_set() and signum == signal.SIGINT:
            raise KeyboardInterrupt
        self.request(signum)

    @contextlib.contextmanager
    def installed(self) -> Iterator["StopRequest"]:
        if threading.current_thread() is not threading.main_thread():
            yield self
            return
        signums = [signal.SIGINT, signal.SIGTERM] + ([signal.SIGHUP] if hasattr(signal, "SIGHUP") else [])
        previous = {s: signal.signal(s, self._handle) for s in signums}
        try:
            yield self
        finally:
            for s, handler in previous.items():
                signal.signal(s, handler)


def hex_value(text: str, what: str, max_digits: int = 8) -> int:
    """A hexadecimal field as can-utils write them (no 0x, 1 to ``max_digits`` digits)."""
    if not 1 <= len(text) <= max_digits or any(c not in "0123456789abcdefABCDEF" for c in text):
        raise CliError(f"{what} {text!r}: expected 1 to {max_digits} hexadecimal digits")
    return int(text, 16)


def positive_int(text: str) -> int:
    """argparse type: an integer of at least 1."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} must be at least 1")
    return value


def non_negative_float(text: str) -> float:
    """argparse type: a finite number of at least 0."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r} must be 0 or more")
    return value
