"""``fdhost-can send``: frames written in cansend's grammar, sent in order."""
from __future__ import annotations

import argparse

from . import busopen
from .common import PROG, StopRequest, say
from .frames import parse_frame

NAME = "send"
HELP = "send frames written as cansend writes them"
DESCRIPTION = "Sends each FRAME on CHANNEL, in order. Every frame is checked before the bus is opened."
EPILOG = """\
frames:
  123#DEADBEEF        standard identifier (3 hex digits), 0 to 8 data bytes
  12345678#00.11.22   extended identifier (8 hex digits); '.' may separate bytes
  123#R  123#R3       remote frame, asking for 0 or <len> (0 to 8) bytes
  213##311223344      CAN FD (opens the bus in FD mode): '##', a flags digit (1 bitrate
                      switch, 2 error state indicator), 0 to 64 data bytes; a length CAN FD
                      cannot carry is rounded up with zero bytes (10 bytes -> 12)

example:
  fdhost-can send virtual:demo 123#DEADBEEF 12345678##1.00.11.22.33
"""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("channel", metavar="CHANNEL", help="an adapter serial or virtual:<name>")
    parser.add_argument("frames", metavar="FRAME", nargs="+", help="a frame in cansend's grammar")
    busopen.add_patience_option(parser)
    busopen.add_bus_options(parser)


def run(args: argparse.Namespace, stop: StopRequest) -> int:
    messages = [parse_frame(text) for text in args.frames]
    sent = 0
    with busopen.open_bus(args.channel, args, fd=any(m.is_fd for m in messages)) as bus:
        for msg in messages:
            if stop.requested or not busopen.send_frame(bus, msg, stop, args.timeout):
                break
            sent += 1
    if stop.requested:
        say(f"{PROG} {NAME}: stopped, {sent} of {len(messages)} frame{'s' if len(messages) != 1 else ''} sent")
    return stop.exit_status()
