"""``CHANNEL@BITRATE``: the bitrate written after the channel, as in ``can0@500000``;
``@NOMINAL:DATA`` adds the CAN FD data-phase rate (which, like ``--data-bitrate``, means CAN FD).
Rates are bit/s, optionally with ``k`` or ``M`` (``@500k``, ``@1M:5M``). Virtual bus names have no
``@``, so the last one starts the rates."""
from __future__ import annotations

import argparse
import copy
import re
from typing import Optional

from .common import CliError

_RATE = re.compile(r"([0-9]+(?:\.[0-9]+)?)([kM]?)")
_SCALE = {"": 1, "k": 1_000, "M": 1_000_000}


def _rate(text: str, whole: str) -> int:
    m = _RATE.fullmatch(text)
    value = round(float(m[1]) * _SCALE[m[2]]) if m else 0
    if value < 1:
        raise CliError(f"{whole!r}: a rate after '@' is bit/s, e.g. can0@500000, virtual:demo@1M:5M")
    return value


def split_rates(text: str) -> tuple[str, Optional[int], Optional[int]]:
    """The channel and the nominal and data rates written after it (None where none are)."""
    channel, at, rates = text.rpartition("@")
    if not at:
        return text, None, None
    if not channel:
        raise CliError(f"{text!r}: the channel comes before '@'")
    nominal, colon, data = rates.partition(":")
    return channel, _rate(nominal, text), (_rate(data, text) if colon else None)


def with_rates(text: str, args: argparse.Namespace) -> tuple[str, argparse.Namespace]:
    """The channel of ``text`` and a copy of ``args`` with the rates written after it, which must
    agree with ``--bitrate`` / ``--data-bitrate`` where both are given."""
    channel, nominal, data = split_rates(text)
    out = copy.copy(args)
    for option, attribute, value in (("--bitrate", "bitrate", nominal), ("--data-bitrate", "data_bitrate", data)):
        given = getattr(args, attribute, None)
        if value is None:
            continue
        if given is not None and given != value:
            raise CliError(f"{text!r} says {value} bit/s, {option} {given}: give the rate once")
        setattr(out, attribute, value)
    return channel, out
