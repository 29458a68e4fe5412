"""``fdhost-can gen``: generated traffic, with cangen's options."""
from __future__ import annotations

import argparse
import random
import sys
import time
from dataclasses import dataclass
from typing import Iterator, Optional, Union

import can
from can.util import dlc2len, len2dlc

from . import busopen, notices
from .channel_rate import with_rates
from .common import PROG, CliError, StopRequest, hex_value, non_negative_float, positive_int, say
from .delivery import Delivery
from .frames import format_frame
from .terminal import Progress

NAME = "gen"
HELP = "generate traffic (cangen's options)"
DESCRIPTION = "Sends generated frames on CHANNEL until Ctrl-C or -n COUNT frames."
EPILOG = """\
modes of -I (identifier), -L (length) and -D (data):
  r        random (the default)
  i        incrementing: identifiers from 0, lengths through every valid one, data as a
           64-bit little-endian counter in bytes 0-7 (with at least 1 byte per frame)
  e, o     -I only: random even / odd identifiers
  <value>  fixed: -I hex identifier, -L decimal length in bytes (CAN FD lengths round
           up), -D hex payload (an 'x' digit is random in each frame; missing bytes are 0)

-m mixes per frame, as cangen does: extended or standard identifiers, CAN FD or classic frames,
FD ones with the bitrate switch and error state indicator or without, a quarter of the classic ones
remote frames. The adapter cannot send the error state indicator (-E, -m): those frames go out
without it.

Frames count as sent once they have left the bus (the adapter reports each); at the end gen waits
up to --timeout for the last ones, and frames the bus did not take make the exit status 1.

examples:
  fdhost-can gen virtual:demo -g 4 -I 42A -L 1 -D i
  fdhost-can gen virtual:demo -g 0 -f -b -L 64 -n 100000     (as fast as the bus takes it)
  fdhost-can gen virtual:demo@500k -g 0 -m -i                 (mixed frames, full load)
"""

DEFAULT_GAP_MS = 200.0
# How far behind its schedule the generator may fall and still catch up.
_CATCH_UP_S = 0.02
Mode = Union[str, int]


@dataclass(frozen=True)
class FixedData:
    data: bytes  # 64 bytes, zero-padded
    random_mask: bytes  # per byte, the bits an 'x' digit leaves to chance


@dataclass(frozen=True)
class GenSettings:
    extended: bool = False
    fd: bool = False
    brs: bool = False
    esi: bool = False
    remote: bool = False
    mix: bool = False  # each frame draws extended, fd, brs, esi and remote as cangen -m does
    id_mode: Mode = "r"
    len_mode: Mode = "r"
    data_mode: Union[str, FixedData] = "r"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("channel", metavar="CHANNEL", help="an adapter serial or virtual:<name> (@BITRATE may follow)")
    parser.add_argument("-g", dest="gap_ms", type=non_negative_float, default=DEFAULT_GAP_MS, metavar="MS",
                        help=f"gap between frames in milliseconds, fractions allowed; 0 sends as fast as the bus "
                             f"takes frames (default {DEFAULT_GAP_MS:g})")
    parser.add_argument("-e", dest="extended", action="store_true", help="extended (29-bit) identifiers")
    parser.add_argument("-f", dest="fd_frames", action="store_true", help="CAN FD frames (opens the bus in FD mode)")
    parser.add_argument("-b", dest="brs", action="store_true", help="CAN FD frames with the bitrate switch (implies -f)")
    parser.add_argument("-E", dest="esi", action="store_true",
                        help="CAN FD frames with the error state indicator (implies -f; not sent by the adapter)")
    parser.add_argument("-R", dest="remote", action="store_true", help="remote frames (classic CAN only)")
    parser.add_argument("-m", dest="mix", action="store_true", help="mix -e -f -b -E -R frames (opens the bus in FD mode)")
    parser.add_argument("-I", dest="id_mode", default="r", metavar="MODE", help="identifier mode: r, e, o, i or hex")
    parser.add_argument("-L", dest="len_mode", default="r", metavar="MODE", help="length mode: r, i or bytes")
    parser.add_argument("-D", dest="data_mode", default="r", metavar="MODE", help="data mode: r, i or hex payload")
    parser.add_argument("-n", dest="count", type=positive_int, metavar="COUNT",
                        help="end after COUNT frames (with a progress bar on a terminal)")
    parser.add_argument("-i", dest="ignore_full", action="store_true",
                        help="a full transmit queue drops the frame instead of waiting (counted at the end)")
    parser.add_argument("-x", dest="no_loopback", action="store_true",
                        help="accepted as cangen's 'no local loopback': no other program shares an adapter's "
                             "frames, so there is none to disable")
    parser.add_argument("-v", dest="verbose", action="store_true", help="print each frame sent")
    parser.add_argument("--seed", type=int, help="seed of the random modes, for a repeatable sequence")
    busopen.add_name_option(parser)
    busopen.add_patience_option(parser)
    busopen.add_bus_options(parser)


def settings_from(args: argparse.Namespace) -> GenSettings:
    """The options checked and combined, as cangen combines them; ``CliError`` for bad ones."""
    fd = args.fd_frames or args.brs or args.esi or args.mix
    if args.remote and fd and not args.mix:
        raise CliError("-R: remote frames exist in classic CAN only (drop -f / -b / -E)")
    return GenSettings(extended=args.extended, fd=fd and not args.mix, brs=args.brs, esi=args.esi,
                       remote=args.remote, mix=args.mix, id_mode=_id_mode(args.id_mode, args.extended or args.mix),
                       len_mode=_len_mode(args.len_mode, fd), data_mode=_data_mode(args.data_mode))


def _id_mode(text: str, extended: bool) -> Mode:
    if text in ("r", "e", "o", "i"):
        return text
    value = hex_value(text, "-I identifier")
    limit = 0x1FFFFFFF if extended else 0x7FF
    if value > limit:
        hint = "" if extended else " (add -e for an extended one)"
        raise CliError(f"-I {text}: the identifier is above {limit:X}{hint}")
    return value


def _len_mode(text: str, fd: bool) -> Mode:
    if text in ("r", "i"):
        return text
    if not text.isdigit():
        raise CliError(f"-L {text!r}: expected r, i or a length in bytes")
    length = int(text)
    limit = 64 if fd else 8
    if length > limit:
        raise CliError(f"-L {text}: a {'CAN FD' if fd else 'classic'} frame carries at most {limit} bytes")
    return dlc2len(len2dlc(length)) if fd else length


def _data_mode(text: str) -> Union[str, FixedData]:
    if text in ("r", "i"):
        return text
    if len(text) % 2 or len(text) > 128 or any(c not in "0123456789abcdefABCDEFxX" for c in text):
        raise CliError(f"-D {text!r}: expected r, i or up to 64 bytes as hex digit pairs ('x' for a random digit)")
    data = bytes.fromhex("".join("0" if c in "xX" else c for c in text))
    mask = bytes.fromhex("".join("F" if c in "xX" else "0" for c in text))
    return FixedData(data.ljust(64, b"\0"), mask.ljust(64, b"\0"))


class FrameGenerator:
    """The frames cangen would generate for ``settings``, one per ``next()``."""

    def __init__(self, settings: GenSettings, rng: Optional[random.Random] = None) -> None:
        self.s = settings
        self.rng = rng or random.Random()
        self._id_mask = 0x1FFFFFFF if settings.extended else 0x7FF
        self._next_id = 0
        self._len_step = 0
        self._counter = 0

    def __iter__(self) -> Iterator[can.Message]:
        return self

    def __next__(self) -> can.Message:
        s = self.s
        extended, fd, brs, esi, remote = s.extended, s.fd, s.brs, s.esi, s.remote
        if s.mix:
            r = self.rng.getrandbits(32)
            extended, fd = bool(r & 1), bool(r & 2)
            brs, esi = fd and bool(r & 4), fd and bool(r & 8)
            remote = not fd and r & 24 == 24  # a quarter of the classic frames
        length = self._length(fd)
        if s.data_mode == "i":
            length = max(length, 1)
        arbitration_id = self._identifier(0x1FFFFFFF if extended else 0x7FF)
        if remote:
            msg = can.Message(arbitration_id=arbitration_id, is_extended_id=extended, is_remote_frame=True,
                              dlc=min(length, 8))
        else:
            msg = can.Message(arbitration_id=arbitration_id, is_extended_id=extended, is_fd=fd,
                              bitrate_switch=fd and brs, error_state_indicator=fd and esi, data=self._data(length))
        self._counter += 1
        return msg

    def _identifier(self, mask: int) -> int:
        mode = self.s.id_mode
        if isinstance(mode, int):
            return mode & mask
        if mode == "i":
            value, self._next_id = self._next_id, (self._next_id + 1) & self._id_mask
            return value & mask
        value = self.rng.getrandbits(29) & mask
        return value & ~1 if mode == "e" else value | 1 if mode == "o" else value

    def _length(self, fd: bool) -> int:
        mode = self.s.len_mode
        if isinstance(mode, int):
            return mode if fd else min(mode, 8)
        if mode == "i":
            step = self._len_step
            self._len_step = (step + 1) % (16 if self.s.fd or self.s.mix else 9)
            return dlc2len(step) if fd else min(step, 8)
        code = self.rng.getrandbits(4)
        return dlc2len(code) if fd else min(code, 8)

    def _data(self, length: int) -> bytes:
        mode = self.s.data_mode
        if mode == "r":
            return self.rng.randbytes(length)
        if mode == "i":
            return self._counter.to_bytes(8, "little").ljust(64, b"\0")[:length]
        assert isinstance(mode, FixedData)  # the two letter modes are handled above
        noise = self.rng.randbytes(length)
        return bytes(d & ~m | n & m for d, m, n in zip(mode.data, mode.random_mask, noise))


def run(args: argparse.Namespace, stop: StopRequest) -> int:
    settings = settings_from(args)
    channel, bus_args = with_rates(args.channel, args)
    name = busopen.display_name(channel, args.name)
    frames = FrameGenerator(settings, random.Random(args.seed))
    gap_s = args.gap_ms / 1000
    progress = Progress(args.count or 0, sys.stderr)
    handed = dropped = 0
    start = time.monotonic()
    if settings.esi or settings.mix:
        notices.esi_not_sent([can.Message(is_fd=True, error_state_indicator=True)], NAME)
    with notices.bus_repeats_left_out(), \
            busopen.open_bus(channel, bus_args, fd=settings.fd or settings.mix, receive_own=True) as bus:
        delivery = Delivery(bus, channel)
        notices.alone_on_virtual_bus(bus, channel, NAME)
        try:
            due = time.monotonic()
            while not stop.requested and (args.count is None or handed + dropped < args.count):
                msg = next(frames)
                if args.ignore_full:
                    if not _send_or_drop(bus, msg):
                        dropped += 1
                        continue
                elif not busopen.send_frame(bus, msg, stop, args.timeout, delivery.why):
                    break
                handed += 1
                delivery.handed_one()
                delivery.poll()
                if args.verbose:
                    print(f"  {name}  {format_frame(msg)}", flush=True)
                progress.update(handed)
                if gap_s:
                    # Frames are due on a fixed schedule, so the rate is 1000 / gap however the sleeps
                    # jitter; after a longer hold-up (a full bus) it restarts from now, without a burst.
                    due += gap_s
                    late = time.monotonic() - due
                    if late > max(gap_s, _CATCH_UP_S):
                        due += late
                    stop.wait(due - time.monotonic())
        finally:
            progress.finish(handed)
        # Frames still in the adapter's queue are not sent yet: gen waits for them to leave the bus.
        delivery.wait(args.timeout)
        why = delivery.why() if delivery.outstanding else ""
    seconds = time.monotonic() - start
    rate = delivery.sent / seconds if seconds > 0 else 0.0
    line = f"{PROG} {NAME}: {delivery.sent} frame{'s' if delivery.sent != 1 else ''} sent in {seconds:.1f} s ({rate:.1f} frames/s)"
    if delivery.outstanding:
        line += f"; {delivery.outstanding} not sent within {args.timeout:g} s: {why}"
    if dropped:
        line += f"; {dropped} dropped on a full transmit queue (-i)"
    say(line)
    return stop.exit_status() or (1 if delivery.outstanding else 0)


def _send_or_drop(bus: can.BusABC, msg: can.Message) -> bool:
    """Sends ``msg`` if the transmit queue has room now; False when it is full."""
    try:
        bus.send(msg, timeout=0)
        return True
    except can.CanOperationError as e:
        if isinstance(e.__cause__, TimeoutError):
            return False
        raise CliError(f"sending failed: {e}") from e
