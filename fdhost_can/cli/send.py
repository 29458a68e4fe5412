"""``fdhost-can send``: frames written in cansend's grammar, sent in order."""
from __future__ import annotations

import argparse

from . import busopen, notices
from .channel_rate import with_rates
from .common import PROG, StopRequest, say
from .delivery import Delivery
from .frames import parse_frame

NAME = "send"
HELP = "send frames written as cansend writes them"
DESCRIPTION = """\
Sends each FRAME on CHANNEL, in order, and waits until they have left the bus: frames the bus did
not take within --timeout are counted on standard error, with what held them up, and the exit
status is 1. Every frame is checked before the bus is opened."""
EPILOG = """\
frames:
  123#DEADBEEF        standard identifier (3 hex digits), 0 to 8 data bytes
  12345678#00.11.22   extended identifier (8 hex digits); '.' may separate bytes
  123#R  123#R3       remote frame, asking for 0 or <len> (0 to 8) bytes
  213##311223344      CAN FD (opens the bus in FD mode): '##', a flags digit (1 bitrate
                      switch, 2 error state indicator, which the adapter cannot send), 0 to 64
                      data bytes; a length CAN FD cannot carry is rounded up with zero bytes

examples:
  fdhost-can send virtual:demo 123#DEADBEEF 12345678##1.00.11.22.33
  fdhost-can send virtual:demo@250000 123#R
"""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("channel", metavar="CHANNEL", help="an adapter serial or virtual:<name> (@BITRATE may follow)")
    parser.add_argument("frames", metavar="FRAME", nargs="+", help="a frame in cansend's grammar")
    busopen.add_patience_option(parser)
    busopen.add_bus_options(parser)


def run(args: argparse.Namespace, stop: StopRequest) -> int:
    messages = [parse_frame(text) for text in args.frames]
    channel, bus_args = with_rates(args.channel, args)
    notices.esi_not_sent(messages, NAME)
    with notices.bus_repeats_left_out(), \
            busopen.open_bus(channel, bus_args, fd=any(m.is_fd for m in messages), receive_own=True) as bus:
        delivery = Delivery(bus, channel)
        notices.alone_on_virtual_bus(bus, channel, NAME)
        for msg in messages:
            if stop.requested or not busopen.send_frame(bus, msg, stop, args.timeout, delivery.why):
                break
            delivery.handed_one()
        # A frame handed to the adapter is sent once it has left the bus: the command waits for that.
        delivery.wait(args.timeout, stop)
        why = delivery.why() if delivery.outstanding else ""
    total = f"{len(messages)} frame{'s' if len(messages) != 1 else ''}"
    if stop.requested:
        say(f"{PROG} {NAME}: stopped, {delivery.sent} of {total} sent")
        return stop.exit_status() or (1 if delivery.outstanding else 0)
    if delivery.outstanding:
        say(f"{PROG} {NAME}: {delivery.outstanding} of {total} not sent within {args.timeout:g} s: {why}")
        return 1
    return 0
