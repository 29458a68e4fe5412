"""Command frames, acknowledgement checks, the device commands, the heartbeat and the bit-timing
setup, against a fake adapter."""
import pytest

import src.fdhost as fd
from tests.fakes import (BANNER_LINE, CONTROL_IN, CONTROL_OUT, HEARTBEAT, HEART_OUT, RELEASED, ack_frame, bus,
                         command_frame, crc16, host, lines, timeout_error, usb_error)

__all__ = ["bus", "host"]  # fixtures
ACK = fd.ACK_TYPE


def test_checksum_helper_matches_known_values():
    assert crc16(b"123456789") == 0xBB3D == fd.CRC16_IBM(b"123456789")
    assert command_frame(1) == bytes.fromhex("A501000051C05A")
    assert HEARTBEAT[-3:-1] == fd.CRC16_IBM(HEARTBEAT[1:21]).to_bytes(2, "little")


@pytest.mark.parametrize("cmd, length, pdata, frame", [
    (0, 0, None, bytes.fromhex("A500000000005A")),
    (1, 0, None, bytes.fromhex("A501000051C05A")),
    (fd.CMD_TYPE.CMD_TEST_START, 0, None, bytes.fromhex("A504000041C15A")),
    (2, 4, None, command_frame(2, bytes(4))),
    (5, 9, bytes(range(1, 10)), command_frame(5, bytes(range(1, 10)))),
    (3, 2, [0xAB, 0xCD, 0xEF], command_frame(3, b"\xab\xcd")),  # only `length` bytes of the payload
])
def test_transfer_writes_one_frame_and_reports_success(host, capsys, cmd, length, pdata, frame):
    assert host.usb_contorl_transfer(cmd, length, pdata, None, None) == ACK.ACK_PACK
    assert host.dev.log == [("clear_halt", CONTROL_OUT), ("write", CONTROL_OUT, frame, 1000),
                            ("clear_halt", CONTROL_IN), ("read", CONTROL_IN, 2048, 5000)]
    assert capsys.readouterr().out == f"ACK successful\n{fd.CMD_TYPE_STR[cmd]} ACK SUCCESS\n"


def test_transfer_of_the_largest_payload(host):
    host.usb_contorl_transfer(0, 6137, None, None, None)
    assert host.dev.writes(CONTROL_OUT) == [command_frame(0, bytes(6137))]


@pytest.mark.parametrize("cmd, length, error", [
    (0, 6138, IndexError),
    (0, 65536, OverflowError),
    (0, -1, OverflowError),
    (256, 0, OverflowError),
    (-1, 0, OverflowError),
])
def test_transfer_rejects_unframeable_arguments(host, cmd, length, error):
    with pytest.raises(error):
        host.usb_contorl_transfer(cmd, length, None, None, None)
    assert host.dev.log == []


def test_transfer_of_a_nameless_command_fails_after_the_exchange(host):
    with pytest.raises(IndexError):
        host.usb_contorl_transfer(7, 0, None, None, None)
    assert host.dev.writes(CONTROL_OUT) == [command_frame(7)]


def bad_crc(frame, crc=0x00AB):
    return frame[:-3] + crc.to_bytes(2, "little") + frame[-1:]


ACK_FAILURES = [  # reply script, expected result, printed line
    ([timeout_error()], ACK.USB_ACK_FAILED, "[Error] Usb_control_ack receive failed: [Errno 110] Operation timed out"),
    ([usb_error("Pipe error", 32)], ACK.USB_ACK_FAILED, "[Error] Usb_control_ack receive failed: [Errno 32] Pipe error"),
    ([b"\xa4" + ack_frame(0)[1:]], ACK.NACK_FM_ERR, "[Error] ACK frame err, frame_start = 0xA4, frame_end = 0x5A"),
    ([ack_frame(0) + b"\x00"], ACK.NACK_FM_ERR, "[Error] ACK frame err, frame_start = 0xA5, frame_end = 0x00"),
    ([b"\x05"], ACK.NACK_FM_ERR, "[Error] ACK frame err, frame_start = 0x05, frame_end = 0x05"),
    ([bad_crc(ack_frame(1, 0))], ACK.NACK_CRC_ERR,  # a checksum error is found before the command mismatch
     f"[Error] ACK crc err, crc_local = 0x{crc16(bytes([1, 0, 0, 0])):04X} , crc = 0x00AB"),
    ([ack_frame(1)], ACK.USB_ACK_FAILED, "[Error] ACK cmd_code err, cmd_code = 0x01"),
    ([ack_frame(0, 3)], 3, "[Error] ACK ack_code err, ack_code = 0x03"),
    ([ack_frame(0, 0xE7, b"\x12")], 0xE7, "[Error] ACK ack_code err, ack_code = 0xE7"),
]


@pytest.mark.parametrize("replies, result, line", ACK_FAILURES)
def test_ack_failures(host, capsys, replies, result, line):
    host.dev.script_read(CONTROL_IN, *replies)
    length, data = [7], ["keep"]
    assert host.usb_control_ack(0, length, data) == result
    assert capsys.readouterr().out == line + "\n"
    assert (length, data) == ([7], ["keep"])


def test_ack_empty_reply_is_a_failed_receive(host, capsys):
    host.dev.script_read(CONTROL_IN, b"")
    assert host.usb_control_ack(0, None, None) == ACK.USB_ACK_FAILED
    out = capsys.readouterr().out
    prefix = "[Error] Usb_control_ack receive failed: "
    assert out.startswith(prefix) and out.count("\n") == 1 and len(out) > len(prefix) + 1


@pytest.mark.parametrize("error", [usb_error("Pipe error", 32), RuntimeError("odd")])
def test_ack_clear_halt_failure(host, capsys, error):
    host.dev.halt_errors[CONTROL_IN].append(error)
    assert host.usb_control_ack(0, None, None) == ACK.USB_ACK_FAILED
    assert capsys.readouterr().out == f"[Error] clear_halt failed: {error}\n"
    assert host.dev.log == [("clear_halt", CONTROL_IN)]


@pytest.mark.parametrize("reply, length, data", [
    (ack_frame(5, 0, b"\x12\x34"), [2], [b"\x12\x34"]),
    (ack_frame(5), [7], ["keep"]),  # no reply data: holders untouched
])
def test_ack_hands_reply_back_through_holders(host, capsys, reply, length, data):
    host.dev.script_read(CONTROL_IN, reply)
    got_len, got_data = [7], ["keep"]
    assert host.usb_control_ack(fd.CMD_TYPE.CMD_SETUP_BUARD, got_len, got_data) == 0
    assert (got_len, got_data) == (length, data)
    assert capsys.readouterr().out == "ACK successful\n"
    host.dev.script_read(CONTROL_IN, reply)
    assert host.usb_control_ack(5, None, None) == 0


SEND_FAILURES = [  # what the device does, result, printed line
    ("halt", usb_error("Pipe error", 32), ACK.USB_CLEAR_FAILED, "[Error] usb.util.clear_halt failed: [Errno 32] Pipe error"),
    ("write", usb_error("Operation timed out", 110), ACK.USB_SEND_FAILED,
     "[Error] dev.write (bulk transfer) failed: [Errno 110] Operation timed out"),
    ("write", 5, ACK.USB_SEND_FAILED, "[Error] dev.write wrote 5 bytes, expected 7"),
    ("write", 8, ACK.USB_SEND_FAILED, "[Error] dev.write wrote 8 bytes, expected 7"),
]


@pytest.mark.parametrize("where, what, result, line", SEND_FAILURES)
def test_send_failures(host, capsys, where, what, result, line):
    (host.dev.halt_errors if where == "halt" else host.dev.write_results)[CONTROL_OUT].append(what)
    assert host.usb_control_send(bytearray(command_frame(0)) + bytes(10), 7) == result
    assert capsys.readouterr().out == line + "\n"
    assert host.dev.writes(CONTROL_OUT) == ([] if where == "halt" else [command_frame(0)])


def test_send_lets_other_errors_through(host):
    host.dev.halt_errors[CONTROL_OUT].append(RuntimeError("odd"))
    with pytest.raises(RuntimeError):
        host.usb_control_send(command_frame(0), 7)
    host.dev_handle = None
    with pytest.raises(AttributeError):
        host.usb_control_send(command_frame(0), 7)


TRANSFER_FAILURES = [  # command method, scripted device behaviour, lines before the FAIL line
    ("USB_CMD_START_CAP", {"reads": [ack_frame(1)]}, ["[Error] ACK cmd_code err, cmd_code = 0x01"]),
    ("USB_CMD_STOP_CAP", {"reads": [bad_crc(ack_frame(1))]},
     [f"[Error] ACK crc err, crc_local = 0x{crc16(bytes([1, 0, 0, 0])):04X} , crc = 0x00AB"]),
    ("USB_CMD_START_TEST", {"reads": [ack_frame(4, 2)]}, ["[Error] ACK ack_code err, ack_code = 0x02"]),
    ("USB_CMD_START_CAP", {"reads": [b""]}, None),
    ("USB_CMD_START_CAP", {"write": usb_error("No such device", 19), "reads": [timeout_error()]},
     ["[Error] dev.write (bulk transfer) failed: [Errno 19] No such device",
      "[Error] Usb_control_ack receive failed: [Errno 110] Operation timed out"]),
]


@pytest.mark.parametrize("method, script, before", TRANSFER_FAILURES)
def test_rejected_command_releases_adapter_and_exits(host, capsys, method, script, before):
    host.dev.script_read(CONTROL_IN, *script["reads"])
    if "write" in script:
        host.dev.write_results[CONTROL_OUT].append(script["write"])
    with pytest.raises(SystemExit) as exc:
        getattr(host, method)()
    assert exc.value.code == -1
    name = {"USB_CMD_START_CAP": "CMD_START_CAP", "USB_CMD_STOP_CAP": "CMD_STOP_CAP",
            "USB_CMD_START_TEST": "CMD_TEST_START"}[method]
    out = lines(capsys.readouterr().out)
    if before is None:
        assert out[0].startswith("[Error] Usb_control_ack receive failed: ") and len(out) == 6
        before = out[:1]
    assert out == before + [f"[Error] {name} ACK FAIL", RELEASED, BANNER_LINE, "", ""]
    assert host.dev_handle is None and fd.kq_sn == [None] * 8


@pytest.mark.parametrize("method, args, frame, name", [
    ("USB_CMD_START_CAP", (), "A500000000005A", "CMD_START_CAP"),
    ("USB_CMD_STOP_CAP", (), "A501000051C05A", "CMD_STOP_CAP"),
    ("USB_CMD_START_TEST", (), "A504000041C15A", "CMD_TEST_START"),
    ("USB_CMD_ACK_HELLO", (), "A5060000E0015A", "CMD_ACK_HELLO"),
    ("USB_CMD_TEST_ACK", (None, None), "A5060000E0015A", "CMD_ACK_HELLO"),
])
def test_device_commands(host, capsys, method, args, frame, name):
    assert getattr(host, method)(*args) == ACK.ACK_PACK
    assert host.dev.writes(CONTROL_OUT) == [bytes.fromhex(frame)]
    hello = ["Ack_len = 0 , ack_dat: [None]"] if "ACK" in method[8:] else []
    assert lines(capsys.readouterr().out) == ["ACK successful", f"{name} ACK SUCCESS"] + hello + [""]


@pytest.mark.parametrize("data, length_back, data_back, line", [
    (b"\x01\x02", 2, b"\x01\x02", "Ack_len = 2 , ack_dat: [b'\\x01\\x02']"),
    (b"", 0, None, "Ack_len = 0 , ack_dat: [None]"),
])
def test_hello_reply_is_reported_and_handed_on(host, capsys, data, length_back, data_back, line):
    host.dev.script_read(CONTROL_IN, ack_frame(6, 0, data), ack_frame(6, 0, data))
    assert host.USB_CMD_ACK_HELLO() == 0
    assert lines(capsys.readouterr().out)[-2] == line
    length_ref, data_ref = [99], ["old"]
    assert host.USB_CMD_TEST_ACK(length_ref, data_ref) == 0
    assert (length_ref, data_ref) == ([length_back], [data_back])
    assert lines(capsys.readouterr().out)[-2] == line


def test_heartbeat_frame(host, capsys):
    assert HEARTBEAT.hex().upper() == "A5101100" + "FF" * 17 + "0A1C5A"
    assert host.USB_CMD_HEART() is None
    assert host.dev.log == [("write", HEART_OUT, HEARTBEAT, 100)]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("break_it, text", [
    (lambda h: h.dev.write_results[HEART_OUT].append(timeout_error()), "[Errno 110] Operation timed out"),
    (lambda h: setattr(h, "dev_handle", None), "'NoneType' object has no attribute 'write'"),
])
def test_heartbeat_failure_is_reported_not_raised(host, capsys, break_it, text):
    break_it(host)
    assert host.USB_CMD_HEART() is None
    assert capsys.readouterr().out == f"In USB_CMD_HEART,USB bulk Transmission Error: {text}\n"


@pytest.mark.parametrize("args, payload, report", [
    ((1, 1, 1, 63, 16, 15, 4), "013F100201 0F040201",
     ["Set the arbitration domain baud rate: 1000000.0", "Set the data baud rate: 4000000.0", "Sampling point: 80.0%"]),
    ((0, 0, 2, 29, 10, 29, 10), "001D0A0200 1D0A0202", ["Sampling point: 75.0%"]),  # a zero prescaler
    ((0, 2, 0, 29, 10, 13, 2), "001D0A0202 0D020200", ["Sampling point: 87.5%"]),
    ((0x101, 1, 1, 0x1FF, 0, 1, 0), "01FF000201 01000201",
     ["Set the arbitration domain baud rate: 156250.0", "Set the data baud rate: 40000000.0",
      "Sampling point: 100.0%"]),  # fields keep their low eight bits; the report uses the arguments
])
def test_setup_command(host, capsys, args, payload, report):
    assert host.USB_CMD_SETUP_BUARD(*args) == 0
    frame = command_frame(5, bytes.fromhex(payload.replace(" ", "")))
    assert len(frame) == 16 and host.dev.writes(CONTROL_OUT) == [frame]
    assert lines(capsys.readouterr().out) == report + ["ACK successful", "CMD_SETUP_BUARD ACK SUCCESS", ""]


def test_setup_command_takes_keywords(host):
    host.USB_CMD_SETUP_BUARD(can_fd_seg2=2, can_fd_seg1=13, can_seg2=10, can_seg1=29, dbrp_fd=1, dbrp=2, canMode=1)
    assert host.dev.writes(CONTROL_OUT) == [command_frame(5, bytes.fromhex("011D0A02020D020201"))]

