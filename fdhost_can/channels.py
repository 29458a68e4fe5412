"""The ``channel`` of an fdhost Bus: which adapter, or which virtual bus, it opens.

- An adapter's serial, in any case (serials are compared in upper case).
- A number: python-can's configuration files and ``--bus-kwargs`` turn a numeric text into an int,
  so the serial "0012345" arrives as 12345. It is matched as its decimal text, and, because the
  leading zeros are gone, also against all-digit serials of the same value.
- ``"virtual:<name>"``: a fresh virtual adapter on the virtual bus ``<name>`` (1 to 64 characters:
  letters, digits and ``_ . + : -``; names are case-sensitive).
- None or an empty text: the only adapter present.
"""
from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Sequence, Union

import can

VIRTUAL_PREFIX = "virtual:"
_VIRTUAL_NAME = re.compile(r"[A-Za-z0-9_.+:-]{1,64}")


@dataclass(frozen=True)
class AdapterChannel:
    """An adapter chosen by serial (upper case), or the only one present when ``serial`` is None."""

    serial: str | None = None
    from_number: bool = False  # given as an int: leading zeros of the serial were lost on the way

    def __str__(self) -> str:
        return self.serial if self.serial is not None else ""


@dataclass(frozen=True)
class VirtualChannel:
    """A virtual adapter plugged onto the named virtual bus."""

    bus: str

    def __str__(self) -> str:
        return VIRTUAL_PREFIX + self.bus


Channel = Union[AdapterChannel, VirtualChannel]


def parse_channel(channel: object) -> Channel:
    """The channel python-can passed, checked; ``can.CanInitializationError`` says what is wrong."""
    if channel is None:
        return AdapterChannel()
    if isinstance(channel, bool) or not isinstance(channel, (int, str)):
        raise can.CanInitializationError(
            f"channel {channel!r}: give an adapter serial, 'virtual:<name>' or None (the only adapter)"
        )
    if isinstance(channel, int):
        if channel < 0:
            raise can.CanInitializationError(f"channel {channel}: a serial number cannot be negative")
        return AdapterChannel(str(channel), from_number=True)
    text = channel.strip()
    if not text:
        return AdapterChannel()
    if text[: len(VIRTUAL_PREFIX)].lower() == VIRTUAL_PREFIX:
        name = text[len(VIRTUAL_PREFIX):]
        if not _VIRTUAL_NAME.fullmatch(name):
            raise can.CanInitializationError(
                f"channel {channel!r}: a virtual bus name has 1 to 64 characters, "
                "each a letter, a digit or one of _ . + : -"
            )
        return VirtualChannel(name)
    if not text.isprintable() or any(c.isspace() for c in text):
        raise can.CanInitializationError(f"channel {channel!r}: a serial has no spaces or control characters")
    return AdapterChannel(text.upper())


def _listing(serials: Sequence[str]) -> str:
    return ", ".join(s if s else "(no serial)" for s in serials) or "none"


def select_serial(wanted: AdapterChannel, present: Sequence[str]) -> str:
    """The serial, spelled as the adapter reports it, of the one adapter ``wanted`` names among the
    adapters ``present``; ``can.CanInitializationError`` when there is not exactly one."""
    if wanted.serial is None:
        if len(present) == 1:
            return present[0]
        if not present:
            raise can.CanInitializationError("no fdhost adapter is connected")
        raise can.CanInitializationError(
            f"{len(present)} fdhost adapters are connected ({_listing(present)}); choose one with channel=<serial>"
        )
    matches = [s for s in present if s.upper() == wanted.serial]
    if not matches and wanted.from_number:
        value = int(wanted.serial)
        matches = [s for s in present if s.isascii() and s.isdigit() and int(s) == value]
    if len(matches) == 1:
        return matches[0]
    if not matches:
        raise can.CanInitializationError(
            f"no fdhost adapter with serial {wanted.serial} (connected: {_listing(present)})"
        )
    raise can.CanInitializationError(f"serial {wanted.serial} names several adapters: {_listing(matches)}")
