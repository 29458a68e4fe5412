"""cansend's grammar in (every example of the issue and the can-utils notes), the candump log's
compact frame text out."""
import can
import pytest

from fdhost_can.cli.common import CliError
from fdhost_can.cli.frames import format_frame, parse_frame

# text -> (id, extended, remote, fd, brs, esi, dlc, data hex); the compact text it prints as.
GOOD = [
    ("123#DEADBEEF", (0x123, False, False, False, False, False, 4, "DEADBEEF"), "123#DEADBEEF"),
    ("12345678#00.11.22", (0x12345678, True, False, False, False, False, 3, "001122"), "12345678#001122"),
    ("123#R", (0x123, False, True, False, False, False, 0, ""), "123#R"),
    ("123#r3", (0x123, False, True, False, False, False, 3, ""), "123#R3"),
    ("123#R8", (0x123, False, True, False, False, False, 8, ""), "123#R8"),
    ("213##311223344", (0x213, False, False, True, True, True, 4, "11223344"), "213##711223344"),
    ("123##1", (0x123, False, False, True, True, False, 0, ""), "123##5"),
    ("123##4.11", (0x123, False, False, True, False, False, 1, "11"), "123##411"),
    ("1FFFFFFF##0" + "AB" * 9, (0x1FFFFFFF, True, False, True, False, False, 12, "AB" * 9 + "00" * 3),
     "1FFFFFFF##4" + "AB" * 9 + "000000"),
    ("123##0" + "11" * 33, (0x123, False, False, True, False, False, 48, "11" * 33 + "00" * 15),
     "123##4" + "11" * 33 + "00" * 15),
    ("7ff#", (0x7FF, False, False, False, False, False, 0, ""), "7FF#"),
    ("000#.11.22.", (0, False, False, False, False, False, 2, "1122"), "000#1122"),
]


@pytest.mark.parametrize("text, fields, compact", GOOD)
def test_cansend_grammar(text, fields, compact):
    m = parse_frame(text)
    got = (m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.is_fd, m.bitrate_switch,
           m.error_state_indicator, m.dlc, bytes(m.data).hex().upper())
    assert got == fields
    assert format_frame(m) == (compact or text.replace(".", "").upper().replace("##0", "##4"))


BAD = [
    ("", "expected <id>#<data>"),
    ("123", "expected <id>#<data>"),
    ("12#11", "3 hex digits"),
    ("12345#11", "3 hex digits"),            # can-utils' 5-digit form is CAN XL
    ("800#11", "above 7FF"),
    ("20000000#11", "above 1FFFFFFF"),
    ("123#112", "pairs of hex digits"),
    ("123#11..22", "pairs of hex digits"),
    ("123#1122334455667788_9", "pairs of hex digits"),
    ("123#112233445566778899", "at most 8 data bytes"),
    ("123#R9", "R<len>"),
    ("123#R3.", "R<len>"),
    ("123##", "one flags digit"),
    ("123##8", "bits beyond"),
    ("123##0" + "11" * 65, "at most 64"),
]


@pytest.mark.parametrize("text, reason", BAD)
def test_bad_frames_say_why(text, reason):
    with pytest.raises(CliError, match=reason):
        parse_frame(text)


@pytest.mark.parametrize("msg, text", [
    (can.Message(arbitration_id=0x123, is_extended_id=False, is_remote_frame=True, dlc=0), "123#R"),
    (can.Message(arbitration_id=0x5, is_extended_id=True, is_remote_frame=True, dlc=2), "00000005#R2"),
    (can.Message(is_error_frame=True, arbitration_id=0x80, data=bytes(8)), "20000080#0000000000000000"),
    (can.Message(arbitration_id=0x1, is_extended_id=False, is_fd=True, error_state_indicator=True, data=b"\x01"),
     "001##601"),
])
def test_frames_python_can_builds(msg, text):
    assert format_frame(msg) == text
