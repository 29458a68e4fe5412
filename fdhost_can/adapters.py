"""The adapters connected, by serial: found and read through the adapter core without claiming
anything, so listing disturbs no program that is using one."""
from __future__ import annotations

from typing import NamedTuple, Optional

from . import _native


class Listed(NamedTuple):
    serial: str          # "" when it has none or it cannot be read
    bus: int
    address: int
    ports: list[int]     # from the root hub; empty when libusb cannot tell
    error: int           # libusb's error code of opening it or reading its serial; 0 when none


def listed(library: Optional[str] = None) -> list[Listed]:
    """Every adapter on the hardware libusb (or on ``library``), sorted by bus and address. Raises
    ``_native.OpenError`` when that libusb cannot be loaded."""
    return [Listed(*row) for row in _native.list_adapters(library)]


def present_serials() -> list[str]:
    """The serial of every adapter connected ("" for one whose serial cannot be read)."""
    return [a.serial for a in listed()]
