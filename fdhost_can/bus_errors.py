"""Error frames and the bus state of a Bus on a virtual adapter, from the error counters its model
keeps as a controller would (``vadapter/README.md``: ``tx_ack_errors``, ``rx_errors``,
``tx_error_counter``, ``rx_error_counter``, ``rx_overflow``).

What changed between two readings becomes one error frame in SocketCAN's layout (Linux's
``can/error.h``), as python-can's ``socketcan`` delivers them: the identifier holds the error
classes, the data the details, bytes 6 and 7 the transmit and receive error counters.

- frames nobody acknowledged: ``CAN_ERR_ACK``;
- frames this node could not receive (another bit timing, CAN FD on a classic node): a protocol
  violation found on the bus (``CAN_ERR_PROT | CAN_ERR_BUSERROR``, type and place unspecified);
- the controller reaching error warning (96) or error passive (128) on either counter, or coming
  back to error active: ``CAN_ERR_CRTL`` with the levels reached in byte 1;
- frames the adapter had no room for (it was not read for too long): ``CAN_ERR_CRTL`` with
  ``CAN_ERR_CRTL_RX_OVERFLOW``.

Several events between two readings share one frame; the counts are in the counters.
"""
from __future__ import annotations

import time
from typing import Optional

import can

from .adapter_counters import ERROR_PASSIVE, Counters

# Linux's can/error.h: classes (the identifier) ...
CAN_ERR_CRTL, CAN_ERR_PROT, CAN_ERR_ACK, CAN_ERR_BUSERROR = 0x004, 0x008, 0x020, 0x080
# ... and byte 1, the controller's problems.
CRTL_RX_OVERFLOW, CRTL_RX_WARNING, CRTL_TX_WARNING = 0x01, 0x04, 0x08
CRTL_RX_PASSIVE, CRTL_TX_PASSIVE, CRTL_ACTIVE = 0x10, 0x20, 0x40

ERROR_WARNING = 96  # a counter from which a controller signals error warning


def _levels(tx: int, rx: int) -> int:
    """The byte-1 bits of the levels the two counters are at."""
    bits = 0
    for counter, warning, passive in ((tx, CRTL_TX_WARNING, CRTL_TX_PASSIVE), (rx, CRTL_RX_WARNING, CRTL_RX_PASSIVE)):
        if counter >= ERROR_PASSIVE:
            bits |= passive
        elif counter >= ERROR_WARNING:
            bits |= warning
    return bits


def error_frame(before: Counters, now: Counters, channel: Optional[can.typechecking.Channel]) -> Optional[can.Message]:
    """The error frame for what changed from ``before`` to ``now``; None when nothing did."""
    error_class, controller, data = 0, 0, bytearray(8)
    if now["tx_ack_errors"] > before["tx_ack_errors"]:
        error_class |= CAN_ERR_ACK
    if now["rx_errors"] > before["rx_errors"]:
        error_class |= CAN_ERR_PROT | CAN_ERR_BUSERROR
    if now["rx_overflow"] > before["rx_overflow"]:
        controller |= CRTL_RX_OVERFLOW
    was = _levels(before["tx_error_counter"], before["rx_error_counter"])
    level = _levels(now["tx_error_counter"], now["rx_error_counter"])
    if level & ~was:
        controller |= level & ~was
    elif was and not level:
        controller |= CRTL_ACTIVE
    if controller:
        error_class |= CAN_ERR_CRTL
        data[1] = controller
    if not error_class:
        return None
    data[6], data[7] = min(now["tx_error_counter"], 255), min(now["rx_error_counter"], 255)
    return can.Message(timestamp=time.time(), arbitration_id=error_class, is_extended_id=False, is_error_frame=True,
                       dlc=8, data=data, channel=channel, is_rx=True)


def bus_state(counters: Optional[Counters]) -> can.BusState:
    """ERROR while the controller is error passive (python-can has no state between), else ACTIVE;
    ACTIVE when the counters are unknown (hardware)."""
    if counters is not None and max(counters["tx_error_counter"], counters["rx_error_counter"]) >= ERROR_PASSIVE:
        return can.BusState.ERROR
    return can.BusState.ACTIVE
