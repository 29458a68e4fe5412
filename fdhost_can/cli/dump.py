"""``fdhost-can dump``: the frames on one or more buses in candump's screen or log format."""
from __future__ import annotations

import argparse
import contextlib
import queue
import sys
import threading
import time
from dataclasses import dataclass
from typing import Iterator, Optional, TextIO, Union

import can

from . import any_channel, busopen, notices
from .candump_filters import FilterSet, parse_channel_argument
from .candump_format import TIMESTAMP_MODES, LineOutput, LogFormat, ScreenFormat
from .channel_rate import with_rates
from .common import PROG, CliError, StopRequest, positive_int, say

NAME = "dump"
HELP = "print the frames on a bus (candump's formats and filters)"
DESCRIPTION = """\
Prints every frame on CHANNEL that passes the filters, as candump prints it. Several channels are
read together, each line naming its own; 'any' stands for every adapter plugged in and every
virtual bus of yours with adapters on it."""
EPILOG = """\
filters (after the channel, comma-separated, hexadecimal):
  <id>:<mask>   passes when received_id & mask == id & mask
  <id>~<mask>   passes when received_id & mask != id & mask
  j             join: a frame must pass every filter, not just one
  #<mask>       error frames whose class bits meet the mask (-e: all of them)
  An 8-digit id is an extended one; that counts where the mask has bit 31 (e.g. 12345678:DFFFFFFF).
  Bit 30 of a mask is the remote-request bit: 123:C00007FF passes only standard data frames 123.

examples:
  fdhost-can dump virtual:demo
  fdhost-can dump virtual:demo,123:7FF,400:700 -t a -x
  fdhost-can dump any -c -a                           (every bus, coloured, with ASCII)
  fdhost-can dump virtual:demo@500000 -L > demo.log   (log format; read by can.CanutilsLogReader)

Ctrl-C ends it with a summary on standard error (exit status 0).
"""

# Longest wait for a frame before the loop looks at Ctrl-C and the -T limit again.
_POLL_S = 0.25
CAN_ERR_MASK = 0x1FFFFFFF


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("channels", metavar="CHANNEL[,FILTER]*", nargs="+",
                        help="an adapter serial or virtual:<name> (@BITRATE may follow), then optional filters; "
                             "several, or 'any'")
    parser.add_argument("-t", dest="timestamp", choices=TIMESTAMP_MODES,
                        help="timestamps: a absolute, A absolute with date, d delta, z from the first frame")
    parser.add_argument("-n", dest="count", type=positive_int, metavar="COUNT", help="end after COUNT frames")
    parser.add_argument("-T", dest="silence_ms", type=positive_int, metavar="MS",
                        help="end when no frame came for MS milliseconds")
    parser.add_argument("-x", dest="extra", action="store_true",
                        help="show the direction (RX/TX) and CAN FD flags (B bitrate switch, E error state)")
    parser.add_argument("-a", dest="ascii", action="store_true", help="the data as ASCII too, after the bytes")
    parser.add_argument("-c", dest="colour", action="count", default=0,
                        help="a colour per channel: -c its name, -cc its lines, -ccc with the timestamps")
    parser.add_argument("-e", dest="errors", action="store_true",
                        help="show error frames, and what each says below it")
    parser.add_argument("-L", dest="log_stdout", action="store_true", help="log format on standard output")
    parser.add_argument("-l", dest="log_dated", action="store_true",
                        help="log into fdhost-can-<date>_<time>.log here (nothing on standard output)")
    parser.add_argument("-f", dest="log_file", metavar="FILE",
                        help="log into FILE (nothing on standard output); '-' is the same as -L")
    busopen.add_name_option(parser)
    busopen.add_bus_options(parser)


@dataclass
class Source:
    channel: str
    filters: FilterSet
    args: argparse.Namespace
    name: str = ""
    bus: Optional[can.BusABC] = None


def sources(args: argparse.Namespace) -> list[Source]:
    """The channels the arguments name, each with its filters and rates; 'any' expanded."""
    out = []
    for argument in args.channels:
        text, filters = parse_channel_argument(argument)
        if args.errors and not filters.error_mask:
            filters = FilterSet(filters.filters, filters.join, CAN_ERR_MASK)
        texts = any_channel.channels() if text == any_channel.ANY else [text]
        for t in texts:
            channel, bus_args = with_rates(t, args)
            out.append(Source(channel, filters, bus_args))
    if args.name is not None and len(out) > 1:
        raise CliError("--name names the channel of a dump of one channel")
    return out


def run(args: argparse.Namespace, stop: StopRequest) -> int:
    srcs = sources(args)
    if not srcs:
        raise CliError("'any': no adapter is plugged in and no virtual bus of yours is in use")
    for src in srcs:
        src.name = busopen.display_name(src.channel, args.name)
    log_stdout = args.log_stdout or args.log_file == "-"
    log_path = args.log_file if args.log_file not in (None, "-") else None
    if args.log_dated and args.log_file is None:
        log_path = time.strftime("fdhost-can-%Y-%m-%d_%H%M%S.log")

    with contextlib.ExitStack() as buses:
        for src in srcs:
            try:
                src.bus = buses.enter_context(busopen.open_bus(src.channel, src.args))
            except CliError:
                if len(srcs) == 1:
                    raise
                say(f"{PROG} {NAME}: cannot open {src.channel}; the others are read")
                continue
            notices.alone_on_virtual_bus(src.bus, src.channel, NAME)
        opened = [s for s in srcs if s.bus is not None]
        if not opened:
            raise CliError("none of the channels could be opened")
        log_file = _open_log(log_path) if log_path is not None else None
        output = LineOutput(log_file or sys.stdout, flush_each=log_file is None)
        fmt: Union[LogFormat, ScreenFormat]
        if log_file or log_stdout:
            fmt = LogFormat(opened[0].name, args.timestamp, args.extra)
        else:
            fmt = ScreenFormat(opened[0].name, args.timestamp, args.extra, max(len(s.name) for s in opened),
                               ascii=args.ascii, errors=args.errors, colour=args.colour)
        try:
            counts = _receive(opened, output, fmt, args, stop)
        except BrokenPipeError:
            raise
        except OSError as e:
            raise CliError(f"cannot write {'the log ' + log_path if log_path else 'the frames'}: {e.strerror or e}") from e
        finally:
            if log_file is not None:
                _close_log(log_file, log_path)
        drops = sum(busopen.dropped(s.bus) for s in opened if s.bus is not None)
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


def _close_log(log_file: TextIO, path: Optional[str]) -> None:
    try:
        log_file.close()  # writes what is still buffered
    except OSError as e:
        raise CliError(f"cannot write the log {path}: {e.strerror or e}") from e


class _Readers:
    """The frames of several buses as they come, one reader thread each; a single bus is read
    directly."""

    def __init__(self, srcs: list[Source]) -> None:
        self.srcs = srcs
        self.frames: "queue.Queue[tuple[int, Union[can.Message, can.CanError]]]" = queue.Queue()
        self.done = threading.Event()
        self.threads = [threading.Thread(target=self._read, args=(i,), daemon=True, name=f"dump-{s.channel}")
                        for i, s in enumerate(srcs)] if len(srcs) > 1 else []
        for t in self.threads:
            t.start()

    def _read(self, index: int) -> None:
        bus = self.srcs[index].bus
        assert bus is not None
        while not self.done.is_set():
            try:
                msg = bus.recv(_POLL_S)
            except can.CanError as e:
                self.frames.put((index, e))
                return
            if msg is not None:
                self.frames.put((index, msg))

    def next(self, wait: float) -> Optional[tuple[int, can.Message]]:
        if not self.threads:
            bus = self.srcs[0].bus
            assert bus is not None
            got: Union[can.Message, can.CanError, None] = _recv(bus, wait)
            index = 0
        else:
            try:
                index, got = self.frames.get(timeout=wait)
            except queue.Empty:
                return None
        if isinstance(got, can.CanError):
            raise CliError(f"receiving from {self.srcs[index].channel} failed: {got}") from got
        return None if got is None else (index, got)

    @contextlib.contextmanager
    def running(self) -> Iterator["_Readers"]:
        try:
            yield self
        finally:
            self.done.set()
            for t in self.threads:
                t.join()


def _recv(bus: can.BusABC, wait: float) -> Union[can.Message, can.CanError, None]:
    try:
        return bus.recv(wait)
    except can.CanError as e:
        return e


def _receive(srcs: list[Source], output: LineOutput, fmt: Union[LogFormat, ScreenFormat], args: argparse.Namespace,
             stop: StopRequest) -> tuple[int, int, float]:
    """Receives until Ctrl-C, ``-n`` or ``-T``; returns frames shown, frames received, seconds."""
    shown = received = 0
    silence_s = args.silence_ms / 1000 if args.silence_ms else None
    start = last_shown = time.monotonic()
    with _Readers(srcs).running() as readers:
        while not stop.requested:
            wait = _POLL_S
            if silence_s is not None:
                wait = min(wait, last_shown + silence_s - time.monotonic())
                if wait <= 0:
                    break
            got = readers.next(wait)
            if got is None:
                continue
            index, msg = got
            received += 1
            src = srcs[index]
            if not src.filters.passes(msg):
                continue
            last_shown = time.monotonic()
            output.write(fmt.line(msg, src.name, index))
            shown += 1
            if args.count and shown >= args.count:
                break
    return shown, received, time.monotonic() - start
