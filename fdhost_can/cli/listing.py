"""``fdhost-can list``: the adapters plugged in and the virtual buses in use.

Adapters are found through the adapter core and never claimed, so listing disturbs no program that
is using one. Whether another program has one claimed is read from Linux's sysfs: a claimed
interface is bound to the driver ``usbfs``. Elsewhere (and for the virtual adapter library, which
has no sysfs entries) the state shows as ``unknown``.
"""
from __future__ import annotations

import argparse
from dataclasses import dataclass

from .common import PROG, CliError, StopRequest
from .. import _native, adapters as found_adapters

NAME = "list"
HELP = "list the adapters plugged in and the virtual buses in use"
DESCRIPTION = "Lists each adapter (serial, USB bus:address, whether a program is using it) and the virtual buses in use."

KQ_DEV_MAX = 8  # adapters the extension enumerates; a later one cannot be opened


@dataclass(frozen=True)
class Adapter:
    serial: str
    bus: int
    address: int
    state: str  # free, in use, in use (kernel driver X), unknown


def add_arguments(parser: argparse.ArgumentParser) -> None:
    pass


def run(args: argparse.Namespace, stop: StopRequest) -> int:
    adapters = find_adapters()
    print("adapters:")
    if adapters:
        width = max(len("SERIAL"), *(len(a.serial) for a in adapters))
        print(f"  {'SERIAL':<{width}}  {'BUS:ADDRESS':<11}  STATE")
        for a in adapters:
            print(f"  {a.serial:<{width}}  {f'{a.bus}:{a.address}':<11}  {a.state}")
        if len(adapters) > KQ_DEV_MAX:
            print(f"  (the fdhost extension opens only the first {KQ_DEV_MAX} of these, by bus and address)")
    else:
        print("  none")
    print("virtual buses in use:")
    for line in virtual_buses_in_use() or ["none"]:
        print(f"  {line}")
    return 0


def virtual_buses_in_use() -> list[str]:
    """One line per virtual bus the user's programs have adapters on (``virtual:<name>`` and how
    many), read through the virtual adapter library; none without the library.

    The library is loaded beside the libusb the adapters are found on, not in its place, so the
    adapters listed above are still the real ones.
    """
    from .. import virtual

    try:
        buses = virtual.can_buses_in_use()
    except OSError:  # not installed or not built
        return []
    except virtual.VadError as e:  # another library named, or refused
        return [f"(cannot be listed: {e})"]
    return [f"virtual:{name}  {count} adapter{'s' if count != 1 else ''}" for name, count in sorted(buses.items())]


def find_adapters() -> list[Adapter]:
    try:
        listed = found_adapters.listed()
    except _native.OpenError as e:
        raise CliError(f"{e} (Debian: apt-get install libusb-1.0-0)") from e
    return [Adapter(_serial_text(a), a.bus, a.address, _state(a)) for a in listed]


def _state(a: found_adapters.Listed) -> str:
    state = found_adapters.usage(a.bus, a.ports)
    if a.error == _native.LIBUSB_ERROR_ACCESS:
        state += f", no access for this user (see {PROG} udev)"
    return state


def _serial_text(a: found_adapters.Listed) -> str:
    """The serial string (read by the kernel where this user may not open the adapter), or why it
    cannot be read."""
    if a.error == _native.LIBUSB_ERROR_ACCESS:
        return a.serial or f"(no access: see {PROG} udev)"
    if a.error:
        return f"(serial unreadable: {_native.error_name(a.error)})"
    return a.serial or "(no serial)"
