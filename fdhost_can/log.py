"""Where an fdhost Bus reports: the ``logging`` logger ``can.fdhost``, never standard output.

The extension hands each line it would print to a line sink; ``line_sink`` files them under that
logger: "[Error] ..." lines and those it would have written to standard error as errors, the
unprefixed failure lines as warnings, and the rest (found adapter, chosen rates, threads started)
at debug level. ``OpenLines`` also keeps the failure lines of an opening, for its exception.
"""
from __future__ import annotations

import logging
import time

LOGGER_NAME = "can.fdhost"
logger = logging.getLogger(LOGGER_NAME)
# Without this, a program that configured no logging would get the warnings and errors on standard
# error from logging's last resort; a Bus writes nothing there. Configured handlers see them all.
logger.addHandler(logging.NullHandler())

# Failure lines the extension writes without the "[Error]" prefix.
_WARNING_PREFIXES = (
    "Clear halt failed",
    "Failed to obtain serial number",
    "Error during USB cleanup",
    "In unpack_can_frame,",
    "In can_head_type,",
    "In can_value_type,",
    "发送不完整",  # a frame written only in part
)


def line_sink(text: str, to_stderr: bool = False) -> list[str]:
    """Logs each non-empty line of ``text`` at the level its content calls for; returns the lines
    logged as warnings or errors."""
    failures = []
    for line in str(text).splitlines():
        line = line.rstrip()
        if not line:
            continue
        if to_stderr or line.startswith("[Error]"):
            logger.error("%s", line)
        elif line.startswith(_WARNING_PREFIXES):
            logger.warning("%s", line)
        else:
            logger.debug("%s", line)
            continue
        failures.append(line)
    return failures


class OpenLines:
    """The line sink of one fdhost object: logs every line, and keeps the failure lines written
    while ``collecting`` (the opening), so that a failed opening can say what went wrong.

    It holds no reference to the Bus, so the extension object holding it keeps no Bus alive.
    """

    def __init__(self) -> None:
        self.collecting = True
        self.failures: list[str] = []

    def __call__(self, text: str, to_stderr: bool = False) -> None:
        failures = line_sink(text, to_stderr)
        if self.collecting:
            self.failures.extend(failures)


class DropReporter:
    """Logs a full receive queue once per burst: drops closer than ``quiet_s`` apart are one burst.

    Fed the queue's running drop total (cheap to call on every receive); never raises.
    """

    def __init__(self, quiet_s: float = 1.0, log: logging.Logger = logger) -> None:
        self.quiet_s = quiet_s
        self._log = log
        self._seen = 0
        self._last_drop = float("-inf")

    def update(self, total: int) -> None:
        if total <= self._seen:
            return
        now = time.monotonic()
        if now - self._last_drop >= self.quiet_s:
            self._log.warning(
                "receive queue full: the newest %d frame(s) were dropped (%d in all); recv() is not keeping up",
                total - self._seen,
                total,
            )
        self._last_drop = now
        self._seen = total
