"""Whether the frames a command hands to the bus get onto it. An adapter reports each frame it sent
once the frame has left the bus (python-can's ``receive_own_messages``: the message comes back with
``is_rx`` False), so those reports count the frames sent; a frame handed over and never reported
is one the bus has not taken. A command waits for the rest within its time limit and says what held
them up: on a virtual bus the adapter's counters tell a bus nobody else acknowledges from one
where frames of lower identifiers keep winning arbitration."""
from __future__ import annotations

import time
from typing import Optional

import can

from .. import adapter_counters
from .common import StopRequest

_POLL_S = 0.05
_DRAIN_LIMIT = 10_000  # reports read per look, so that a busy bus cannot keep a command reading


class Delivery:
    """Counts the frames handed to ``bus`` and the reports of those that left it."""

    def __init__(self, bus: can.BusABC, channel: str) -> None:
        self.bus = bus
        self.channel = channel
        self.handed = 0
        self.sent = 0
        self._start = self._counters()

    @property
    def outstanding(self) -> int:
        return max(0, self.handed - self.sent)

    def handed_one(self) -> None:
        self.handed += 1

    def poll(self) -> None:
        """Counts the reports that have come in, without waiting."""
        for _ in range(_DRAIN_LIMIT):
            if not self._take(0):
                return

    def wait(self, patience_s: float, stop: Optional[StopRequest] = None) -> None:
        """Waits until every frame handed over has left the bus, or none did for ``patience_s``
        (or, given ``stop``, a stop is requested)."""
        progress_at = time.monotonic()
        while self.outstanding and time.monotonic() - progress_at < patience_s:
            if stop is not None and stop.requested:
                return
            before = self.sent
            self._take(min(_POLL_S, patience_s))
            if self.sent > before:
                progress_at = time.monotonic()

    def _take(self, timeout: float) -> bool:
        try:
            msg = self.bus.recv(timeout)
        except can.CanError:
            return False
        if msg is not None and not msg.is_rx and not msg.is_error_frame:
            self.sent += 1
        return msg is not None

    def why(self) -> str:
        """What keeps frames from leaving the bus, as far as the adapter tells."""
        return adapter_counters.why_not_sent(self._start, self._counters(), self.channel)

    def _counters(self) -> Optional[dict[str, int]]:
        return adapter_counters.read(getattr(self.bus, "virtual_adapter", None))
