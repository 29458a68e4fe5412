"""Frames as text, the way can-utils write them: ``cansend``'s grammar in, the compact form of the
candump log out.

    123#DEADBEEF        standard identifier (3 hex digits, up to 7FF), 0 to 8 data bytes
    12345678#00.11.22   extended identifier (8 hex digits, up to 1FFFFFFF); a '.' may stand
                        before each byte
    123#R   123#R3      remote frame, asking for 0 (R) or 0 to 8 bytes (R<len>)
    213##311223344      CAN FD: '##', one flags digit (1 bitrate switch, 2 error state
                        indicator, 4 FD frame, which '##' implies anyway), 0 to 64 data bytes;
                        a length CAN FD cannot carry is rounded up to the next one (12, 16,
                        20, 24, 32, 48, 64) with zero bytes

Where ``cansend`` would quietly drop extra data bytes, accept an identifier too wide for its
format or ignore a bad remote length, ``parse_frame`` refuses the text and says why.
"""
from __future__ import annotations

import re

import can
from can.util import dlc2len, len2dlc

from .common import CliError

CANFD_BRS = 0x1
CANFD_ESI = 0x2
CANFD_FDF = 0x4  # can-utils mark FD frames with it in the flags digit since 2025.01
_KNOWN_FLAGS = CANFD_BRS | CANFD_ESI | CANFD_FDF

_DATA = re.compile(r"(?:\.?[0-9A-Fa-f]{2})*\.?")


def parse_frame(text: str) -> can.Message:
    """The frame ``text`` describes; ``CliError`` names what is wrong with it."""
    ident, sep, rest = text.partition("#")
    if not sep:
        raise CliError(f"frame {text!r}: expected <id>#<data>, e.g. 123#DEADBEEF")
    arbitration_id, extended = _identifier(text, ident)
    if rest[:1] in ("R", "r"):
        return can.Message(arbitration_id=arbitration_id, is_extended_id=extended, is_remote_frame=True,
                           dlc=_remote_length(text, rest[1:]))
    if rest[:1] == "#":
        flags = _fd_flags(text, rest[1:2])
        data = _data(text, rest[2:])
        if len(data) > 64:
            raise CliError(f"frame {text!r}: a CAN FD frame carries at most 64 data bytes, not {len(data)}")
        data += bytes(dlc2len(len2dlc(len(data))) - len(data))
        return can.Message(arbitration_id=arbitration_id, is_extended_id=extended, is_fd=True,
                           bitrate_switch=bool(flags & CANFD_BRS), error_state_indicator=bool(flags & CANFD_ESI),
                           data=data)
    data = _data(text, rest)
    if len(data) > 8:
        raise CliError(f"frame {text!r}: a classic frame carries at most 8 data bytes, not {len(data)} "
                       "(write <id>##<flags><data> for CAN FD)")
    return can.Message(arbitration_id=arbitration_id, is_extended_id=extended, data=data)


def _identifier(text: str, ident: str) -> tuple[int, bool]:
    if len(ident) not in (3, 8) or any(c not in "0123456789abcdefABCDEF" for c in ident):
        raise CliError(f"frame {text!r}: the identifier is 3 hex digits (standard) or 8 (extended), not {ident!r}")
    value = int(ident, 16)
    if len(ident) == 3 and value > 0x7FF:
        raise CliError(f"frame {text!r}: standard identifier {ident} is above 7FF (write 8 digits for an extended one)")
    if value > 0x1FFFFFFF:
        raise CliError(f"frame {text!r}: extended identifier {ident} is above 1FFFFFFF")
    return value, len(ident) == 8


def _remote_length(text: str, tail: str) -> int:
    if tail == "":
        return 0
    if len(tail) == 1 and tail in "012345678":
        return int(tail)
    raise CliError(f"frame {text!r}: a remote frame is R or R<len> with a length of 0 to 8")


def _fd_flags(text: str, digit: str) -> int:
    if not digit or digit not in "0123456789abcdefABCDEF":
        raise CliError(f"frame {text!r}: '##' is followed by one flags digit (1 bitrate switch, 2 error state)")
    flags = int(digit, 16)
    if flags & ~_KNOWN_FLAGS:
        raise CliError(f"frame {text!r}: CAN FD flags {digit} has bits beyond 1, 2 and 4")
    return flags


def _data(text: str, digits: str) -> bytes:
    if not _DATA.fullmatch(digits):
        raise CliError(f"frame {text!r}: data is pairs of hex digits, optionally with a '.' before each byte")
    return bytes.fromhex(digits.replace(".", ""))


def format_frame(msg: can.Message) -> str:
    """The compact text of ``msg`` as the candump log writes it: ``123#DEADBEEF``, ``123#R3``,
    ``12345678##5001122``; an error frame as its class bits with the error flag."""
    if msg.is_error_frame:
        ident = f"{0x20000000 | (msg.arbitration_id & 0x1FFFFFFF):08X}"
    elif msg.is_extended_id:
        ident = f"{msg.arbitration_id:08X}"
    else:
        ident = f"{msg.arbitration_id:03X}"
    if msg.is_remote_frame and not msg.is_fd:
        return f"{ident}#R{msg.dlc:X}" if 0 < msg.dlc <= 8 else f"{ident}#R"
    data = bytes(msg.data or b"").hex().upper()
    if msg.is_fd:
        flags = CANFD_FDF | (CANFD_BRS if msg.bitrate_switch else 0) | (CANFD_ESI if msg.error_state_indicator else 0)
        return f"{ident}##{flags:X}{data}"
    return f"{ident}#{data}"
