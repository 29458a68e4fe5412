"""``any``: every adapter plugged in and every virtual bus of this user's that has adapters on it,
as candump's ``any`` takes every CAN interface. Adapters are found in Linux's sysfs, so that
looking opens nothing; virtual buses through the virtual adapter library (as ``fdhost-can list``
does)."""
from __future__ import annotations

from pathlib import Path

from ..channels import VIRTUAL_PREFIX
from ..usbids import PRODUCT_ID, VENDOR_ID

ANY = "any"
SYSFS_USB = Path("/sys/bus/usb/devices")


def _read(path: Path) -> str:
    try:
        return path.read_text(encoding="utf-8", errors="replace").strip()
    except OSError:
        return ""


def adapter_serials(sysfs: Path = SYSFS_USB) -> list[str]:
    """Serials of the adapters plugged in (those without one cannot be named, and are left out)."""
    found = []
    for device in sorted(sysfs.glob("*")):
        if _read(device / "idVendor") == f"{VENDOR_ID:04x}" and _read(device / "idProduct") == f"{PRODUCT_ID:04x}":
            if serial := _read(device / "serial"):
                found.append(serial)
    return found


def virtual_buses() -> list[str]:
    from .. import virtual

    try:
        return sorted(virtual.can_buses_in_use())
    except (OSError, virtual.VadError):
        return []


def channels() -> list[str]:
    return adapter_serials() + [VIRTUAL_PREFIX + name for name in virtual_buses()]
