"""The adapters connected, by serial: found and read through the adapter core without claiming
anything, so listing disturbs no program that is using one. Whether another program has one claimed
is read from Linux's sysfs: a claimed interface is bound to the driver ``usbfs``."""
from __future__ import annotations

import os
from pathlib import Path
from typing import NamedTuple, Optional, Sequence

from . import _native


SYSFS_USB = Path("/sys/bus/usb/devices")


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


def usage(bus: int, port_numbers: Optional[Sequence[int]], sysfs: Path = SYSFS_USB) -> str:
    """Whether a program (``usbfs``) or a kernel driver holds one of the device's interfaces."""
    if not port_numbers:
        return "unknown"
    device = f"{bus}-{'.'.join(str(p) for p in port_numbers)}"
    if not (sysfs / device).is_dir():
        return "unknown"
    drivers = set()
    for interface in sysfs.glob(device + ":*"):
        link = interface / "driver"
        if link.is_symlink():
            drivers.add(os.path.basename(os.readlink(link)))
    if "usbfs" in drivers:
        return "in use"
    if drivers:
        return f"in use (kernel driver {', '.join(sorted(drivers))})"
    return "free"
