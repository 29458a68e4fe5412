"""The bus a command works on: its options, the one function that opens it (tests put python-can's
own ``virtual`` interface in its place), and sending with a bounded wait for the transmit queue."""
from __future__ import annotations

import argparse
import time
from typing import Any, Callable, Optional

import can

from ..timing import DEFAULT_BITRATE
from .common import CliError, StopRequest, non_negative_float, positive_int

INTERFACE = "fdhost"
# Longest name a frame line carries by default: a Linux interface name's limit, which can-utils'
# log tools rely on (they read at most 21 characters of it).
NAME_MAX = 15
# A send waits this long for room in the transmit queue per attempt, so that Ctrl-C is seen
# between attempts even while the bus takes nothing.
_SEND_SLICE_S = 0.2


def add_bus_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("bus")
    group.add_argument("--bitrate", type=positive_int, metavar="BIT/S",
                       help=f"nominal bitrate (default {DEFAULT_BITRATE})")
    group.add_argument("--data-bitrate", type=positive_int, metavar="BIT/S",
                       help="CAN FD data-phase bitrate; implies --fd (default: the nominal bitrate)")
    group.add_argument("--fd", action="store_true", help="open the bus in CAN FD mode")


def add_name_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--name", metavar="NAME",
                        help=f"channel name printed on each line (default: CHANNEL; one longer than {NAME_MAX} "
                             f"characters, such as an adapter serial, is shortened to its last {NAME_MAX}, "
                             "since can-utils' log tools expect an interface name)")


def display_name(channel: str, name: Optional[str]) -> str:
    if name is not None:
        if not name or not name.isprintable() or any(c.isspace() for c in name):
            raise CliError(f"--name {name!r}: a name is printable and has no spaces")
        return name
    return channel[-NAME_MAX:]


def bitrates(args: argparse.Namespace) -> tuple[int, int]:
    """The nominal and data-phase rates the bus is opened with (bit/s)."""
    nominal = args.bitrate or DEFAULT_BITRATE
    return nominal, (args.data_bitrate or nominal)


def open_bus(channel: str, args: argparse.Namespace, fd: bool = False, receive_own: bool = False) -> can.BusABC:
    """``can.Bus(interface="fdhost", channel=channel)`` at the rates of ``args``; CAN FD when
    ``args`` asks for it or the command needs it (``fd``); with ``receive_own`` the adapter's
    reports of the frames it sent come back too. Failures become one ``CliError`` line."""
    nominal, data = bitrates(args)
    options: dict[str, Any] = {"bitrate": nominal, "fd": bool(fd or args.fd or args.data_bitrate),
                               "receive_own_messages": receive_own}
    if args.data_bitrate:
        options["data_bitrate"] = data
    try:
        return can.Bus(interface=INTERFACE, channel=channel, **options)
    except (can.CanError, ValueError, OSError, ImportError) as e:
        raise CliError(f"cannot open {channel}: {e}") from e


def send_frame(bus: can.BusABC, msg: can.Message, stop: StopRequest, patience_s: float,
               why: Callable[[], str] = lambda: "the bus took no frame meanwhile") -> bool:
    """Sends ``msg``, waiting up to ``patience_s`` for room in the transmit queue; False when a
    stop was requested first. A bus that takes nothing for that long, or fails, is a CliError
    (``why`` says what held the queue up)."""
    deadline = time.monotonic() + patience_s
    while True:
        try:
            bus.send(msg, timeout=min(_SEND_SLICE_S, patience_s))
            return True
        except can.CanOperationError as e:
            if not isinstance(e.__cause__, TimeoutError):
                raise CliError(f"sending failed: {e}") from e
            if time.monotonic() >= deadline:
                raise CliError(f"the transmit queue stayed full for {patience_s:g} s: {why()}") from e
        if stop.requested:
            return False


def add_patience_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--timeout", type=non_negative_float, default=5.0, metavar="S",
                        help="give up when a frame finds no room in the transmit queue, or the frames handed to "
                             "the adapter stop leaving the bus, for S seconds (default 5)")


def dropped(bus: can.BusABC) -> int:
    """Frames the bus's receive queue dropped so far (0 for a bus that does not count them)."""
    return int(getattr(bus, "dropped_frames", 0) or 0)
