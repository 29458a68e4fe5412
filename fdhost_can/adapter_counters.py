"""What a virtual adapter's counters (``vadapter/README.md``, *Control API*) tell about a Bus: why
frames handed to it have not left the bus, the frames the bus carried that it missed, and the error
state its controller would be in. A hardware adapter tells none of this: ``read`` gives None."""
from __future__ import annotations

from typing import Optional

from . import virtual

Counters = dict[str, int]

# Transmit error counter from which a controller is error passive (and stops counting acknowledgement
# errors): a frame nobody acknowledges keeps it there.
ERROR_PASSIVE = 128


def read(index: Optional[int]) -> Optional[Counters]:
    """The counters of virtual adapter ``index``; None on hardware (``index`` None), once it is gone,
    or from a library without the transmit counters."""
    if index is None:
        return None
    try:
        counters = virtual.controller().counters(index)
    except (virtual.VadError, OSError):
        return None
    return counters if "tx_arbitration_lost" in counters else None


def why_not_sent(start: Optional[Counters], now: Optional[Counters], channel: str) -> str:
    """What kept frames from leaving the bus between two readings of the counters, as far as they tell."""
    if now is None or start is None:
        return "no node on the bus acknowledged them (is one there, at the same bitrate?)"
    if now["tx_ack_errors"] > start["tx_ack_errors"] or now["tx_error_counter"] >= ERROR_PASSIVE:
        return (f"no other node on {channel} acknowledges them: none can receive them "
                "(another bitrate, or a classic node for CAN FD frames)")
    lost = now["tx_arbitration_lost"] - start["tx_arbitration_lost"]
    if lost:
        return f"frames of lower identifiers won arbitration over them {lost} times"
    sent = now["tx_sent"] - start["tx_sent"]
    if sent:
        return f"the bus carried only {sent} of them meanwhile (a slow bitrate?)"
    return "the bus took none of them"
