"""The fdhost module through pyusb's real libusb1 backend, over the virtual adapter.

Every test gets a freshly configured virtual world. Most constructions run with the constructor's
long pauses cut short (the module's ``time`` is swapped for one whose sleeps of 0.1 s and more take
a few milliseconds; the workers' 10 ms pauses are kept); one construction runs in real time.
"""
import re
import struct
import time

import pytest

from host_rig import (CLEANED_UP, SERIAL, Output, claim_from_outside, fd, reset_slot_lists,  # noqa: F401
                      vad, wait_until)
from vadapter import command_frame

HEARTBEAT = bytes.fromhex("A5101100") + b"\xff" * 17 + bytes.fromhex("0A1C5A")
THREAD_LINES = {"Heart thread started", "USB receiving thread started"}
UNPLUG_LINE = re.compile(r"\[Error\] In get_data_thread,Usb_rec err, err_code=19, failed: \[.+\]")


class QuickPauses:
    """Stands in for the module's ``time``: pauses of 0.1 s and more are cut to 5 ms."""

    def __getattr__(self, name):
        return getattr(time, name)

    @staticmethod
    def sleep(seconds):
        time.sleep(0.005 if seconds >= 0.1 else seconds)


class World:
    def __init__(self, vad, monkeypatch, capsys):
        self.vad, self.monkeypatch = vad, monkeypatch
        self.output = Output(capsys)
        self.hosts = []

    def configure(self, config=""):
        self.vad.configure(config)

    def construct(self, nom=1000000, dat=5000000, sn=SERIAL, real_pauses=False):
        if not real_pauses:
            self.monkeypatch.setattr(fd, "time", QuickPauses())
        h = fd.fdhost(nom, dat, sn)
        self.hosts.append(h)
        self.output.wait_for("Heart thread started\n", "USB receiving thread started\n")
        return h

    def finish(self):
        for h in self.hosts:
            if any(t is not None and t.is_alive() for t in (h.rec_thread, h.rec_thread2)):
                h.close()


def assert_slots_reset():
    assert fd.kq_device == fd.kq_string == fd.kq_sn == [None] * 8


def found_line(location, serial):
    return f"Found RU-ZEDUZ, device-id: device:{location} SN: {serial}"


def opening_lines(location="1,2", serial=SERIAL):
    return [found_line(location, serial), f"Choose usb device is device:{location}",
            "Claimed interface 0", "Claimed interface 1", "Claimed interface 2"]


def setup_lines(nom, dat, sampling):
    return ["ACK successful", "CMD_START_CAP ACK SUCCESS",
            f"Set the arbitration domain baud rate: {nom}", f"Set the data baud rate: {dat}",
            f"Sampling point: {sampling}%", "ACK successful", "CMD_SETUP_BUARD ACK SUCCESS"]


def tx_record(can_id, data, fd_frame):
    """The 88-byte transmit record fdcanFrameSend writes: a standard data frame, send_time 1."""
    flags = 0x0B if fd_frame else 0x02  # can_type | fram_type << 1 | fd_acc << 3
    return struct.pack("<2xBxB3xiIII64s", flags, len(data), 1, 0, 0, can_id, bytes(data))


@pytest.fixture
def world(vad, monkeypatch, capsys):
    reset_slot_lists()
    vad.configure("")
    w = World(vad, monkeypatch, capsys)
    yield w
    w.finish()
    vad.configure("")
    reset_slot_lists()


# --- discovery and opening -------------------------------------------------------------------

def test_adapters_are_recorded_sorted_by_bus_then_address(world):
    # Enumerated: a0 (2:7), a USB hub, a1 (1:12), the same vendor's other product, a2 (1:9),
    # another vendor with the same product id, a3 (1:3).
    world.configure("adapters=4;serials=SN-A,SN-B,SN-C,SN-D;bus=2:7,1:12,1:9,1:3;"
                    "other=3;other_ids=1d6b:0002,34b7:0001,1234:6877;other_bus=1:1,1:4,1:5;"
                    "order=a0,o0,a1,o1,a2,o2,a3")
    h = world.construct(sn="SN-C")
    assert world.output.raw_lines()[:6] == [
        found_line("2,7", "SN-A"), found_line("1,12", "SN-B"), found_line("1,9", "SN-C"),
        found_line("1,3", "SN-D"), "Choose usb device is device:1,9", "Claimed interface 0"]
    assert h.kq_cnt == 4
    assert fd.kq_string == ["device:1,3", "device:1,9", "device:1,12", "device:2,7"] + [None] * 4
    assert fd.kq_sn == ["SN-D", "SN-C", "SN-B", "SN-A"] + [None] * 4
    assert [(d.bus, d.address) for d in fd.kq_device[:4]] == [(1, 3), (1, 9), (1, 12), (2, 7)]
    assert fd.kq_device[4:] == [None] * 4
    assert h.getDeviceHandle() is h.usb_dev is fd.kq_device[1]
    # The adapter asked for, and only that one, was configured.
    assert [len(world.vad.commands_seen(i)) for i in range(4)] == [0, 0, 2, 0]
    h.close()
    assert_slots_reset()


def test_no_more_than_eight_adapters_are_recorded(world):
    # Ten adapters at descending addresses; the ninth and tenth are never looked at.
    world.configure("adapters=10;bus=" + ",".join(f"1:{30 - i}" for i in range(10)))
    serials = [SERIAL[:-2] + f"{0xBB + i:02X}" for i in range(10)]
    with pytest.raises(SystemExit) as exit_info:
        world.construct(sn=serials[8])
    assert exit_info.value.code == -1
    out = world.output.take()
    assert out.out.split("\n") == [found_line(f"1,{30 - i}", serials[i]) for i in range(8)] + [
        f"[Error] Not found device you specified: {serials[8]}", ""]
    assert out.err == "[Error] Failed to open usb device\n"
    assert fd.kq_string == [f"device:1,{a}" for a in range(23, 31)]
    assert fd.kq_sn == serials[7::-1]
    assert sum(len(world.vad.commands_seen(i)) for i in range(10)) == 0


def test_unknown_serial_ends_the_program_without_claiming(world):
    with pytest.raises(SystemExit) as exit_info:
        world.construct(sn="NO-SUCH-ADAPTER")
    assert exit_info.value.code == -1
    out = world.output.take()
    assert out.out.split("\n") == [found_line("1,2", SERIAL),
                                   "[Error] Not found device you specified: NO-SUCH-ADAPTER", ""]
    assert out.err == "[Error] Failed to open usb device\n"
    claim_from_outside(SERIAL)


@pytest.mark.parametrize("config, serial, claimed, failing, error", [
    # Without a serial-number string nothing opens the device before the first claim does.
    ("fault=nosn;fault=open", "", 0, 0, r"\[Errno 13\] .+"),
    ("fault=claim,intf=1", SERIAL, 1, 1, r"\[Errno 16\] .+"),
    ("fault=claim,intf=2", SERIAL, 2, 2, r"\[Errno 16\] .+"),
])
def test_failed_claim_releases_the_adapter_and_ends_the_program(world, config, serial, claimed, failing, error):
    world.configure(config)
    with pytest.raises(SystemExit) as exit_info:
        world.construct(sn=serial)
    assert exit_info.value.code == -1
    out = world.output.take()
    lines = out.out.split("\n")
    assert lines[:2 + claimed] == opening_lines(serial=serial)[:2 + claimed]
    assert re.fullmatch(rf"\[Error\] Could not claim interface {failing}: {error}", lines[2 + claimed])
    assert lines[3 + claimed:] == CLEANED_UP + [""]
    assert out.err == "[Error] Failed to open usb device\n"
    assert world.vad.commands_seen() == []
    assert_slots_reset()
    claim_from_outside(serial)


def test_command_the_adapter_does_not_accept_ends_the_program(world):
    world.configure("fault=reject,cmd=0")
    with pytest.raises(SystemExit) as exit_info:
        world.construct()
    assert exit_info.value.code == -1
    out = world.output.take()
    assert out.out.split("\n") == opening_lines() + [
        "[Error] ACK ack_code err, ack_code = 0x03", "[Error] CMD_START_CAP ACK FAIL"] + CLEANED_UP + [""]
    assert out.err == ""
    assert world.vad.commands_seen() == [command_frame(0)]
    assert world.vad.heartbeats() == [] and world.vad.tx_records() == []  # no worker was started
    assert_slots_reset()
    claim_from_outside(SERIAL)


# --- construction ----------------------------------------------------------------------------

def test_construction_in_real_time_then_heartbeats(world):
    start = time.monotonic()
    h = world.construct(real_pauses=True)
    assert time.monotonic() - start >= 1.2
    lines = world.output.raw_lines()
    assert lines[:12] == opening_lines() + setup_lines("1000000.0", "5000000.0", "87.5")
    assert set(lines[12:14]) == THREAD_LINES and lines[14:] == [""]
    assert h.rec_thread2.is_alive() and h.rec_thread.is_alive() and h.rec_thread3 is None
    assert not h.rec_thread.daemon and not h.rec_thread2.daemon
    assert len(h.winusb_read_buf) == len(h.can_read_buf) == 51200

    # The heartbeat worker writes the fixed 24-byte frame about every 10 ms.
    before = world.vad.counter("heartbeats")
    time.sleep(0.3)
    beats = world.vad.counter("heartbeats") - before
    assert 8 <= beats <= 40
    assert set(world.vad.heartbeats()) == {HEARTBEAT}
    assert world.vad.counter("heartbeats_bad") == 0


@pytest.mark.parametrize("nom, dat, payload, report, fd_mode", [
    (1000000, 5000000, "01 1D 0A 02 02 0D 02 02 01", ("1000000.0", "5000000.0", "87.5"), 1),
    (500000, 2000000, "01 45 0A 02 02 0E 05 02 02", ("500000.0", "2000000.0", "75.0"), 1),
    (500000, 1000000, "00 45 0A 02 02 1D 0A 02 02", ("500000.0", "1000000.0", "75.0"), 0),
    (250000, 250000, "00 45 0A 02 04 10 03 02 10", ("250000.0", "250000.0", "85.0"), 0),
])
def test_construction_starts_capture_then_sets_bit_timing(world, nom, dat, payload, report, fd_mode):
    world.construct(nom, dat)
    assert world.vad.commands_seen() == [command_frame(0), command_frame(5, bytes.fromhex(payload))]
    assert world.output.raw_lines()[5:12] == setup_lines(*report)
    c = world.vad.counters()
    assert (c["capturing"], c["setup_count"], c["fd_mode"]) == (1, 1, fd_mode)
    assert (c["nominal_bitrate"], c["data_bitrate"]) == (nom, dat)
    assert world.vad.tx_records() == []  # nothing goes out on 0x03 unless the program sends it


# --- running ---------------------------------------------------------------------------------

def test_idle_bus_is_silent(world):
    h = world.construct()
    world.output.reset()
    timeouts = world.vad.counter("read_timeouts")
    time.sleep(0.3)
    out = world.output.take()
    assert (out.out, out.err) == ("", "")
    # The reader waits on its queued transfers. Only its first read, pyusb's own (which looks the
    # endpoint up), may have timed out meanwhile.
    assert world.vad.counter("read_timeouts") - timeouts <= 1
    assert h.rec_thread.is_alive() and h.rec_thread2.is_alive()


@pytest.mark.parametrize("nom, dat, fd_frame", [(1000000, 5000000, True), (500000, 1000000, False)])
def test_sent_frames_arrive_as_transmit_records(world, nom, dat, fd_frame):
    h = world.construct(nom, dat)
    world.output.reset()
    frames = [(0x123, bytes(range(1, 9))), (0x7FF, bytes(range(64))), (0x10, [0xAA, 0xBB, 0xCC]),
              (0x1FFFFFFF, b"")]
    for can_id, data in frames:
        assert h.fdcanFrameSend(data, can_id) is None
    assert world.vad.tx_records() == [tx_record(i, d, fd_frame) for i, d in frames]
    assert world.vad.counter("tx_bad") == 0
    assert world.output.take().out == ""


@pytest.mark.parametrize("nom, dat, fd_frame", [(1000000, 5000000, True), (500000, 1000000, False)])
def test_frames_from_the_bus_reach_the_callback_in_order(world, nom, dat, fd_frame):
    # Loopback: each sent frame comes back twice, as the adapter's own transmission (dir 1,
    # not delivered) and as a reception (dir 0, delivered).
    world.configure("loopback=1;echo=1")
    h = world.construct(nom, dat)
    got = []
    h.setFrameCallback(lambda v: got.append(
        (v.head.id, v.head.dir, v.head.can_type, v.head.id_type, v.head.dlc, list(v.data))))
    sent = [(0x100 + i, bytes([i] * 8)) for i in range(20)]
    for can_id, data in sent:
        h.fdcanFrameSend(data, can_id)
    assert wait_until(lambda: len(got) >= len(sent)), got
    assert got == [(i, 0, int(fd_frame), 0, 8, list(d) + [0] * 56) for i, d in sent]
    assert wait_until(lambda: world.vad.counter("rx_frames") == 2 * len(sent))

    # A frame from another node, with an extended identifier.
    payload = bytes(range(0xA0, 0xAC)) if fd_frame else bytes(range(0xA0, 0xA8))
    world.vad.bus_frame(0x1ABCDEF, payload, fd=fd_frame, ext=True)
    assert wait_until(lambda: len(got) == len(sent) + 1)
    assert got[-1] == (0x1ABCDEF, 0, int(fd_frame), 1, 9 if fd_frame else 8, list(payload) + [0] * (64 - len(payload)))
    time.sleep(0.05)
    assert len(got) == len(sent) + 1
    assert world.output.take().err == ""


def test_container_with_a_bad_checksum_is_dropped_and_reading_goes_on(world):
    h = world.construct()
    got = []
    h.setFrameCallback(lambda v: got.append((v.head.id, list(v.data[:3]))))
    world.output.reset()
    world.vad.fault("rx_crc")  # damages the next container handed out
    world.output.wait_for("In unpack_can_frame,CRC check failed\n")
    world.vad.bus_frame(0x321, b"\x01\x02\x03", fd=True)
    assert wait_until(lambda: got)
    time.sleep(0.05)
    assert got == [(0x321, [1, 2, 3])]  # nothing of the damaged container was delivered
    assert world.output.take().out == "In unpack_can_frame,CRC check failed\n"
    assert h.rec_thread.is_alive()


def test_unplug_ends_both_workers_after_one_report(world):
    h = world.construct()
    world.output.reset()
    world.vad.unplug()
    h.rec_thread.join(2)
    h.rec_thread2.join(2)
    assert not h.rec_thread.is_alive() and not h.rec_thread2.is_alive()
    lines = world.output.raw_lines()
    # At most one heartbeat already under way fails too; it may be reported amid the clean-up.
    assert sum(line.startswith("In USB_CMD_HEART,") for line in lines) <= 1
    lines = [line for line in lines if not line.startswith("In USB_CMD_HEART,")]
    assert not any("In send thread" in line for line in lines)
    reports = [i for i, line in enumerate(lines) if "get_data_thread" in line]
    assert len(reports) == 1 and UNPLUG_LINE.fullmatch(lines[reports[0]]), lines
    assert lines[reports[0] + 1:] == CLEANED_UP + [""]
    assert h.dev_handle is None and h.usb_dev is None and h.kq_cnt == 0
    assert_slots_reset()

    world.output.reset()
    start = time.monotonic()
    h.close()
    assert time.monotonic() - start < 0.5
    assert world.output.take().out == "close  fdhos\n"


# --- closing ---------------------------------------------------------------------------------

def test_close_joins_the_workers_and_releases_the_adapter(world):
    h = world.construct()
    world.output.reset()
    h.close()
    assert not h.rec_thread.is_alive() and not h.rec_thread2.is_alive()
    assert world.output.raw_lines() == ["close  fdhos"] + CLEANED_UP + [""]
    assert h.dev_handle is None and h.usb_dev is None and h.kq_cnt == 0
    assert_slots_reset()
    beats = world.vad.log_total(1)
    time.sleep(0.05)
    assert world.vad.log_total(1) == beats  # the heartbeat stopped with its thread
    assert [f[1] for f in world.vad.commands_seen()] == [0, 5]  # no command is sent on closing
    claim_from_outside(SERIAL)

    world.output.reset()
    h.close()
    assert world.output.take().out == "close  fdhos\n"


def test_with_block_prints_banners_and_closes(world):
    world.monkeypatch.setattr(fd, "time", QuickPauses())
    with fd.fdhost(1000000, 5000000, SERIAL) as h:
        world.hosts.append(h)
        world.output.wait_for(*(t + "\n" for t in THREAD_LINES))
        assert "__enter__  fdhost \n" in world.output.out
        world.output.reset()
        workers = (h.rec_thread, h.rec_thread2)
    assert not any(t.is_alive() for t in workers)
    assert world.output.raw_lines() == ["__exit__   fdhost"] + CLEANED_UP + [""]
    world.output.reset()
    h.close()
    assert world.output.take().out == "close  fdhos\n"
    claim_from_outside(SERIAL)
