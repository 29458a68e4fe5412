"""The protocol vocabulary of the module: constants, enumerations, checksum functions and records,
plus what importing the module does (load order, SIGINT handler, one initialisation per process)."""

import array
import enum
import inspect
import json
import random
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import load_fdhost
import src.fdhost as fd

ROOT = load_fdhost.ROOT


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=ROOT, capture_output=True,
                          text=True, timeout=60, env=load_fdhost.env_for_child())


# --------------------------------------------------------------------------- module load

LOAD_ORDER = [
    "usb", "sys", "time", "threading", "signal",
    "KQ_USBD_VID", "KQ_USBD_PID", "KQ_DEV_MAX", "WINUSB_IN_EP", "WINUSB_OUT_EP", "CAN_IN_EP", "CAN_OUT_EP",
    "CONTROL_IN_EP", "CONTROL_OUT_EP", "RX_LENGTH", "RX_ACK_SIZE", "TX_SIZE",
    "IntEnum",
    "can_seg_table", "can_fd_seg_table",
    "CMD_TYPE_STR",
    "CMD_TYPE", "ACK_TYPE",
    "can_head_type", "can_value_type", "can_tx_type",
    "can_ack_type", "setup_baudrate_t",
    "invert_uint8", "invert_uint16", "CRC16_IBM",
    "kq_device", "kq_string", "kq_sn",
    "fdhost", "running", "signal_handler",
]


def test_module_attributes_are_created_in_load_order():
    # A fresh interpreter, so nothing another test rebinds can disturb the namespace order.
    r = run_python("""
        import json, load_fdhost
        m = load_fdhost.load()
        print(json.dumps(list(vars(m))))
    """)
    assert r.returncode == 0, r.stderr
    names = json.loads(r.stdout)
    assert [n for n in names if n in LOAD_ORDER] == LOAD_ORDER


def test_imported_modules_are_the_interpreters_own():
    import signal, threading, time

    import usb.core
    import usb.util

    assert fd.usb is usb and fd.usb.core is usb.core and fd.usb.util is usb.util
    assert (fd.sys, fd.time, fd.threading, fd.signal) == (sys, time, threading, signal)
    assert fd.IntEnum is enum.IntEnum


def test_import_installs_sigint_handler_that_only_clears_running():
    r = run_python("""
        import os, signal, load_fdhost
        m = load_fdhost.load()
        assert signal.getsignal(signal.SIGINT) is m.signal_handler
        assert isinstance(m.running, m.threading.Event) and m.running.is_set()
        os.kill(os.getpid(), signal.SIGINT)
        os.kill(os.getpid(), signal.SIGINT)
        print("cleared" if not m.running.is_set() else "still set")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "cleared\n"
    assert r.stderr == "\nInterrupt signal (2) received.\n" * 2


def test_import_does_not_touch_usb():
    r = run_python("""
        import usb.core, usb.util
        def forbidden(*a, **k):
            raise AssertionError("USB touched at import")
        for mod, name in [(usb.core, "find"), (usb.util, "get_string"), (usb.util, "claim_interface"),
                          (usb.util, "dispose_resources")]:
            setattr(mod, name, forbidden)
        import load_fdhost
        m = load_fdhost.load()
        assert m.usb.core.find is forbidden
        assert m.kq_device == [None] * 8
        print("ok")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "ok\n"


def test_second_initialisation_in_same_interpreter_is_refused():
    r = run_python("""
        import sys, load_fdhost
        first = load_fdhost.load()
        del sys.modules["src.fdhost"]
        try:
            load_fdhost.load()
        except RuntimeError as e:
            print(e)
        print(first.CRC16_IBM(b"123456789"))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == ("Module 'fdhost' has already been imported. Re-initialisation is not supported.\n"
                        "47933\n")


def test_loading_into_a_second_interpreter_is_refused():
    r = run_python("""
        import load_fdhost
        load_fdhost.load()
        code = "import load_fdhost; load_fdhost.load()"
        try:
            import _xxsubinterpreters as si  # up to 3.12
            i = si.create()
            try:
                si.run_string(i, code)
            except Exception as e:
                print(e)
        except ImportError:
            try:
                import _interpreters as si  # 3.13 and newer
            except ImportError:
                print("SKIP"); raise SystemExit
            # An interpreter as the older versions made them (sharing the GIL): an isolated one refuses
            # every module of the old kind before the module has a say.
            i = si.create("legacy")
            failed = si.exec(i, code)
            print(failed.formatted if failed else "loaded")
        si.destroy(i)
    """)
    assert r.returncode == 0, r.stderr
    if r.stdout == "SKIP\n":
        pytest.skip("no sub-interpreter support in this interpreter")
    assert "ImportError" in r.stdout
    assert ("Interpreter change detected - this module can only be loaded into one interpreter "
            "per process.") in r.stdout


# --------------------------------------------------------------------------- constants and enumerations

@pytest.mark.parametrize("name, value", [
    ("KQ_USBD_VID", 0x34B7), ("KQ_USBD_PID", 0x6877), ("KQ_DEV_MAX", 8),
    ("WINUSB_IN_EP", 0x81), ("WINUSB_OUT_EP", 0x01), ("CAN_IN_EP", 0x83), ("CAN_OUT_EP", 0x03),
    ("CONTROL_IN_EP", 0x82), ("CONTROL_OUT_EP", 0x02),
    ("RX_LENGTH", 51200), ("RX_ACK_SIZE", 2048), ("TX_SIZE", 6144),
])
def test_integer_constants(name, value):
    v = getattr(fd, name)
    assert type(v) is int and v == value


def test_endpoint_direction_bits_pair_up():
    for n in ("WINUSB", "CONTROL", "CAN"):
        ep_in, ep_out = getattr(fd, n + "_IN_EP"), getattr(fd, n + "_OUT_EP")
        assert ep_in & 0x80 and not ep_out & 0x80
        assert ep_in & 0x0F == ep_out & 0x0F


CMD_NAMES = ["CMD_START_CAP", "CMD_STOP_CAP", "CMD_IAP_PACK", "CMD_IAP_END", "CMD_TEST_START", "CMD_SETUP_BUARD",
             "CMD_ACK_HELLO", "CMD_DEBUG_ENABLE", "CMD_DEBUG_DISABLE", "CMD_GetUUID", "CMD_WRITE_SN", "CMD_READ_SN",
             "CMD_JUMP_OUT_LOADER", "CMD_GET_BAUD", "CMD_RECOVERY_FACTORY", "CMD_STOP_SEND"]
ACK_NAMES = ["ACK_PACK", "NACK_FM_ERR", "NACK_CRC_ERR", "NACK_ARG_ERR", "NACK_CALL_ERR", "USB_ACK_FAILED",
             "FLASH_ERR", "CAN_FD_SET_FAILED", "CAN_SET_FAILED", "UNLOCK_FAILED", "UNLOCK_SUCCESS", "LOCK_SUCCESS",
             "LOCK_FAILED", "USB_CLEAR_FAILED", "USB_SEND_FAILED", "USB_RX_FAILED"]


@pytest.mark.parametrize("enum_name, names", [("CMD_TYPE", CMD_NAMES), ("ACK_TYPE", ACK_NAMES)])
def test_enumerations_are_int_enums_with_all_members_in_order(enum_name, names):
    cls = getattr(fd, enum_name)
    assert isinstance(cls, type) and issubclass(cls, enum.IntEnum)
    assert [(m.name, m.value) for m in cls] == [(n, i) for i, n in enumerate(names)]
    assert all(isinstance(m, int) and m == i for i, m in enumerate(cls))
    assert cls(5) is getattr(cls, names[5]) and bytes([cls(14)]) == b"\x0e"


def test_cmd_type_str_names_codes_0_to_6():
    assert type(fd.CMD_TYPE_STR) is list
    assert fd.CMD_TYPE_STR == CMD_NAMES[:7]
    assert [fd.CMD_TYPE(i).name for i in range(7)] == fd.CMD_TYPE_STR


def test_slot_lists_are_eight_independent_nones():
    lists = [fd.kq_device, fd.kq_string, fd.kq_sn]
    assert all(type(l) is list and l == [None] * fd.KQ_DEV_MAX for l in lists)
    assert len({id(l) for l in lists}) == 3


# --------------------------------------------------------------------------- bit inversion

@pytest.mark.parametrize("func, val, expected", [
    (fd.invert_uint8, 0x01, 0x80), (fd.invert_uint8, 0x0F, 0xF0), (fd.invert_uint8, 0x1FF, 0xFF),
    (fd.invert_uint8, 0xA5 | (1 << 80), 0xA5), (fd.invert_uint8, 0x12, 0x48), (fd.invert_uint8, -1, 0xFF),
    (fd.invert_uint16, 0x0001, 0x8000), (fd.invert_uint16, 0x10001, 0x8000), (fd.invert_uint16, 0x1234, 0x2C48),
    (fd.invert_uint16, 0xFFFF, 0xFFFF), (fd.invert_uint16, True, 0x8000),
])
def test_invert_values(func, val, expected):
    assert func(val) == expected
    assert func(val=val) == expected


@given(st.integers(0, 0xFFFF))
def test_invert_uint16_matches_bit_string_reversal(v):
    assert fd.invert_uint16(v) == int(format(v, "016b")[::-1], 2)
    assert fd.invert_uint8(v) == int(format(v & 0xFF, "08b")[::-1], 2)


@pytest.mark.parametrize("func, arg, width", [(fd.invert_uint8, "val", "uint8"),
                                              (fd.invert_uint16, "val", "uint16"),
                                              (fd.CRC16_IBM, "data", None)])
def test_function_signatures_and_docstrings(func, arg, width):
    assert list(inspect.signature(func).parameters) == [arg]
    if width is None:
        assert not func.__doc__
    else:
        doc = func.__doc__
        assert doc and "\n" not in doc.strip()
        assert "revers" in doc.lower() and width in doc
    with pytest.raises(TypeError):
        func()
    with pytest.raises(TypeError):
        func(1, 2)
    with pytest.raises(TypeError):
        func(**{arg + "_x": 1})


# --------------------------------------------------------------------------- CRC16

def crc16_reference(data: bytes) -> int:
    """MSB-first loop over bit-reversed input, polynomial 0x8005, result bit-reversed."""
    def rev(v, bits):
        return int(format(v, f"0{bits}b")[::-1], 2)
    reg = 0
    for byte in data:
        reg ^= rev(byte, 8) << 8
        for _ in range(8):
            reg = ((reg << 1) ^ 0x8005 if reg & 0x8000 else reg << 1) & 0xFFFF
    return rev(reg, 16)


@pytest.mark.parametrize("data, expected", [
    (b"", 0), (b"\x00", 0), (b"\x01", 0xC0C1), (b"abc", 0x9738), (b"123456789", 0xBB3D),
])
def test_crc16_known_values(data, expected):
    assert crc16_reference(data) == expected
    assert fd.CRC16_IBM(data) == expected
    assert fd.CRC16_IBM(data=list(data)) == expected


@pytest.mark.parametrize("convert", [
    bytes, bytearray, list, tuple, memoryview, lambda b: (x for x in b), lambda b: array.array("B", b),
    lambda b: array.array("b", [x - 256 if x > 127 else x for x in b]),
    lambda b: memoryview(bytes(x for y in b for x in (y, 0)))[::2],     # not contiguous
    lambda b: array.array("H", [x | 0x5A00 for x in b]),                # wider items: low byte counts
    lambda b: [x + 0x100 for x in b],                                   # 0x101 counts as 0x01
    lambda b: [x - 256 for x in b],                                     # -1 counts as 0xFF
    lambda b: [x | (1 << 100) for x in b],
], ids=["bytes", "bytearray", "list", "tuple", "memoryview", "generator", "array_B", "array_b",
        "strided_view", "array_H", "plus_0x100", "negative", "huge_int"])
def test_crc16_input_kinds_agree(convert):
    data = bytes(range(256)) + b"123456789"
    assert fd.CRC16_IBM(convert(data)) == crc16_reference(data)


@pytest.mark.parametrize("arg", [[1, 2.0], ["a"], [b"a"], [None], 5, None, 1.5])
def test_crc16_rejects_non_integers_and_non_iterables(arg):
    with pytest.raises(TypeError):
        fd.CRC16_IBM(arg)


@given(st.binary(max_size=600))
def test_crc16_equals_bitwise_reference(data):
    assert fd.CRC16_IBM(data) == crc16_reference(data)


@given(st.lists(st.integers(min_value=-(2**70), max_value=2**70), max_size=64))
def test_crc16_of_integer_list_counts_low_eight_bits(values):
    assert fd.CRC16_IBM(values) == crc16_reference(bytes(v & 0xFF for v in values))


@settings(max_examples=12, deadline=None)
@given(seed=st.integers(0, 2**32), length=st.integers(16_000, 70_000))
def test_crc16_large_buffers(seed, length):
    data = random.Random(seed).randbytes(length)
    expected = crc16_reference(data)
    assert fd.CRC16_IBM(data) == expected
    assert fd.CRC16_IBM(bytearray(data)) == expected
    assert fd.CRC16_IBM(memoryview(data)) == expected


# --------------------------------------------------------------------------- records

SIZES = {"can_head_type": 12, "can_value_type": 76, "can_tx_type": 88, "setup_baudrate_t": 9, "can_ack_type": 64}
SHORT_MESSAGES = {
    "can_head_type": "In can_head_type,Insufficient data for CanHeadType",
    "can_value_type": "In can_value_type,Insufficient data for CanValueType",
    "can_tx_type": "In can_tx_type,Insufficient data for CanTxType",
    "setup_baudrate_t": "In setup_baudrate_t,Insufficient data for SetupBaudrate",
    "can_ack_type": "In can_ack_type,Insufficient data for CanAckType",
}
RECORDS = list(SIZES)
FIELDS = {
    "can_head_type": ["id", "time_stamp", "reserve", "fram_type", "can_type", "id_type", "dir", "dlc"],
    "can_value_type": ["head", "data"],
    "can_tx_type": ["reserve0", "can_type", "fram_type", "id_type", "fd_acc", "id_increase", "data_increase", "cmd",
                    "reserve1", "dlc", "send_time", "reserve3", "interval", "can_id", "data"],
    "setup_baudrate_t": ["can_frame_type", "can_seg1", "can_seg2", "can_sjw", "can_prescaler", "canfd_seg1",
                         "canfd_seg2", "canfd_sjw", "canfd_prescaler"],
    "can_ack_type": ["ack_dat", "ack_reserve"],
}


def new(name):
    return getattr(fd, name)()


def snapshot(rec):
    return {f: getattr(rec, f) for f in FIELDS[type(rec).__name__]}


@pytest.mark.parametrize("name, encoding", [
    ("can_head_type", bytes(12)), ("can_value_type", bytes(76)), ("can_tx_type", bytes(88)),
    ("setup_baudrate_t", bytes.fromhex("000000020000000200")), ("can_ack_type", bytes(64)),
])
def test_new_record_encoding_and_result_type(name, encoding):
    out = new(name).to_bytes()
    assert type(out) is (bytes if name == "setup_baudrate_t" else bytearray)
    assert out == encoding


@pytest.mark.parametrize("name", RECORDS)
def test_constructor_takes_no_arguments(name):
    cls = getattr(fd, name)
    with pytest.raises(TypeError):
        cls(0)
    with pytest.raises(TypeError):
        cls(id=0)


@pytest.mark.parametrize("name, field, length", [
    ("can_head_type", "reserve", 3), ("can_value_type", "data", 64), ("can_tx_type", "reserve0", 2),
    ("can_tx_type", "reserve3", 4), ("can_tx_type", "data", 64), ("can_ack_type", "ack_reserve", 63),
])
def test_list_fields_are_fresh_zero_lists_that_encode_through_mutation(name, field, length):
    a, b = new(name), new(name)
    lst = getattr(a, field)
    assert type(lst) is list and lst == [0] * length
    assert lst is not getattr(b, field)
    assert getattr(a, field) is lst          # the attribute hands out the stored list itself
    before = a.to_bytes()
    lst[0] = 5
    after = a.to_bytes()
    assert after != before and after.count(5) == 1
    assert b.to_bytes() == before


def test_value_record_owns_its_head():
    a, b = fd.can_value_type(), fd.can_value_type()
    assert type(a.head) is fd.can_head_type and a.head is not b.head
    a.head.id = 0x7FF
    a.head.dlc = 8
    assert a.to_bytes()[:12] == bytes.fromhex("ff070000 00000000 000000 80")
    assert b.to_bytes() == bytes(76)


@pytest.mark.parametrize("name", RECORDS)
def test_fields_are_freely_assignable(name):
    rec = new(name)
    for i, f in enumerate(FIELDS[name]):
        values = [object(), "text", None, 3.5, [1, 2]]
        v = values[i % len(values)]
        setattr(rec, f, v)
        assert getattr(rec, f) is v


def test_header_worked_example():
    h = fd.can_head_type()
    h.id, h.fram_type, h.can_type, h.id_type, h.dir, h.dlc = 0x123, 1, 1, 0, 1, 15
    assert h.to_bytes() == bytes.fromhex("23010000 00000000 000000 fb")


def test_transmit_worked_example():
    t = fd.can_tx_type()
    t.can_type, t.fram_type, t.fd_acc, t.dlc, t.send_time, t.can_id = 1, 1, 1, 64, 1, 0x7FF
    out = t.to_bytes()
    assert len(out) == 88
    assert out[2] == 0x0B and out[4] == 0x40 and out[5:8] == bytes(3)
    assert out[8:12] == bytes.fromhex("01000000") and out[20:24] == bytes.fromhex("ff070000")
    assert out[:2] + out[3:4] + out[12:20] + out[24:] == bytes(2 + 1 + 8 + 64)


def test_setup_worked_example():
    s = fd.setup_baudrate_t()
    s.can_frame_type, s.can_seg1, s.can_seg2, s.can_prescaler = 1, 29, 10, 2
    s.canfd_seg1, s.canfd_seg2, s.canfd_prescaler = 13, 2, 1
    assert s.to_bytes() == bytes.fromhex("011d0a02020d020201")


@pytest.mark.parametrize("name, field, bit", [
    *[("can_head_type", f, i) for i, f in enumerate(["fram_type", "can_type", "id_type", "dir"])],
    *[("can_tx_type", f, i) for i, f in enumerate(["can_type", "fram_type", "id_type", "fd_acc", "id_increase",
                                                    "data_increase", "cmd"])],
])
def test_flag_bits_encode_decode_and_mask(name, field, bit):
    offset = 11 if name == "can_head_type" else 2
    rec = new(name)
    for value, expected in [(1, 1 << bit), (2, 0), (3, 1 << bit), (-1, 1 << bit), (True, 1 << bit), (2**70, 0)]:
        setattr(rec, field, value)
        assert rec.to_bytes()[offset] == expected
    raw = bytearray(SIZES[name])
    raw[offset] = 1 << bit
    rec.from_bytes(raw)
    assert [f for f in FIELDS[name] if getattr(rec, f) == 1] == [field]


@pytest.mark.parametrize("value, expected", [(15, 0xF0), (16, 0x00), (17, 0x10), (-1, 0xF0)])
def test_header_dlc_is_masked_to_four_bits(value, expected):
    h = fd.can_head_type()
    h.dlc = value
    assert h.to_bytes()[11] == expected


@pytest.mark.parametrize("value, encoded", [
    (-1, "ffffffff"), (1.9, "01000000"), (-1.9, "ffffffff"), (2**31 - 1, "ffffff7f"), (-(2**31), "00000080"),
    ("7", "07000000"),
])
def test_send_time_is_a_signed_integer(value, encoded):
    t = fd.can_tx_type()
    t.send_time = value
    assert t.to_bytes()[8:12] == bytes.fromhex(encoded)


@pytest.mark.parametrize("name, field, offset", [
    ("setup_baudrate_t", f, i) for i, f in enumerate(FIELDS["setup_baudrate_t"])
] + [("can_ack_type", "ack_dat", 0), ("can_tx_type", "reserve1", 3), ("can_tx_type", "dlc", 4)])
def test_byte_fields_are_masked(name, field, offset):
    rec = new(name)
    for value in (0x1FF, -1):
        setattr(rec, field, value)
        assert rec.to_bytes()[offset] == 0xFF


@pytest.mark.parametrize("name, field, offset", [
    ("can_head_type", "id", 0), ("can_head_type", "time_stamp", 4),
    ("can_tx_type", "interval", 16), ("can_tx_type", "can_id", 20),
])
def test_unsigned_32_bit_fields(name, field, offset):
    rec = new(name)
    setattr(rec, field, 2**32 - 1)
    assert rec.to_bytes()[offset:offset + 4] == b"\xff\xff\xff\xff"
    setattr(rec, field, 0x12345678)
    assert rec.to_bytes()[offset:offset + 4] == bytes.fromhex("78563412")
    for bad in (-1, 2**32, 2**64, -(2**70)):
        setattr(rec, field, bad)
        with pytest.raises(OverflowError):
            rec.to_bytes()


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**40])
def test_send_time_out_of_range_overflows(value):
    t = fd.can_tx_type()
    t.send_time = value
    with pytest.raises(OverflowError):
        t.to_bytes()


@pytest.mark.parametrize("name, field", [
    ("can_head_type", "reserve"), ("can_value_type", "data"), ("can_tx_type", "reserve0"),
    ("can_tx_type", "reserve3"), ("can_tx_type", "data"), ("can_ack_type", "ack_reserve"),
])
@pytest.mark.parametrize("bad", [256, -1])
def test_array_entry_out_of_byte_range_is_a_value_error(name, field, bad):
    rec = new(name)
    getattr(rec, field)[-1] = bad
    with pytest.raises(ValueError):
        rec.to_bytes()


def test_value_record_fails_on_bad_header_field():
    v = fd.can_value_type()
    v.head.id = -1
    with pytest.raises(OverflowError):
        v.to_bytes()


@pytest.mark.parametrize("name", RECORDS)
def test_from_bytes_length_limits(name):
    size = SIZES[name]
    rec = new(name)
    rec.from_bytes(bytes(range(1, size + 1)))
    before, encoded = snapshot(rec), rec.to_bytes()
    for short in (b"", bytes(size - 1), list(range(size - 1))):
        with pytest.raises(ValueError) as e:
            rec.from_bytes(short)
        assert str(e.value) == SHORT_MESSAGES[name]
        assert all(getattr(rec, f) is v for f, v in before.items())
        assert rec.to_bytes() == encoded
    rec.from_bytes(bytes(size))
    assert rec.to_bytes() == bytes(size)


@pytest.mark.parametrize("name", RECORDS)
@pytest.mark.parametrize("kind", [bytes, bytearray, list, memoryview])
def test_from_bytes_accepts_byte_sequences_and_ignores_extra(name, kind):
    size = SIZES[name]
    raw = bytes((7 * i + 3) & 0xFF for i in range(size))
    if name == "can_tx_type":
        raw = raw[:5] + bytes(3) + raw[8:]
        raw = raw[:2] + bytes([raw[2] & 0x7F]) + raw[3:]
    rec = new(name)
    rec.from_bytes(b=kind(raw + b"\xAA" * 9))
    assert rec.to_bytes() == raw


def test_header_decodes_fields():
    h = fd.can_head_type()
    h.from_bytes(bytes.fromhex("78563412 efbeadde 010203 fb"))
    assert (h.id, h.time_stamp, h.reserve) == (0x12345678, 0xDEADBEEF, [1, 2, 3])
    assert (h.fram_type, h.can_type, h.id_type, h.dir, h.dlc) == (1, 1, 0, 1, 15)
    assert type(h.reserve) is list


def test_transmit_decodes_the_layout_it_encodes():
    t = fd.can_tx_type()
    t.from_bytes(bytes(range(88)))
    assert t.reserve0 == [0, 1] and t.reserve1 == 3 and t.dlc == 4
    assert t.send_time == int.from_bytes(bytes(range(8, 12)), "little")
    assert t.reserve3 == [12, 13, 14, 15]
    assert t.interval == int.from_bytes(bytes(range(16, 20)), "little")
    assert t.can_id == int.from_bytes(bytes(range(20, 24)), "little")
    assert t.data == list(range(24, 88))
    t.from_bytes(bytes(8) + b"\xff" * 4 + bytes(4) + b"\xff" * 8 + bytes(64))
    assert (t.send_time, t.interval, t.can_id) == (-1, 2**32 - 1, 2**32 - 1)


def test_setup_and_ack_decode_unmasked_fields():
    s = fd.setup_baudrate_t()
    s.from_bytes(bytes(range(10, 19)))
    assert [getattr(s, f) for f in FIELDS["setup_baudrate_t"]] == list(range(10, 19))
    a = fd.can_ack_type()
    a.from_bytes(bytes(range(64)))
    assert a.ack_dat == 0 and a.ack_reserve == list(range(1, 64)) and type(a.ack_reserve) is list


def test_value_from_bytes_keeps_head_identity_and_replaces_data():
    v = fd.can_value_type()
    head, data = v.head, v.data
    v.from_bytes(bytes(range(100, 176)))
    assert v.head is head
    assert head.id == int.from_bytes(bytes(range(100, 104)), "little")
    assert v.data is not data and v.data == list(range(112, 176)) and type(v.data) is list


@pytest.mark.parametrize("name", ["can_head_type", "can_value_type", "setup_baudrate_t", "can_ack_type"])
@given(data=st.data())
def test_decode_then_encode_round_trips(name, data):
    raw = data.draw(st.binary(min_size=SIZES[name], max_size=SIZES[name]))
    rec = new(name)
    rec.from_bytes(raw)
    assert bytes(rec.to_bytes()) == raw


@given(st.binary(min_size=88, max_size=88))
def test_transmit_round_trip_normalises_only_unused_bits(raw):
    t = fd.can_tx_type()
    t.from_bytes(raw)
    expected = bytearray(raw)
    expected[2] &= 0x7F
    expected[5:8] = bytes(3)
    assert t.to_bytes() == expected


tx_fields = st.fixed_dictionaries({
    "reserve0": st.lists(st.integers(0, 255), min_size=2, max_size=2),
    **{f: st.integers(0, 1) for f in ["can_type", "fram_type", "id_type", "fd_acc", "id_increase",
                                      "data_increase", "cmd"]},
    "reserve1": st.integers(0, 255), "dlc": st.integers(0, 255),
    "send_time": st.integers(-(2**31), 2**31 - 1),
    "reserve3": st.lists(st.integers(0, 255), min_size=4, max_size=4),
    "interval": st.integers(0, 2**32 - 1), "can_id": st.integers(0, 2**32 - 1),
    "data": st.lists(st.integers(0, 255), min_size=64, max_size=64),
})


@given(tx_fields)
def test_transmit_encode_then_decode_restores_fields(fields):
    t = fd.can_tx_type()
    for k, v in fields.items():
        setattr(t, k, v)
    u = fd.can_tx_type()
    u.from_bytes(t.to_bytes())
    assert snapshot(u) == fields
