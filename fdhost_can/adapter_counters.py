"""What a virtual adapter's counters (``vadapter/README.md``, *Control API*) tell about a Bus: why
frames handed to it have not left the bus, the frames the bus carried that it missed, and the error
state its controller would be in. A hardware adapter tells none of this: ``read`` gives None."""
from __future__ import annotations

from typing import Optional, Sequence

from . import virtual

Counters = dict[str, int]

# Transmit error counter from which a controller is error passive (and stops counting acknowledgement
# errors): a frame nobody acknowledges keeps it there.
ERROR_PASSIVE = 128


# What the transmit side and the error side of a Bus read of them.
TRANSMIT = ("tx_queued", "tx_sent", "tx_arbitration_lost", "tx_ack_errors", "tx_error_counter")
ERRORS = ("tx_ack_errors", "rx_errors", "rx_overflow", "tx_error_counter", "rx_error_counter")


def read(index: Optional[int], names: Sequence[str] = TRANSMIT) -> Optional[Counters]:
    """These counters of virtual adapter ``index``; None on hardware (``index`` None), once it is
    gone, or from a library without them."""
    if index is None:
        return None
    try:
        vad = virtual.controller()
        if not set(names) <= set(vad.counter_names):
            return None
        return {name: vad.counter(name, index) for name in names}
    except (virtual.VadError, OSError):
        return None


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
