"""What ``can.detect_available_configs(interfaces=["fdhost"])`` lists: every virtual bus of the user
(``virtual:<name>``: a Bus joins it whoever else is on it), with the bit timing this process's own
Buses on it use, and the adapters a Bus could open now: not those this process has open, nor those
another program has claimed (sysfs shows its interfaces bound to ``usbfs``), nor those this user may
not open. Looking claims, plugs and configures nothing: the virtual buses are listed without
making the virtual adapter library's model (where $FDHOST_LIBUSB has adapters looked for on that
library, a rig without hardware, the model is made as a Bus finds it: with no adapter of its own)."""
from __future__ import annotations

import logging
import os
from typing import Iterable, NamedTuple, Optional

from . import adapters, virtual

_log = logging.getLogger("can.fdhost")
INTERFACE = "fdhost"


class OpenBus(NamedTuple):
    """What detection needs of a Bus open in this process."""
    serial: str                   # its adapter's
    virtual_bus: Optional[str]    # the virtual bus it is on; None on hardware
    timing: dict[str, object]     # the keys that open another Bus at its bit timing


def virtual_configs(open_buses: Iterable[OpenBus]) -> list[dict[str, object]]:
    """Every virtual bus of the user, in this process or another."""
    try:
        names = sorted(virtual.can_buses_in_use())
    except (virtual.VadError, OSError) as e:
        _log.debug("fdhost virtual buses cannot be listed: %s", e)
        return []
    timing = {b.virtual_bus: b.timing for b in open_buses if b.virtual_bus is not None}
    return [{"interface": INTERFACE, "channel": f"virtual:{name}", **timing.get(name, {})} for name in names]


def _adapters_on_the_virtual_library() -> bool:
    """Whether $FDHOST_LIBUSB makes adapters be looked for on the virtual adapter library (a rig
    without hardware)."""
    named = os.environ.get("FDHOST_LIBUSB")
    if not named:
        return False
    try:
        return os.path.samefile(named, virtual.library_path())
    except OSError:
        return False


def adapter_configs(open_buses: Iterable[OpenBus]) -> list[dict[str, object]]:
    """The adapters a Bus could open now, by serial."""
    try:
        if _adapters_on_the_virtual_library():
            # Looking for adapters there makes its model: as a Bus finds it, with no adapter of its
            # own, rather than with the one it has by default.
            virtual.controller()
        listed = adapters.listed()
    except Exception as e:  # noqa: BLE001 - detection must not fail (no usable libusb-1.0, say)
        _log.debug("fdhost adapter detection failed: %s", e)
        return []
    mine = {b.serial for b in open_buses}
    return [{"interface": INTERFACE, "channel": a.serial} for a in listed
            if a.serial and not a.error and a.serial not in mine and not adapters.usage(a.bus, a.ports).startswith("in use")]


def available_configs(open_buses: Iterable[OpenBus]) -> list[dict[str, object]]:
    buses = list(open_buses)
    return virtual_configs(buses) + adapter_configs(buses)
