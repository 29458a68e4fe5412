"""Where an fdhost Bus reports: the ``logging`` logger ``can.fdhost``, never standard output.

The adapter core reports with a level of its own choosing (opening steps at debug level, a time
stamp problem or a full receive queue as warnings, an unplug or a failed read as errors); the
binding hands each report to ``emit`` as a call into it returns.
"""
from __future__ import annotations

import logging

LOGGER_NAME = "can.fdhost"
logger = logging.getLogger(LOGGER_NAME)
# Without this, a program that configured no logging would get the warnings and errors on standard
# error from logging's last resort; a Bus writes nothing there. Configured handlers see them all.
logger.addHandler(logging.NullHandler())


def emit(level: int, text: str) -> None:
    """One report of the adapter core, at logging's ``level``."""
    logger.log(level, "%s", text)
