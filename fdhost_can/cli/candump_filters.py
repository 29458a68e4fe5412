"""candump's ``CHANNEL[,FILTER]*`` argument and its filters, decided as the Linux CAN layer
decides them for candump.

- ``<id>:<mask>`` passes a frame when ``raw_id & mask == id & mask``; ``<id>~<mask>`` when they
  differ. ``raw_id`` carries bit 31 for an extended identifier and bit 30 for a remote frame
  (see :func:`candump_format.raw_can_id`), so ``123:7FF`` passes 123 in both formats while
  ``123:C00007FF`` passes only the standard data frame. An id written with 8 digits sets bit 31,
  which counts only where the mask has bit 31 (``12345678:DFFFFFFF``).
- Several filters pass a frame when any passes; with ``j`` (join) only when all do.
- ``#<mask>`` selects error frames by their class bits. Error frames pass only with one.
- Without an identifier filter every data frame passes (``0:0``).

Fields are 1 to 8 hex digits without ``0x``; anything else is refused.
"""
from __future__ import annotations

import re
from dataclasses import dataclass

import can

from .candump_format import raw_can_id
from .common import CliError

CAN_EFF_FLAG = 0x80000000
CAN_ERR_FLAG = 0x20000000
_ID_FILTER = re.compile(r"([0-9A-Fa-f]{1,8})([:~])([0-9A-Fa-f]{1,8})")
_ERROR_FILTER = re.compile(r"#([0-9A-Fa-f]{1,8})")


@dataclass(frozen=True)
class IdFilter:
    can_id: int
    can_mask: int
    inverted: bool = False

    def passes(self, raw_id: int) -> bool:
        return ((raw_id & self.can_mask) == (self.can_id & self.can_mask)) != self.inverted


@dataclass(frozen=True)
class FilterSet:
    filters: tuple[IdFilter, ...] = ()
    join: bool = False
    error_mask: int = 0

    def passes(self, msg: can.Message) -> bool:
        if msg.is_error_frame:
            return bool(self.error_mask) and (msg.arbitration_id == 0 or bool(msg.arbitration_id & self.error_mask))
        if not self.filters:
            return True
        raw_id = raw_can_id(msg)
        decide = all if self.join else any
        return decide(f.passes(raw_id) for f in self.filters)


def parse_filter(text: str) -> IdFilter:
    m = _ID_FILTER.fullmatch(text)
    if not m:
        raise CliError(f"filter {text!r}: expected <id>:<mask> or <id>~<mask> in hex, j, or #<error mask>")
    can_id, mask = int(m[1], 16), int(m[3], 16)
    if len(m[1]) == 8:
        can_id |= CAN_EFF_FLAG
    # Bit 29 of the mask would select error frames; candump clears it for identifier filters.
    return IdFilter(can_id, mask & ~CAN_ERR_FLAG, inverted=m[2] == "~")


def parse_channel_argument(argument: str) -> tuple[str, FilterSet]:
    """``CHANNEL[,FILTER]*`` split into the channel and its filters."""
    channel, *texts = argument.split(",")
    if not channel:
        raise CliError(f"{argument!r}: the channel comes first, e.g. virtual:demo,123:7FF")
    filters, join, error_mask = [], False, 0
    for text in texts:
        if text in ("j", "J"):
            join = True
        elif m := _ERROR_FILTER.fullmatch(text):
            error_mask = int(m[1], 16)
        else:
            filters.append(parse_filter(text))
    return channel, FilterSet(tuple(filters), join, error_mask)
