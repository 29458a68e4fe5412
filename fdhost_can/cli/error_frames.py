"""Error frames in words, as candump -e prints them below an ``ERRORFRAME`` line: the classes the
identifier's bits name (Linux's can/error.h), each on a line of its own, with the details the data
bytes carry: ``controller-problem{rx-error-warning,tx-error-passive}``,
``protocol-violation{{bit-stuffing-error}{data-field}}``, ``lost-arbitration{at bit 3}``, and the
error counters as ``error-counter-tx-rx{{128}{0}}``."""
from __future__ import annotations

import can

CLASSES = ("tx-timeout", "lost-arbitration", "controller-problem", "protocol-violation", "transceiver-status",
           "no-acknowledgement-on-tx", "bus-off", "bus-error", "restarted-after-bus-off")
CONTROLLER = ("rx-overflow", "tx-overflow", "rx-error-warning", "tx-error-warning", "rx-error-passive",
              "tx-error-passive", "back-to-error-active")
VIOLATIONS = ("single-bit-error", "frame-format-error", "bit-stuffing-error", "tx-dominant-bit-error",
              "tx-recessive-bit-error", "bus-overload", "active-error", "error-on-tx")
_U = "unspecified"
LOCATIONS = (_U, _U, "id.28-to-id.21", "start-of-frame", "bit-srtr", "bit-ide", "id.20-to-id.18", "id.17-to-id.13",
             "crc-sequence", "reserved-bit-0", "data-field", "data-length-code", "bit-rtr", "reserved-bit-1",
             "id.4-to-id.0", "id.12-to-id.5", _U, "active-error-flag", "intermission", "tolerate-dominant-bits", _U,
             _U, "passive-error-flag", "error-delimiter", "crc-delimiter", "acknowledge-slot", "end-of-frame",
             "acknowledge-delimiter", "overload-flag", _U, _U, _U)

LOST_ARBITRATION, CONTROLLER_PROBLEM, PROTOCOL_VIOLATION = 0x2, 0x4, 0x8


def _bits(byte: int, names: tuple[str, ...]) -> str:
    return ",".join(name for i, name in enumerate(names) if byte >> i & 1)


def describe(msg: can.Message, sep: str = "\n\t") -> str:
    """What error frame ``msg`` says, its parts joined by ``sep``."""
    data = bytes(msg.data or b"").ljust(8, b"\0")
    error_class = msg.arbitration_id & 0x1FFFFFFF
    if error_class > 1 << len(CLASSES):
        return f"Error class {error_class:#x} is invalid"
    parts = []
    for i, name in enumerate(CLASSES):
        bit = 1 << i
        if not error_class & bit:
            continue
        if bit == LOST_ARBITRATION:
            name += f"{{at bit {data[0]}}}"
        elif bit == CONTROLLER_PROBLEM:
            name += "{" + _bits(data[1], CONTROLLER) + "}"
        elif bit == PROTOCOL_VIOLATION:
            location = LOCATIONS[data[3]] if 0 < data[3] < len(LOCATIONS) else ""
            name += "{{" + _bits(data[2], VIOLATIONS) + "}{" + location + "}}"
        parts.append(name)
    if data[6] or data[7]:
        parts.append(f"error-counter-tx-rx{{{{{data[6]}}}{{{data[7]}}}}}")
    return sep.join(parts)
