"""How long each frame holds the bus, and what the frames seen add up to.

Bits per frame follow the frame layouts, including the 3-bit intermission, so that frames sent
back to back fill exactly 100 %:

- Classic: SOF, identifier, control, data and the 15-bit CRC are stuffed (34 bits + data for a
  standard identifier, 54 + data for an extended one); CRC delimiter, ACK, EOF and intermission
  add 13. A remote frame carries no data bits, whatever length it asks for.
- CAN FD: the arbitration phase up to BRS (17 bits standard, 36 extended) and the 13 trailing
  bits run at the nominal rate; ESI, DLC, data, the stuff count and the CRC (17 bits up to 16
  data bytes, 21 above, with their 6 or 7 fixed stuff bits) at the data rate when the frame
  switches rates, else at the nominal rate.

Stuff bits are estimated, not computed from the frame's content: ``worst`` (the default, as
canbusload does by default) adds the most a frame can need, one per four bits of the stuffed part
after the first -- for classic frames canbusload's own 55 + 10n (standard) and 80 + 10n
(extended) bits; ``none`` adds none, the least. The real figure lies between the two, so the load
shown with ``worst`` can pass 100 % on a busy bus.
"""
from __future__ import annotations

from dataclasses import dataclass, field
import can

STUFFING_MODES = ("worst", "none")


def frame_bits(msg: can.Message, stuffing: str = "worst") -> tuple[int, int]:
    """(bits at the nominal rate, bits at the data rate) for ``msg``."""
    worst = stuffing == "worst"
    data_bits = 0 if msg.is_remote_frame and not msg.is_fd else 8 * len(msg.data or b"")
    if not msg.is_fd:
        stuffed = (54 if msg.is_extended_id else 34) + data_bits
        return stuffed + 13 + ((stuffed - 1) // 4 if worst else 0), 0
    arbitration = 36 if msg.is_extended_id else 17
    long_crc = data_bits > 16 * 8
    nominal = arbitration + 13
    data = 1 + 4 + data_bits + 4 + (21 if long_crc else 17) + (7 if long_crc else 6)
    if worst:
        dynamic_stuff = (arbitration + 1 + 4 + data_bits - 1) // 4
        nominal += arbitration // 4
        data += dynamic_stuff - arbitration // 4
    if not msg.bitrate_switch:
        return nominal + data, 0
    return nominal, data


@dataclass
class IdEntry:
    """One identifier's line in the table."""

    last: can.Message
    last_seen: float
    window_count: int = 0
    rate: float = 0.0  # frames/s over the last closed window


@dataclass
class Snapshot:
    seconds: float  # length of the window
    frames: int
    load_percent: float
    errors: int  # error frames in the window
    total_frames: int
    total_errors: int
    ids: list[tuple[tuple[bool, int], IdEntry]] = field(default_factory=list)

    @property
    def frames_per_s(self) -> float:
        return self.frames / self.seconds if self.seconds > 0 else 0.0


class BusLoad:
    """Frames seen on a bus, gathered into windows: ``add`` each frame, ``close_window`` at each
    refresh. Times are the caller's (seconds on a monotonic clock)."""

    def __init__(self, nominal_bitrate: float, data_bitrate: float, stuffing: str = "worst",
                 forget_after_s: float = 10.0, start: float = 0.0) -> None:
        if stuffing not in STUFFING_MODES:
            raise ValueError(f"stuffing {stuffing!r}")
        self.nominal_bitrate = nominal_bitrate
        self.data_bitrate = data_bitrate
        self.stuffing = stuffing
        self.forget_after_s = forget_after_s
        self.ids: dict[tuple[bool, int], IdEntry] = {}
        self.start = self._window_start = start
        self._frames = self._errors = 0
        self._busy_s = 0.0
        self.total_frames = self.total_errors = 0
        self.total_busy_s = 0.0

    def add(self, msg: can.Message, now: float) -> None:
        if msg.is_error_frame:
            self._errors += 1
            return
        nominal, data = frame_bits(msg, self.stuffing)
        self._busy_s += nominal / self.nominal_bitrate + data / self.data_bitrate
        self._frames += 1
        key = (msg.is_extended_id, msg.arbitration_id)
        entry = self.ids.get(key)
        if entry is None:
            entry = self.ids[key] = IdEntry(msg, now)
        entry.last, entry.last_seen = msg, now
        entry.window_count += 1

    def close_window(self, now: float) -> Snapshot:
        seconds = now - self._window_start
        load = 100.0 * self._busy_s / seconds if seconds > 0 else 0.0
        self.total_frames += self._frames
        self.total_errors += self._errors
        self.total_busy_s += self._busy_s
        for key, entry in list(self.ids.items()):
            entry.rate = entry.window_count / seconds if seconds > 0 else 0.0
            entry.window_count = 0
            if now - entry.last_seen > self.forget_after_s:
                del self.ids[key]
        snap = Snapshot(seconds, self._frames, load, self._errors, self.total_frames, self.total_errors,
                        sorted(self.ids.items()))
        self._window_start = now
        self._frames = self._errors = 0
        self._busy_s = 0.0
        return snap

    def average_load(self) -> float:
        """Load over the closed windows since ``start``, in per cent."""
        seconds = self._window_start - self.start
        return 100.0 * self.total_busy_s / seconds if seconds > 0 else 0.0
