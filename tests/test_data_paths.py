"""Transmit records, the receive container and section checks, frame delivery, the printed frame
report and the worker loops."""
import array
import types

import pytest

import src.fdhost as fd
from tests.fakes import (BANNER_LINE, CAN_IN, CAN_OUT, DATA_IN, HEARTBEAT, HEART_OUT, RELEASED, bus, container,
                         host, lines, record, section, timeout_error, usb_error)

__all__ = ["bus", "host"]  # fixtures


# --- transmit --------------------------------------------------------------------------------

@pytest.mark.parametrize("dat_baud, data, can_id, can_type, dlc", [
    (5000000, b"\xff" * 7 + b"\xfc", 6, 1, 8),
    (1000000, [1, 2, 3], 0x7FF, 0, 3),
    (1000001, bytearray(range(70)), 0x12345678, 1, 64),  # only 64 bytes fit
    (2000000, bytes(range(10)), 1, 1, 10),  # the byte count, not a DLC code
    (500000, b"", 2, 0, 0),
])
def test_fill_frame(host, dat_baud, data, can_id, can_type, dlc):
    host.dat_baud_ = dat_baud
    frame = fd.can_tx_type()
    frame.data = [0xEE] * 64
    frame.id_type = frame.cmd = frame.id_increase = frame.data_increase = 1
    frame.send_time, frame.interval, frame.reserve1 = 9, 9, 7
    assert host.fillFDCANFrame(data, frame, can_id) is None
    assert (frame.can_id, frame.can_type, frame.fd_acc, frame.fram_type, frame.id_type, frame.dlc) == \
        (can_id, can_type, can_type, 1, 0, dlc)
    assert (frame.id_increase, frame.data_increase, frame.cmd, frame.send_time, frame.interval) == (0, 0, 0, 1, 0)
    assert frame.reserve1 == 7
    assert frame.data == list(data[:64]) + [0xEE] * (64 - dlc)


def test_frame_send_writes_88_byte_record(host, capsys):
    data = b"\xff" * 7 + b"\xfc"
    host.fdcanFrameSend(data, 6)
    expected = (bytes([0, 0, 0x0B, 0, 8, 0, 0, 0]) + (1).to_bytes(4, "little") + bytes(4) + bytes(4)
                + (6).to_bytes(4, "little") + data + bytes(56))
    assert host.tx_frame == expected
    host.send_data()  # sends the stored record again
    assert host.dev.log == [("write", CAN_OUT, expected, 1)] * 2
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("write, halt, out", [
    (usb_error("Pipe error", 32), None, ["[Error] Failed to send CAN command: [Errno 32] Pipe error"]),
    (timeout_error(), usb_error("No such device", 19), ["[Error] Failed to send CAN command: [Errno 110] Operation "
                                                         "timed out", "Clear halt failed: [Errno 19] No such device"]),
    (usb_error("x", 5), RuntimeError("odd"), ["[Error] Failed to send CAN command: [Errno 5] x", "Clear halt failed: odd"]),
    (5, None, ["发送不完整：预期 88 字节，实际发送 5 字节"]),
])
def test_send_failures_are_printed(host, capsys, write, halt, out):
    host.dev.write_results[CAN_OUT].append(write)
    if halt is not None:
        host.dev.halt_errors[CAN_OUT].append(halt)
    assert host.fdcanFrameSend([1, 2], 6) is None
    assert lines(capsys.readouterr().out) == out + [""]
    halts = [("clear_halt", CAN_OUT)] if isinstance(write, Exception) else []
    assert [e for e in host.dev.log if e[0] == "clear_halt"] == halts


def test_send_errors_that_reach_the_caller(host):
    with pytest.raises(AttributeError):
        host.send_data()  # no record packed yet
    host.dev.write_results[CAN_OUT].append(ValueError("not a USB error"))
    with pytest.raises(ValueError):
        host.fdcanFrameSend(b"\x01", 1)
    host.dev_handle = None
    with pytest.raises(AttributeError):
        host.fdcanFrameSend(b"\x01", 1)


# --- receive container -----------------------------------------------------------------------

def collect(h):
    got = []
    h.setFrameCallback(got.append)
    return got


ONE = record(0x321, b"\x11\x22")


@pytest.mark.parametrize("pdat, length, line", [
    (b"\xa5\x00\x5a", 3, "Data length is too short"),
    (container(ONE), 3, "Data length is too short"),
    (b"\xa5\x00\x00\x00\x5a", 5, "Byte count is empty"),
    (b"\xa4" + container(ONE)[1:], None, "Frame format error, start = 0xA4, end = 0x5A"),
    (container(ONE)[:-1] + b"\x0a", None, "Frame format error, start = 0xA5, end = 0x0A"),
    (b"\x0a\x00\x00\x00\x5a", 5, "Frame format error, start = 0x0A, end = 0x5A"),  # format before count
    (b"\xa5\x00\x10\x00" + bytes(9) + b"\x5a", None, "The number of bytes exceeds the receive buffer"),
])
def test_container_rejections(host, capsys, pdat, length, line):
    got = collect(host)
    assert host.unpack_usb_frame(pdat, len(pdat) if length is None else length) == -1
    assert capsys.readouterr().out == f"[Error] In unpack_usb_frame,{line}\n"
    assert got == [] and not host.mutex_.locked()


def ts_with_crc_high_byte(value):
    """A time stamp that makes the CRC of a one-record (DLC 9) container end in `value`."""
    return next(ts for ts in range(1 << 16) if container(record(ts=ts, dlc=9))[-2] == value)


def test_container_length_is_checked_against_count_plus_six(host, capsys):
    full = container(record(ts=ts_with_crc_high_byte(0x5A), dlc=9))  # 31 bytes, bytes_num 24
    assert len(full) == 31 and full[-2] == 0x5A
    got = collect(host)
    assert host.unpack_usb_frame(full[:30], 30) == 0  # end byte taken from offset 29, the CRC's high byte
    assert len(got) == 1 and capsys.readouterr().out == ""
    assert host.unpack_usb_frame(full[:28] + b"\x5a", 29) == -1
    assert capsys.readouterr().out == "[Error] In unpack_usb_frame,The number of bytes exceeds the receive buffer\n"


@pytest.mark.parametrize("wrap", [bytes, bytearray, lambda b: array.array("B", b), list])
def test_container_accepted_from_any_byte_sequence(host, capsys, wrap):
    got = collect(host)
    pdat = container(ONE, byte1=0xEE) + b"junk"  # bytes past `length` are not looked at
    assert host.unpack_usb_frame(wrap(pdat), len(pdat) - 4) == 0
    assert [(v.head.id, v.data[:3]) for v in got] == [(0x321, [0x11, 0x22, 0])]
    assert capsys.readouterr().out == "" and not host.mutex_.locked()


def test_container_section_goes_to_an_overriding_decoder(host):
    calls = []
    host.unpack_can_frame = lambda pdat, n: calls.append((bytes(pdat), n)) or 7
    c = container(ONE + ONE)
    assert host.unpack_usb_frame(c, len(c)) == 7
    assert calls == [(c[2:-1], len(c) - 3)]


@pytest.mark.parametrize("via_override", [False, True])
def test_callback_exception_is_reported(host, capsys, via_override):
    seen = []

    def cb(v):
        seen.append(v.head.id)
        assert host.mutex_.locked()  # callbacks run under the object's lock
        if v.head.id == 2:
            raise RuntimeError("callback broke")

    host.setFrameCallback(cb)
    if via_override:
        own = host.unpack_can_frame
        host.unpack_can_frame = lambda pdat, n: own(pdat, n)
    c = container(record(1) + record(2) + record(3))
    assert host.unpack_usb_frame(c, len(c)) == -1
    assert capsys.readouterr().out == "[Error] unpack_can_frame Call failed: callback broke\n"
    assert seen == [1, 2] and not host.mutex_.locked()


def test_lock_released_when_a_base_exception_passes(host):
    def cb(v):
        raise KeyboardInterrupt

    host.setFrameCallback(cb)
    c = container(ONE)
    with pytest.raises(KeyboardInterrupt):
        host.unpack_usb_frame(c, len(c))
    assert not host.mutex_.locked()


# --- section decoding and delivery -----------------------------------------------------------

def test_section_decoding_fills_value_records(host, capsys):
    got = collect(host)
    recs = record(0x1ABCDEF, bytes(range(1, 65)), can_type=1, id_type=1, ts=77, reserve=b"\x01\x02\x03") \
        + record(0x22, bytes(range(12)), fram_type=0) + record(0x7FF, bytes(range(8)))
    assert len(recs) == 12 + 64 + 12 + 12 + 12 + 8
    s = section(recs)
    assert host.unpack_can_frame(s, len(s)) == 0
    assert [type(v) for v in got] == [fd.can_value_type] * 3
    first = got[0].head
    assert (first.id, first.time_stamp, first.reserve, first.fram_type, first.can_type, first.id_type, first.dir,
            first.dlc) == (0x1ABCDEF, 77, [1, 2, 3], 1, 1, 1, 0, 15)
    assert got[0].data == list(range(1, 65))
    assert (got[1].head.dlc, got[1].head.fram_type, got[1].data) == (9, 0, list(range(12)) + [0] * 52)
    assert got[2].data == list(range(8)) + [0] * 56
    assert capsys.readouterr().out == ""


class Meddler:
    """A callback that notes each record as it arrives, then does to it what `plan` says for that
    frame: change it in place and drop it, keep it, or keep one of its parts."""

    class Slot:  # holds an object whose release runs code, put into a record by the callback
        def __del__(self):
            pass

    def __init__(self, plan):
        self.plan, self.seen, self.kept = list(plan), [], []

    def __call__(self, v):
        h = v.head
        self.seen.append((h.id, h.time_stamp, list(h.reserve), h.dlc, list(v.data)))
        step = self.plan.pop(0)
        if step == "scribble":
            v.data[63], v.data[0], h.id, h.reserve[1], h.dir = 99, "x", "y", 500, 7
        elif step == "grow":
            v.data.append(1)
            h.reserve.pop()
        elif step == "slot":
            v.data[5] = self.Slot()
            h.time_stamp = self.Slot()
        elif step == "replace":
            v.data = [7] * 64
            v.head = fd.can_head_type()
        elif step in ("record", "head", "data"):
            self.kept.append((step, v if step == "record" else getattr(v, step)))


def expected(can_id, data, ts, reserve, dlc):
    return (can_id, ts, list(reserve), dlc, list(data) + [0] * (64 - len(data)))


def test_every_frame_arrives_as_decoded_whatever_the_callback_did_to_earlier_ones(host):
    frames = [(0x100 + i, bytes([i + 1] * n), 1000 * i, bytes([i, i + 1, i + 2]), dlc)
              for i, (n, dlc) in enumerate([(64, 15), (8, 8), (0, 0), (12, 9), (64, 15), (2, 2), (8, 8), (1, 1),
                                            (64, 15), (3, 3), (0, 0)])]
    plan = ["scribble", "grow", "slot", "replace", "record", "scribble", "head", "data", "none", "scribble", "none"]
    meddler = Meddler(plan)
    host.setFrameCallback(meddler)
    recs = b"".join(record(i, d, ts=ts, reserve=r) for i, d, ts, r, _ in frames)
    s = section(recs)
    for _ in range(2):  # the second pass starts from whatever the first left behind
        meddler.plan = list(plan)
        first = len(meddler.seen)
        assert host.unpack_can_frame(s, len(s)) == 0
        assert meddler.seen[first:] == [expected(*f) for f in frames]
    # What the callback kept still holds its own frame.
    (_, rec), (_, head), (_, data) = meddler.kept[:3]
    assert (rec.head.id, rec.data) == (0x104, [5] * 64)
    assert (head.id, head.time_stamp, head.reserve) == (0x106, 6000, [6, 7, 8])
    assert data == [8] + [0] * 63
    assert len({id(k) for _, k in meddler.kept}) == len(meddler.kept)


@pytest.mark.parametrize("recs, ids, result", [
    (b"", [], 0),  # count 0 with a valid checksum
    (record(1, dir=1) + record(2), [2], 0),  # the adapter's own transmissions are skipped
    (record(1) + record(2) + b"\x01\x02\x03\x04\x05", [1, 2], -1),  # stray bytes
    (record(1) + record(2, bytes(8))[:15], [1], -1),  # DLC says more than is left
])
def test_section_delivery(host, capsys, recs, ids, result):
    got = collect(host)
    s = section(recs)
    assert host.unpack_can_frame(s, len(s)) == result
    assert [v.head.id for v in got] == ids
    assert capsys.readouterr().out == ""


def flip(b, i):
    return b[:i] + bytes([b[i] ^ 0x01]) + b[i + 1:]


@pytest.mark.parametrize("pdat, actual_len, line", [
    (b"", 4, None),
    (section(ONE), 3, None),
    (section(ONE), len(section(ONE)) - 1, "In unpack_can_frame,invalid total length"),
    (flip(section(ONE), 7), 99, "In unpack_can_frame,CRC check failed"),
    (flip(section(ONE), 15), 99, "In unpack_can_frame,CRC check failed"),
    (flip(section(ONE), 17), 99, "In unpack_can_frame,CRC check failed"),
])
def test_section_rejections_deliver_nothing(host, capsys, pdat, actual_len, line):
    got = collect(host)
    assert host.unpack_can_frame(pdat, actual_len) == -1
    assert got == []
    assert capsys.readouterr().out == (line + "\n" if line else "")


def test_callback_is_tested_afresh_for_every_frame(host):
    class Waking:  # false for the first two frames of the section, then a callback
        def __init__(self):
            self.tests, self.ids = 0, []

        def __bool__(self):
            self.tests += 1
            return self.tests > 2

        def __call__(self, v):
            self.ids.append(v.head.id)

    cb = Waking()
    host.setFrameCallback(cb)
    for big in (False, True):  # sections cut as delivered, and cut up front without the lock
        cb.tests, cb.ids = 0, []
        n = 300 if big else 4
        s = section(b"".join(record(i, bytes(8)) for i in range(1, n + 1)))
        assert host.unpack_can_frame(s, len(s)) == 0
        assert cb.ids == list(range(3, n + 1))


def test_callback_can_replace_or_clear_itself(host):
    second = []

    def first(v):
        host.setFrameCallback(second.append if v.head.id == 1 else None)

    host.setFrameCallback(first)
    s = section(record(1) + record(2) + record(3))
    host.unpack_can_frame(s, len(s))
    assert [v.head.id for v in second] == [2, 3]
    host.setFrameCallback(first)
    s = section(record(5) + record(6))
    host.unpack_can_frame(s, len(s))
    assert host.frame_callback_ is None


@pytest.mark.parametrize("dlc, length", [(0, 0), (8, 8), (9, 12), (10, 16), (11, 20), (12, 24), (13, 32), (14, 48),
                                         (15, 64), (16, 0), (-1, -1)])
def test_dlc_lengths(host, dlc, length):
    assert host.can_pack_dlc_get(types.SimpleNamespace(dlc=dlc)) == length


def value(can_id, data, **flags):
    v = fd.can_value_type()
    v.head.from_bytes(record(can_id, data, **flags))
    v.data = list(data) + [0] * (64 - len(data))
    return v


@pytest.mark.parametrize("v, expected", [
    (value(0x123, b"\xab\x01", ts=1234),
     ["ID          : 0x00000123", "Timestamp   : 1234", "Frame Type  : Data", "CAN Type    : 2.0",
      "ID Type     : Standard", "Direction   : RX", "DLC         : 2", "Reserve     : [0, 0, 0]",
      "Data        : AB 01"]),
    (value(0x1FFFFFFF, bytes(range(64)), fram_type=0, can_type=1, id_type=1, dir=1, reserve=b"\x09\x00\xff"),
     ["ID          : 0x1FFFFFFF", "Timestamp   : 0", "Frame Type  : Remote", "CAN Type    : FD",
      "ID Type     : Extended", "Direction   : TX", "DLC         : 15", "Reserve     : [9, 0, 255]",
      "Data        : " + " ".join(f"{b:02X}" for b in range(64))]),
    (value(0, b""), ["ID          : 0x00000000", "Timestamp   : 0", "Frame Type  : Data", "CAN Type    : 2.0",
                     "ID Type     : Standard", "Direction   : RX", "DLC         : 0", "Reserve     : [0, 0, 0]",
                     "Data        : "]),
])
def test_print_can_value(host, capsys, v, expected):
    assert host.print_can_value(v) is None
    assert lines(capsys.readouterr().out) == ["=== CAN Value Frame ==="] + expected + ["=" * 24, ""]


# --- worker loops ----------------------------------------------------------------------------

READERS = [("get_data_thread", DATA_IN, "USB receiving thread started"),
           ("can_rev_thread", CAN_IN, "thread2 started")]


@pytest.mark.parametrize("method, ep, started", READERS)
def test_reader_is_silent_on_timeouts_and_delivers(host, capsys, method, ep, started):
    got = collect(host)
    host.dev.script_read(ep, timeout_error(), container(ONE),
                         usb_error("Operation timed out", 110),  # a plain USB error with the time-out number
                         timeout_error(10060),  # the time-out class with another platform's number
                         container(b"")[:4] + b"\x5a", lambda: host.stop_thread.set())
    assert getattr(host, method)() is None
    assert [e[1:] for e in host.dev.log] == [(ep, 51200, 1)] * 6
    assert [v.head.id for v in got] == [0x321]
    assert lines(capsys.readouterr().out) == [started, "[Error] In unpack_usb_frame,Byte count is empty", ""]
    assert host.dev_handle is host.dev


@pytest.mark.parametrize("method, ep, started", READERS)
def test_reader_ends_on_other_usb_error(host, capsys, method, ep, started):
    host.dev.script_read(ep, usb_error("No such device (it may have been disconnected)", 19), container(ONE))
    assert getattr(host, method)() is None
    assert lines(capsys.readouterr().out) == [
        started, f"[Error] In {method},Usb_rec err, err_code=19, failed: "
                 "[[Errno 19] No such device (it may have been disconnected)]", RELEASED, BANNER_LINE, "", ""]
    assert len(host.dev.reads[ep]) == 1 and host.dev_handle is None


def test_reader_lets_other_exceptions_through(host):
    host.dev.script_read(DATA_IN, TypeError("odd"))
    with pytest.raises(TypeError):
        host.get_data_thread()


@pytest.mark.parametrize("method, started", [(m, s) for m, _, s in READERS] + [("send_thread", "Heart thread started")])
def test_worker_finding_adapter_released_ends_quietly(host, capsys, method, started):
    host.dev_handle = None
    assert getattr(host, method)() is None
    assert capsys.readouterr().out == started + "\n"


def test_heartbeat_worker_beats_every_10_ms_until_stopped(host, bus, capsys):
    host.dev.write_results[HEART_OUT].extend([24, 24, lambda: host.stop_thread.set() or 24])
    assert host.send_thread() is None
    assert bus.log == [("write", HEART_OUT, HEARTBEAT, 100), ("sleep", 0.01)] * 3
    assert capsys.readouterr().out == "Heart thread started\n"


def test_heartbeat_worker_ends_on_usb_error(host, bus, capsys):
    bus.time.sleep_errors.extend([timeout_error(), usb_error("No such device", 19)])
    assert host.send_thread() is None
    assert len(host.dev.writes(HEART_OUT)) == 2
    assert lines(capsys.readouterr().out) == [
        "Heart thread started", "[Error] In send thread,Usb_rec err, err_code=19, failed: [[Errno 19] No such device]",
        RELEASED, BANNER_LINE, "", ""]
    assert host.dev_handle is None

