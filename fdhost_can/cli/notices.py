"""Notes on standard error, each said once, where a command's bus is less than the user expects:
a virtual bus with nobody else on it (virtual buses belong to one user), and frames whose error
state indicator the adapter cannot send."""
from __future__ import annotations

import contextlib
import logging
import os
import pwd
from typing import Iterable, Iterator

import can

from ..channels import VirtualChannel, parse_channel
from .common import PROG, say


def _user() -> str:
    try:
        return pwd.getpwuid(os.geteuid()).pw_name
    except KeyError:
        return f"uid {os.geteuid()}"


def alone_on_virtual_bus(bus: can.BusABC, channel: str, command: str) -> bool:
    """Says so when ``bus``, a Bus on a virtual channel, is the only adapter on its virtual bus."""
    index = getattr(bus, "virtual_adapter", None)
    try:
        parsed = parse_channel(channel)
    except can.CanError:
        return False
    if index is None or not isinstance(parsed, VirtualChannel):
        return False
    from .. import virtual

    try:
        others = virtual.controller().can_buses().get(parsed.bus, 0) - 1
    except (virtual.VadError, OSError):
        return False
    if others > 0:
        return False
    namespace = os.environ.get("FDHOST_VADAPTER_NAMESPACE")
    scope = f"user {_user()}" + (f", namespace {namespace}" if namespace else "")
    say(f"{PROG} {command}: nothing else is on {channel} ({scope}): virtual buses belong to one user, so "
        f"another user's {channel} is another bus" + (", and frames wait for a node to acknowledge them"
                                                      if command != "dump" else ""))
    return True


def esi_not_sent(messages: Iterable[can.Message], command: str) -> None:
    """Says once that the error state indicator of these frames is not sent."""
    for msg in messages:
        if msg.is_fd and msg.error_state_indicator:
            say(f"{PROG} {command}: the adapter's transmit record has no error state indicator: "
                "CAN FD frames go out without it (ESI 0)")
            return


@contextlib.contextmanager
def bus_repeats_left_out() -> Iterator[None]:
    """While a command gives its own account of the frames it sends (ESI, frames not sent), the
    Bus's warnings saying the same are left out."""
    from ..bus import ESI_NOT_SENT, UNSENT_AT_CLOSE
    from ..log import logger

    def keep(record: logging.LogRecord) -> bool:
        return record.msg not in (ESI_NOT_SENT, UNSENT_AT_CLOSE)

    logger.addFilter(keep)
    try:
        yield
    finally:
        logger.removeFilter(keep)
