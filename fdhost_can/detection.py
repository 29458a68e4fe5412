"""What ``can.detect_available_configs(interfaces=["fdhost"])`` lists: every virtual bus of the user
(``virtual:<name>``: a Bus joins it whoever else is on it), with the bit timing this process's own
Buses on it use, and the adapters a Bus could open now: not those this process has open, nor those
another program has claimed (sysfs shows its interfaces bound to ``usbfs``), nor those this user may
not open. Looking claims, plugs and configures nothing."""
from __future__ import annotations

import logging
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
        # The library virtual: channels run on, set up as a Bus finds it (no adapter of its own).
        names = sorted(virtual.controller().can_buses())
    except (virtual.VadError, OSError) as e:
        _log.debug("fdhost virtual buses cannot be listed: %s", e)
        return []
    timing = {b.virtual_bus: b.timing for b in open_buses if b.virtual_bus is not None}
    return [{"interface": INTERFACE, "channel": f"virtual:{name}", **timing.get(name, {})} for name in names]


def adapter_configs(open_buses: Iterable[OpenBus]) -> list[dict[str, object]]:
    """The adapters a Bus could open now, by serial."""
    try:
        listed = adapters.listed()
    except Exception as e:  # noqa: BLE001 - detection must not fail (no usable libusb-1.0, say)
        _log.debug("fdhost adapter detection failed: %s", e)
        return []
    mine = {b.serial for b in open_buses}
    return [{"interface": INTERFACE, "channel": a.serial} for a in listed
            if a.serial and not a.error and a.serial not in mine and not adapters.usage(a.bus, a.ports).startswith("in use")]


def available_configs(open_buses: Iterable[OpenBus]) -> list[dict[str, object]]:
    buses = list(open_buses)
    # Virtual buses first: the virtual adapter library is then set up as a Bus would find it, also
    # when $FDHOST_LIBUSB makes the adapters below be looked for on it.
    return virtual_configs(buses) + adapter_configs(buses)
