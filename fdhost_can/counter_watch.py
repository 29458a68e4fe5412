"""A Bus's look at its virtual adapter's counters while it receives: frames the adapter missed
(``rx_overflow``: the process did not look at a shared bus for too long), counted into
``dropped_frames`` with one warning per burst, and error frames for what the error counters say
(:mod:`fdhost_can.bus_errors`), handed out by ``recv`` among the received frames."""
from __future__ import annotations

import collections
import threading
import time
from typing import Optional

import can

from . import adapter_counters, bus_errors
from .log import logger

# How often a receiving Bus looks: every CHECK_S, or every LOOK_FRAMES frames taken from a queue that
# never ran empty; misses closer together than the quiet time are one burst.
CHECK_S, LOOK_FRAMES, MISSED_QUIET_S = 0.1, 1024, 1.0
ERRORS_KEPT = 1024


class CounterWatch:
    """The counters of virtual adapter ``index`` as its Bus last saw them, and what came of them."""

    def __init__(self, index: int, channel: Optional[can.typechecking.Channel], name: str, error_frames: bool) -> None:
        self.index, self.channel, self.name, self.error_frames = index, channel, name, error_frames
        self.missed = 0
        self.check_at = 0.0
        self.frames_left = 0  # frames to take before the next look, while frames keep waiting
        # Error frames nobody has taken yet; a program that never receives keeps only the latest.
        self.errors: collections.deque[can.Message] = collections.deque(maxlen=ERRORS_KEPT)
        self._last = adapter_counters.read(index, adapter_counters.ERRORS)
        self._missed_report_at = float("-inf")
        self._looking = threading.Lock()

    def look(self) -> None:
        """Reads the counters; a look already under way in another thread is enough."""
        if not self._looking.acquire(blocking=False):
            return
        try:
            now_s = time.monotonic()
            self.check_at, self.frames_left = now_s + CHECK_S, LOOK_FRAMES
            now = adapter_counters.read(self.index, adapter_counters.ERRORS)
            if now is None:  # unplugged meanwhile
                return
            before, self._last = self._last, now
            if now["rx_overflow"] > self.missed:
                if now_s - self._missed_report_at >= MISSED_QUIET_S:
                    logger.warning("%s: %d frames the bus carried were missed (this process did not take them in "
                                   "time); dropped_frames counts them", self.name, now["rx_overflow"] - self.missed)
                self.missed, self._missed_report_at = now["rx_overflow"], now_s
            if self.error_frames and before is not None:
                frame = bus_errors.error_frame(before, now, self.channel)
                if frame is not None:
                    self.errors.append(frame)
        finally:
            self._looking.release()

    def state(self) -> can.BusState:
        return bus_errors.bus_state(adapter_counters.read(self.index, adapter_counters.ERRORS))
