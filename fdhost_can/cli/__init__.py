"""``fdhost-can``: the command line of the fdhost interface, with can-utils' habits.

    fdhost-can list                          adapters plugged in, virtual buses in use
    fdhost-can dump CHANNEL[,FILTER]*        frames as candump shows and logs them
    fdhost-can send CHANNEL FRAME...         frames in cansend's grammar
    fdhost-can gen CHANNEL                   traffic as cangen makes it
    fdhost-can top CHANNEL                   bus load, rates and identifiers, live
    fdhost-can udev                          the udev rule for using the adapter without root

CHANNEL is what ``can.Bus(interface="fdhost", channel=...)`` takes: an adapter serial or
``virtual:<name>``. Each subcommand is one module here with ``NAME``, ``HELP``, ``DESCRIPTION``,
``add_arguments(parser)`` and ``run(args, stop) -> exit status``.
"""
from __future__ import annotations

import argparse
import logging
import os
import sys
from typing import Optional, Sequence

from . import dump, gen, listing, send, top, udev
from .common import PROG, ArgumentParser, CliError, StopRequest

COMMANDS = (listing, dump, send, gen, top, udev)


def build_parser() -> ArgumentParser:
    from .. import __version__

    parser = ArgumentParser(prog=PROG, description="CAN and CAN FD on fdhost adapters and virtual buses, "
                                                   "with the habits of can-utils.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for module in COMMANDS:
        sub = commands.add_parser(module.NAME, help=module.HELP, description=module.DESCRIPTION,
                                  epilog=getattr(module, "EPILOG", None),
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        module.add_arguments(sub)
        sub.set_defaults(run=module.run)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one subcommand; returns its exit status (1 for bad input, 128 + signal when stopped)."""
    logging.basicConfig(level=logging.WARNING, format=f"{PROG}: %(message)s")
    stop = StopRequest()
    where = PROG
    try:
        args, unknown = build_parser().parse_known_args(argv)
        where = f"{PROG} {args.command}"
        if unknown:  # named here, so that the line says which command did not expect them
            raise CliError(f"unrecognized arguments: {' '.join(unknown)} (see {where} --help)")
        with stop.installed():
            status: int = args.run(args, stop)
            return status
    except CliError as e:
        print(f"{e.where or where}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # a second Ctrl-C while the first was being handled
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): end quietly, as a piped tool does.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 141
