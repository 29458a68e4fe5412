"""``fdhost-can top``: bus load, frame rate, errors, drops and a table of identifiers, redrawn in
place (or printed once with ``--once``)."""
from __future__ import annotations

import argparse
import logging
import sys
import time

import can

from ..channels import VIRTUAL_PREFIX
from . import busopen
from .channel_rate import with_rates
from .busload import STUFFING_MODES, BusLoad, IdEntry, Snapshot
from .common import PROG, CliError, StopRequest, say
from .terminal import Screen, bar

NAME = "top"
HELP = "live view of a bus: load, frames/s, errors, drops, identifiers"
DESCRIPTION = """\
Shows how full CHANNEL is: the load in per cent of what the bus can carry at its nominal and data
bitrates (computed from each frame's identifier type, length, CAN FD and bitrate switch), frames
per second, error frames and frames the receive queue dropped, and per identifier its rate, length
and last data. Refreshes in place until Ctrl-C."""
EPILOG = """\
bit stuffing: the load counts the stuff bits a frame needs at most ('worst', as canbusload
estimates them; the default on adapters) or none ('none'; the default on virtual buses, which
time frames without stuff bits); on a real bus the load lies between the two.

examples:
  fdhost-can top virtual:demo --bitrate 1000000 --data-bitrate 5000000
  fdhost-can top virtual:demo --once --interval 5     (one 5-second snapshot, for scripts)
"""

_POLL_S = 0.1
_STUFFING_TEXT = {"worst": "worst-case bit stuffing", "none": "no bit stuffing"}


def _interval(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 0.05 <= value <= 3600:
        raise argparse.ArgumentTypeError(f"{text!r}: give 0.05 to 3600 seconds")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("channel", metavar="CHANNEL", help="an adapter serial or virtual:<name> (@BITRATE may follow)")
    parser.add_argument("--once", action="store_true", help="print one snapshot after one interval and end")
    parser.add_argument("-i", "--interval", type=_interval, default=1.0, metavar="S",
                        help="seconds per refresh, over which rates and load are measured (default 1)")
    parser.add_argument("--stuffing", choices=STUFFING_MODES, default=None,
                        help="stuff bits counted per frame (default: worst on adapters, none on virtual buses)")
    busopen.add_bus_options(parser)


def rate_text(bitrate: int) -> str:
    """500000 -> 500k, 2000000 -> 2M, as canbusload writes rates."""
    for unit, scale in (("M", 1_000_000), ("k", 1000)):
        if bitrate % scale == 0:
            return f"{bitrate // scale}{unit}"
    return str(bitrate)


def render(snap: Snapshot, *, channel: str, nominal: int, data: int, stuffing: str, dropped: int,
           columns: int, rows: int) -> list[str]:
    rates = rate_text(nominal) if data == nominal else f"{rate_text(nominal)}/{rate_text(data)}"
    lines = [
        f"{PROG} top  {channel}  {rates}  ({_STUFFING_TEXT[stuffing]})  {time.strftime('%H:%M:%S')}",
        f"load {snap.load_percent:6.1f} % {bar(snap.load_percent)}  {snap.frames_per_s:9.1f} frames/s  "
        f"errors {snap.total_errors}  dropped {dropped}",
        "",
        f"{'ID':>8}  {'rate/s':>9}  {'type':<6} {'len':>3}  data",
    ]
    room = max(1, rows - len(lines) - 1)
    shown = snap.ids if len(snap.ids) <= room else snap.ids[: room - 1]
    lines += [_row(key, entry) for key, entry in shown]
    if len(shown) < len(snap.ids):
        lines.append(f"{'':>8}  ... {len(snap.ids) - len(shown)} more identifiers")
    return [line if len(line) <= columns else line[: max(0, columns - 3)] + "..." for line in lines]


def _row(key: tuple[bool, int], entry: IdEntry) -> str:
    extended, arbitration_id = key
    msg = entry.last
    head = f"{arbitration_id:08X}" if extended else f"{arbitration_id:03X}"
    head = f"{head:>8}  {entry.rate:9.1f}"
    if msg.is_remote_frame and not msg.is_fd:
        return f"{head}  {'RTR':<6} {msg.dlc:>3}  remote request"
    kind = ("FD BRS" if msg.bitrate_switch else "FD") if msg.is_fd else ""
    return f"{head}  {kind:<6} {len(msg.data):>3}  {bytes(msg.data).hex(' ').upper()}"


def default_stuffing(channel: str) -> str:
    """A virtual bus times its frames without stuff bits: counting the worst case there would show
    a saturated bus at about 120 %."""
    return "none" if channel.startswith(VIRTUAL_PREFIX) else "worst"


def run(args: argparse.Namespace, stop: StopRequest) -> int:
    channel, args = with_rates(args.channel, args)
    args.channel = channel
    nominal, data = busopen.bitrates(args)
    if args.stuffing is None:
        args.stuffing = default_stuffing(args.channel)
    screen = None if args.once else Screen(sys.stdout)
    # The bus's own drop warnings would land in the middle of the table, which shows drops itself.
    fdhost_log = logging.getLogger("can.fdhost")
    saved_level = fdhost_log.level
    fdhost_log.setLevel(logging.ERROR)
    try:
        with busopen.open_bus(args.channel, args) as bus:
            load = BusLoad(nominal, data, args.stuffing, start=time.monotonic())
            try:
                _watch(bus, load, screen, args, stop, nominal, data)
            finally:
                if screen is not None:
                    screen.close()
            drops = busopen.dropped(bus)
    finally:
        fdhost_log.setLevel(saved_level)
    if not args.once:
        say(f"{PROG} {NAME}: {load.total_frames} frames in {time.monotonic() - load.start:.1f} s, "
            f"average load {load.average_load():.1f} %, {load.total_errors} errors, {drops} dropped")
    return stop.exit_status()


def _watch(bus: can.BusABC, load: BusLoad, screen: Screen | None, args: argparse.Namespace, stop: StopRequest,
           nominal: int, data: int) -> None:
    due = load.start + args.interval
    while not stop.requested:
        now = time.monotonic()
        if now >= due:
            snap = load.close_window(now)
            columns, rows = screen.size() if screen is not None else (1 << 30, 1 << 30)
            lines = render(snap, channel=args.channel, nominal=nominal, data=data, stuffing=args.stuffing,
                           dropped=busopen.dropped(bus), columns=columns, rows=rows)
            if screen is None:
                print("\n".join(lines), flush=True)
                return
            screen.draw(lines)
            due = due + args.interval if due + args.interval > now else now + args.interval
            continue
        try:
            msg = bus.recv(min(due - now, _POLL_S))
        except can.CanError as e:
            raise CliError(f"receiving failed: {e}") from e
        if msg is not None:
            load.add(msg, time.monotonic())
