"""``fdhost-can dump``: the frames on a bus in candump's screen or log format."""
from __future__ import annotations

import argparse
import sys
import time
from typing import TextIO

import can

from . import busopen
from .candump_filters import FilterSet, parse_channel_argument
from .candump_format import TIMESTAMP_MODES, LineOutput, LogFormat, ScreenFormat
from .common import PROG, CliError, StopRequest, positive_int, say

NAME = "dump"
HELP = "print the frames on a bus (candump's formats and filters)"
DESCRIPTION = "Prints every frame on CHANNEL that passes the filters, as candump prints it."
EPILOG = """\
filters (after the channel, comma-separated, hexadecimal):
  <id>:<mask>   passes when received_id & mask == id & mask
  <id>~<mask>   passes when received_id & mask != id & mask
  j             join: a frame must pass every filter, not just one
  #<mask>       error frames whose class bits meet the mask
  An 8-digit id is an extended one; that counts where the mask has bit 31 (e.g. 12345678:DFFFFFFF).
  Bit 30 of a mask is the remote-request bit: 123:C00007FF passes only standard data frames 123.

examples:
  fdhost-can dump virtual:demo
  fdhost-can dump virtual:demo,123:7FF,400:700 -t a -x
  fdhost-can dump virtual:demo -L > demo.log          (log format; read by can.CanutilsLogReader)

Ctrl-C ends it with a summary on standard error (exit status 0).
"""

# Longest wait for a frame before the loop looks at Ctrl-C and the -T limit again.
_POLL_S = 0.25


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("channel", metavar="CHANNEL[,FILTER]*",
                        help="an adapter serial or virtual:<name>, then optional filters")
    parser.add_argument("-t", dest="timestamp", choices=TIMESTAMP_MODES,
                        help="timestamps: a absolute, A absolute with date, d delta, z from the first frame")
    parser.add_argument("-n", dest="count", type=positive_int, metavar="COUNT", help="end after COUNT frames")
    parser.add_argument("-T", dest="silence_ms", type=positive_int, metavar="MS",
                        help="end when no frame came for MS milliseconds")
    parser.add_argument("-x", dest="extra", action="store_true",
                        help="show the direction (RX/TX) and CAN FD flags (B bitrate switch, E error state)")
    parser.add_argument("-L", dest="log_stdout", action="store_true", help="log format on standard output")
    parser.add_argument("-l", dest="log_dated", action="store_true",
                        help="log into fdhost-can-<date>_<time>.log here (nothing on standard output)")
    parser.add_argument("-f", dest="log_file", metavar="FILE",
                        help="log into FILE (nothing on standard output); '-' is the same as -L")
    busopen.add_name_option(parser)
    busopen.add_bus_options(parser)


def run(args: argparse.Namespace, stop: StopRequest) -> int:
    channel, filters = parse_channel_argument(args.channel)
    name = busopen.display_name(channel, args.name)
    log_stdout = args.log_stdout or args.log_file == "-"
    log_path = args.log_file if args.log_file not in (None, "-") else None
    if args.log_dated and args.log_file is None:
        log_path = time.strftime("fdhost-can-%Y-%m-%d_%H%M%S.log")

    with busopen.open_bus(channel, args) as bus:
        log_file = _open_log(log_path) if log_path is not None else None
        output = LineOutput(log_file or sys.stdout, flush_each=log_file is None)
        fmt = (LogFormat if log_file or log_stdout else ScreenFormat)(name, args.timestamp, args.extra)
        try:
            counts = _receive(bus, filters, output, fmt, args, stop)
        finally:
            if log_file is not None:
                log_file.close()
        drops = busopen.dropped(bus)
    shown, received, seconds = counts
    filtered = f" of {received} received" if received != shown else ""
    say(f"{PROG} {NAME}: {shown} frame{'s' if shown != 1 else ''}{filtered} in {seconds:.1f} s, {drops} dropped")
    return stop.exit_status()


def _open_log(path: str) -> TextIO:
    try:
        log_file = open(path, "w", encoding="utf-8")
    except OSError as e:
        raise CliError(f"cannot write the log {path}: {e.strerror}") from e
    say(f"{PROG} {NAME}: logging to {path}")
    return log_file


def _receive(bus: can.BusABC, filters: FilterSet, output: LineOutput, fmt: LogFormat | ScreenFormat, args: argparse.Namespace,
             stop: StopRequest) -> tuple[int, int, float]:
    """Receives until Ctrl-C, ``-n`` or ``-T``; returns frames shown, frames received, seconds."""
    shown = received = 0
    silence_s = args.silence_ms / 1000 if args.silence_ms else None
    start = last_shown = time.monotonic()
    while not stop.requested:
        wait = _POLL_S
        if silence_s is not None:
            wait = min(wait, last_shown + silence_s - time.monotonic())
            if wait <= 0:
                break
        try:
            msg = bus.recv(wait)
        except can.CanError as e:
            raise CliError(f"receiving failed: {e}") from e
        if msg is None:
            continue
        received += 1
        if not filters.passes(msg):
            continue
        last_shown = time.monotonic()
        output.write(fmt.line(msg))
        shown += 1
        if args.count and shown >= args.count:
            break
    return shown, received, time.monotonic() - start
