"""Faults injected by the virtual adapter, met by fdhost objects running over pyusb: the lines the
module prints (each exactly once), the clean-up it does, the workers going on or ending, and
close() returning promptly afterwards."""
import functools
import re
import threading
import time

import pytest

from host_rig import (CLEANED_UP, SERIAL, SERIAL_1, Sequencer, claim_from_outside, fd,  # noqa: F401
                      missing_runs, rig, vad, wait_until)

import usb.core  # noqa: E402  (host_rig has already pointed pyusb at the virtual adapter)
import usb.util  # noqa: E402

read = usb.core.Device.read
PIPE, TIMED_OUT, IO = "[Errno 32] Pipe error", "[Errno 110] Operation timed out", "[Errno 5] Input/Output Error"
SEND_FAILED = "[Error] Failed to send CAN command: "
HEART_FAILED = "In USB_CMD_HEART,USB bulk Transmission Error: "
READER_FAILED = "[Error] In get_data_thread,Usb_rec err, err_code="


def assert_slots_reset():
    assert fd.kq_device == fd.kq_string == fd.kq_sn == [None] * fd.KQ_DEV_MAX


# --- construction: every acknowledgement the host refuses ends the program --------------------

@pytest.mark.parametrize("fault, errors, name", [
    ("reject,cmd=5", ["[Error] ACK ack_code err, ack_code = 0x03"], "CMD_SETUP_BUARD"),
    ("reject,cmd=0,ack=0x81", ["[Error] ACK ack_code err, ack_code = 0x81"], "CMD_START_CAP"),
    ("ack_start,cmd=0", ["[Error] ACK frame err, frame_start = 0xA4, frame_end = 0x5A"], "CMD_START_CAP"),
    ("ack_end,cmd=5", ["[Error] ACK frame err, frame_start = 0xA5, frame_end = 0x5B"], "CMD_SETUP_BUARD"),
    ("ack_crc,cmd=0", [re.compile(r"\[Error\] ACK crc err, crc_local = 0x0000 , crc = 0x(?!0000)[0-9A-F]{4}")],
     "CMD_START_CAP"),
    ("ack_crc,cmd=5", [re.compile(r"\[Error\] ACK crc err, crc_local = 0x([0-9A-F]{4}) , crc = 0x(?!\1)[0-9A-F]{4}")],
     "CMD_SETUP_BUARD"),
    ("stall,ep=0x82", ["[Error] Usb_control_ack receive failed: " + PIPE], "CMD_START_CAP"),
    ("halt,ep=0x82,skip=1", ["[Error] Usb_control_ack receive failed: " + PIPE], "CMD_SETUP_BUARD"),
    ("clear_halt,ep=0x82", ["[Error] clear_halt failed: " + IO], "CMD_START_CAP"),
    # The adapter receives 6 of the 7 bytes and answers with its framing error code.
    ("short,ep=2", ["[Error] dev.write wrote 6 bytes, expected 7", "[Error] ACK ack_code err, ack_code = 0x01"],
     "CMD_START_CAP"),
    # No answer at all: the acknowledgement read waits out its 5 s.
    ("noack,cmd=5", ["[Error] Usb_control_ack receive failed: " + TIMED_OUT], "CMD_SETUP_BUARD"),
    # The command is never written (the halt could not be cleared), so no answer comes either.
    ("clear_halt,ep=2", ["[Error] usb.util.clear_halt failed: " + IO,
                         "[Error] Usb_control_ack receive failed: " + TIMED_OUT], "CMD_START_CAP"),
])
def test_refused_acknowledgement_ends_construction(rig, fault, errors, name):
    rig.configure("fault=" + fault)
    with pytest.raises(SystemExit) as exit_info:
        rig.construct()
    assert exit_info.value.code == -1
    out = rig.output.take()
    lines = out.out.split("\n")
    tail = lines[-len(errors) - 5:]
    assert tail[len(errors):] == [f"[Error] {name} ACK FAIL"] + CLEANED_UP + [""]
    for expected, line in zip(errors, tail):
        assert expected.fullmatch(line) if isinstance(expected, re.Pattern) else expected == line, tail
    assert sum(line.startswith("[Error]") for line in lines) == len(errors) + 1  # each error once
    assert out.err == ""
    assert rig.vad.heartbeats() == [] and rig.vad.tx_records() == []  # no worker was started
    assert_slots_reset()
    claim_from_outside(SERIAL)  # released


@pytest.mark.parametrize("endpoint", [0x03, 0x81])
def test_halt_that_cannot_be_cleared_before_the_workers_start_propagates(rig, endpoint):
    rig.configure(f"fault=clear_halt,ep={endpoint}")
    with pytest.raises(usb.core.USBError) as info:
        rig.construct()
    assert info.value.errno == 5
    assert "thread started" not in rig.output.take().out and "ACK FAIL" not in rig.output.out
    assert rig.vad.counters()["setup_count"] == 1  # both commands went through before
    # The adapter stays claimed; only a clean-up of our own releases it.
    with pytest.raises(usb.core.USBError):
        claim_from_outside(SERIAL)
    usb.util.dispose_resources(fd.kq_device[0])
    claim_from_outside(SERIAL)


# --- discovery and opening ------------------------------------------------------------------

def found(location, serial):
    return f"Found RU-ZEDUZ, device-id: device:{location} SN: {serial}"


@pytest.mark.parametrize("config, sn, lines, opened", [
    # The serial string cannot be read: the adapter is listed without one and cannot be chosen.
    ("fault=sn_fail", SERIAL, ["Failed to obtain serial number: " + PIPE, found("1,2", ""),
                               f"[Error] Not found device you specified: {SERIAL}"], False),
    # ... but the scan goes on, and the next adapter opens normally.
    ("adapters=2;a0.fault=sn_fail", SERIAL_1,
     ["Failed to obtain serial number: " + PIPE, found("1,2", ""), found("1,3", SERIAL_1),
      "Choose usb device is device:1,3", "Claimed interface 0", "Claimed interface 1", "Claimed interface 2"], True),
    # Without a serial-number string nothing is read or printed, and the empty serial selects it.
    ("fault=nosn", "", [found("1,2", ""), "Choose usb device is device:1,2", "Claimed interface 0",
                        "Claimed interface 1", "Claimed interface 2"], True),
    ("fault=claim,intf=0", SERIAL, [found("1,2", SERIAL), "Choose usb device is device:1,2",
                                    "[Error] Could not claim interface 0: [Errno 16] Resource busy"] + CLEANED_UP,
     False),
])
def test_discovery_faults(rig, config, sn, lines, opened):
    rig.configure(config)
    if opened:
        h = rig.construct(sn=sn)
        assert rig.output.lines()[:len(lines)] == lines
        assert rig.vad.counters(adapter=1 if sn == SERIAL_1 else 0)["setup_count"] == 1
        rig.close(h)
        return
    with pytest.raises(SystemExit) as exit_info:
        rig.construct(sn=sn)
    assert exit_info.value.code == -1
    out = rig.output.take()
    assert out.out.split("\n") == lines + [""]
    assert out.err == "[Error] Failed to open usb device\n"


def test_device_that_cannot_be_opened_while_reading_its_serial(rig):
    # pyusb reports the failed open behind the serial read as a ValueError, which is no USB error:
    # it is not caught by the scan and reaches the caller.
    rig.configure("fault=open")
    with pytest.raises(ValueError):
        rig.construct()
    assert rig.output.take().out == ""
    claim_from_outside(SERIAL)


# --- running: the transmit and heartbeat endpoints ------------------------------------------

@pytest.mark.parametrize("faults, lines, arrived", [
    (["timeout,ep=3"], [SEND_FAILED + TIMED_OUT], [1, 2]),
    (["stall,ep=3"], [SEND_FAILED + PIPE], [1, 2]),
    # A halted endpoint stays halted until cleared: the send path clears it after the failure.
    (["halt,ep=3"], [SEND_FAILED + PIPE], [1, 2]),
    # ... and when that clearing fails, the next frame meets the halt again (and then clears it).
    (["halt,ep=3", "clear_halt,ep=3"], [SEND_FAILED + PIPE, "Clear halt failed: " + IO, SEND_FAILED + PIPE], [2]),
    (["short,ep=3"], ["发送不完整：预期 88 字节，实际发送 87 字节"], [0, 1, 2]),
    (["short,ep=3,bytes=0"], ["发送不完整：预期 88 字节，实际发送 0 字节"], [1, 2]),
    # A time-out crossing the completion: pyusb counts the bytes that moved, as the direct path does.
    (["late,ep=3"], [], [0, 1, 2]),
])
def test_transmit_faults_are_reported_and_sending_goes_on(rig, faults, lines, arrived):
    h = rig.construct()
    rig.output.reset()
    for f in faults:
        rig.vad.fault(f)
    for i in range(3):
        assert h.fdcanFrameSend(bytes([i]) * 8, 0x100 + i) is None

    def ids():  # of the records that reached the adapter, however short
        return [int.from_bytes(r[20:24], "little") for r in rig.vad.tx_records() if len(r) >= 24]

    assert wait_until(lambda: len(ids()) >= len(arrived))
    time.sleep(0.03)
    assert rig.output.lines() == lines
    assert ids() == [0x100 + i for i in arrived]
    assert h.rec_thread.is_alive() and h.rec_thread2.is_alive()
    rig.close(h)
    assert rig.output.lines()[len(lines):] == ["close  fdhos"] + CLEANED_UP


@pytest.mark.parametrize("fault, line, repeats", [
    ("stall,ep=1", HEART_FAILED + PIPE, False),
    ("timeout,ep=1", HEART_FAILED + TIMED_OUT, False),
    ("short,ep=1", None, False),       # a short heartbeat is not reported; the adapter counts it bad
    ("halt,ep=1", HEART_FAILED + PIPE, True),  # nothing clears a halt on 0x01: every beat fails until close
])
# The rig's stand-in for time pauses the heartbeat through time.sleep; with the interpreter's own the
# beat and the pause after it run in one release of the interpreter lock, and must report alike.
@pytest.mark.parametrize("own_sleep", [False, True], ids=["stand-in sleep", "interpreter's sleep"])
def test_heartbeat_write_failures_are_reported_and_the_worker_goes_on(rig, monkeypatch, fault, line, repeats, own_sleep):
    h = rig.construct()
    if own_sleep:
        monkeypatch.setattr(fd, "time", time)
    rig.output.reset()
    rig.vad.fault(fault)
    assert wait_until(lambda: rig.vad.counter("faults_fired") >= 1)
    time.sleep(0.15)
    out = rig.output.lines()
    if line is None:
        assert out == [] and rig.vad.counter("heartbeats_bad") == 1
    elif repeats:
        assert len(out) >= 5 and set(out) == {line}
    else:
        assert out == [line]
        beats = rig.vad.counter("heartbeats")
        assert wait_until(lambda: rig.vad.counter("heartbeats") >= beats + 3)  # beating again
    assert h.rec_thread2.is_alive() and h.rec_thread.is_alive()
    rig.close(h)
    out = rig.output.lines()
    closing = out[len(out) - 1 - out[::-1].index("close  fdhos") + 1:]
    # close() prints its line before it stops the worker: a halted endpoint's beat under way by then
    # (one or more on a loaded machine) still fails and says so before the clean-up.
    assert closing[-3:] == CLEANED_UP and set(closing[:-3]) <= ({line} if repeats else set())


# --- running: the receive endpoint ----------------------------------------------------------

def test_read_timeouts_are_silent_and_reading_goes_on(rig, monkeypatch):
    # The reader's 1 ms reads through pyusb (Device.read wrapped, so the queued transfers, which
    # have no time-out of their own, step aside).
    monkeypatch.setattr(usb.core.Device, "read", functools.wraps(usb.core.Device.read)(
        lambda *args, **kwargs: read(*args, **kwargs)))
    h = rig.construct()
    got = Sequencer()
    h.setFrameCallback(got)
    rig.output.reset()
    rig.vad.generator("rate=10000,dlc=8,fd=1,count=1000")
    assert got.wait_for_seq(100)
    rig.vad.fault("timeout,ep=0x81,count=50")
    assert got.wait_for_seq(999)
    assert got.seqs == list(range(1000))
    assert rig.vad.counter("faults_fired") == 50
    assert rig.output.lines() == []
    rig.close(h)


@pytest.mark.parametrize("fault", ["stall,ep=0x81", "halt,ep=0x81"])
def test_read_error_ends_both_workers_after_one_report(rig, fault):
    h = rig.construct()
    rig.output.reset()
    rig.vad.fault(fault)
    # A fault meets a transfer as it begins. The reader may have queued its reads before the fault
    # was armed: a frame ends one of them, and the one queued after it meets the fault.
    rig.vad.bus_frame(0x123, b"\x01")
    for t in (h.rec_thread, h.rec_thread2):
        t.join(2)
        assert not t.is_alive()
    lines = rig.output.lines()
    i = lines.index(f"{READER_FAILED}32, failed: [{PIPE}]")
    assert lines[i + 1:i + 3] == CLEANED_UP[:2] and lines.count(CLEANED_UP[1]) == 1
    assert not any("In send thread" in line for line in lines)
    # A heartbeat under way while the reader cleans up may fail too; the worker then ends quietly.
    assert sum(line.startswith(HEART_FAILED) for line in lines) <= 1, lines
    assert h.dev_handle is None
    assert_slots_reset()
    claim_from_outside(SERIAL)
    rig.output.reset()
    rig.close(h)
    assert rig.output.lines() == ["close  fdhos"]


# Damaged receive containers. The reader is held inside the callback while the fault is armed, until
# the adapter has filled the transfers it had queued, so the damaged container is the next one read
# and holds the ~100 frames that finished meanwhile.
WHOLE, LAST, NONE = "whole container", "its last record", "nothing"


def containers_settle(vad, quiet=0.004):
    """A condition: no container handed to the host for `quiet` seconds."""
    last = [vad.counter("rx_containers"), time.monotonic()]

    def settled():
        n = vad.counter("rx_containers")
        if n != last[0]:
            last[:] = [n, time.monotonic()]
        return time.monotonic() - last[1] >= quiet
    return settled


@pytest.mark.parametrize("kind, line, lost", [
    ("rx_start", "[Error] In unpack_usb_frame,Frame format error, start = 0xA4, end = 0x5A", WHOLE),
    ("rx_end", "[Error] In unpack_usb_frame,Frame format error, start = 0xA5, end = 0x5B", WHOLE),
    ("rx_zero", "[Error] In unpack_usb_frame,Byte count is empty", WHOLE),
    ("rx_count", "[Error] In unpack_usb_frame,The number of bytes exceeds the receive buffer", WHOLE),
    ("rx_crc", "In unpack_can_frame,CRC check failed", WHOLE),
    ("rx_dir1", None, WHOLE),   # all records marked as the adapter's own: consumed, not delivered
    ("rx_cut", None, LAST),     # the records before the cut one are delivered
    ("rx_stray", None, NONE),   # all records delivered, then the stray bytes end the section
    ("rx_pad", None, NONE),     # bytes between the CRC and the end byte are ignored
])
def test_damaged_container_is_dropped_and_reading_goes_on(rig, kind, line, lost):
    rig.configure("flush_us=1000;gen=saturate,dlc=2/8/15,fd=1")  # the bus is saturated from the start
    h = rig.construct()
    held, release = threading.Event(), threading.Event()
    got = Sequencer(can_id=0x100)

    def callback(value):
        got(value)
        if len(got.seqs) == 400:
            held.set()
            release.wait(2)

    rig.output.reset()
    h.setFrameCallback(callback)
    assert held.wait(2)
    assert wait_until(containers_settle(rig.vad))
    rig.vad.fault(kind)
    time.sleep(0.005)
    release.set()
    assert got.wait_for_seq(got.seqs[399] + 2000)
    h.setFrameCallback(None)
    time.sleep(0.01)

    assert rig.output.lines() == ([line] if line else [])
    assert all(a < b for a, b in zip(got.seqs, got.seqs[1:])), "order"
    assert got.others == []  # the damage hit real frames, not a filler
    runs = missing_runs(got.seqs, got.seqs[0], got.seqs[-1])
    if lost == NONE:
        assert runs == []
    else:
        assert len(runs) == 1 and runs[0][0] > got.seqs[399], runs
        assert runs[0][1] == 1 if lost == LAST else runs[0][1] >= 20, runs
    assert rig.vad.counter("faults_fired") == 1
    assert h.rec_thread.is_alive() and h.rec_thread2.is_alive()
    rig.close(h)


# --- unplug ---------------------------------------------------------------------------------

UNPLUGGED = re.compile(re.escape(READER_FAILED) + r"19, failed: \[\[Errno 19\] .+\]")


def test_unplug_during_saturated_stream(rig):
    h, got = rig.streaming("gen=saturate,dlc=8,fd=1", 2000)
    rig.vad.unplug()
    rig.workers_end(h)
    lines = rig.output.lines()
    errors = [i for i, line in enumerate(lines) if line.startswith("[Error]")]
    assert len(errors) == 1 and UNPLUGGED.fullmatch(lines[errors[0]]), lines
    assert lines[errors[0] + 1:errors[0] + 4] == CLEANED_UP
    # A heartbeat already under way may meet the unplug too; the worker then ends quietly.
    assert len(lines) - 4 == sum(line.startswith(HEART_FAILED) for line in lines) <= 1, lines
    assert h.dev_handle is None
    assert all(a < b for a, b in zip(got.seqs, got.seqs[1:]))

    delivered, printed = len(got.seqs), rig.output.out
    time.sleep(0.1)
    assert len(got.seqs) == delivered and rig.output.take().out == printed  # nothing more
    rig.close(h, report="unplug during a saturated stream")
    assert rig.output.lines()[len(lines):] == ["close  fdhos"]


def test_close_right_after_an_unplug(rig):
    rig.configure("gen=saturate,dlc=8,fd=1")
    h = rig.construct()
    got = Sequencer()
    h.setFrameCallback(got)
    assert wait_until(lambda: len(got.seqs) > 1000)
    rig.output.reset()
    rig.vad.unplug()
    rig.close(h, report="close() right after an unplug")
    lines = rig.output.lines()
    # Either the reader met the unplug before it saw the stop flag (and cleaned up), or close did.
    assert lines.count("close  fdhos") == 1 and lines.count(CLEANED_UP[1]) == 1, lines
    assert sum(UNPLUGGED.fullmatch(line) is not None for line in lines) <= 1
    assert h.dev_handle is None
