"""Discovery, opening, clean-up, closing and the constructor, over a fake USB bus."""
import threading

import pytest

import src.fdhost as fd
from tests.fakes import (BANNER, BANNER_LINE, CAN_OUT, CONTROL_IN, CONTROL_OUT, DATA_IN, HEARTBEAT, HEART_OUT,
                         RELEASED, FakeDevice, ack_frame, bus, command_frame, host, idle_host, lines, usb_error,
                         wait_for)

__all__ = ["bus", "host", "idle_host"]  # fixtures

FOUND = "Found RU-ZEDUZ, device-id: device:{},{} SN: {}"


def slots():
    return fd.kq_device, fd.kq_string, fd.kq_sn


def assert_released_state(h):
    assert h.dev_handle is None and h.usb_dev is None and h.kq_cnt == 0 and h.device_list == []
    assert all(lst == [None] * 8 for lst in slots())


# --- discovery -------------------------------------------------------------------------------

def test_scan_records_adapters_sorted_by_bus_then_address(idle_host, bus, capsys):
    enumerated = [(2, 7, "B"), (1, 12, "C"), (1, 9, "A"), (1, 3, "D")]
    devs = [bus.add(bus=b, address=a, serial=s) for b, a, s in enumerated]
    bus.devices.insert(2, FakeDevice(bus.log, vid=0x1234, serial="X"))  # another vendor: skipped silently

    result = idle_host.usb_get_kq_device()

    assert result is fd.kq_string
    assert fd.kq_string == ["device:1,3", "device:1,9", "device:1,12", "device:2,7"] + [None] * 4
    assert fd.kq_sn == ["D", "A", "C", "B"] + [None] * 4
    assert fd.kq_device[:4] == [devs[3], devs[2], devs[1], devs[0]] and fd.kq_device[4:] == [None] * 4
    assert idle_host.kq_cnt == 4 and len(bus.ops("get_string")) == 4
    assert capsys.readouterr().out == "".join(FOUND.format(b, a, s) + "\n" for b, a, s in enumerated)


def test_scan_stops_at_eight_adapters(idle_host, bus, capsys):
    for i in range(10):
        bus.add(bus=1, address=20 - i, serial=f"S{i}")
    idle_host.usb_get_kq_device()
    assert bus.pulled == 8  # the ninth is never looked at
    assert idle_host.kq_cnt == 8
    assert fd.kq_sn == [f"S{i}" for i in reversed(range(8))]
    assert len(lines(capsys.readouterr().out)) == 9


@pytest.mark.parametrize("serial, index, line, recorded", [
    (None, 3, "Failed to obtain serial number", ""),
    (usb_error("Access denied", 13), 3, "Failed to obtain serial number: [Errno 13] Access denied", ""),
    ("ABC", 0, None, ""),  # no serial-number string: nothing read
    ("ABC", 7, None, "ABC"),
])
def test_scan_serial_number_reading(idle_host, bus, capsys, serial, index, line, recorded):
    dev = bus.add(serial=serial, iSerialNumber=index)
    idle_host.usb_get_kq_device()
    assert fd.kq_sn[0] == recorded
    assert bus.ops("get_string") == ([("get_string", dev, index)] if index else [])
    expected = ([line] if line else []) + [FOUND.format(1, 5, recorded), ""]
    assert lines(capsys.readouterr().out) == expected


def test_scan_lets_non_usb_errors_through(idle_host, bus):
    bus.add(serial=ValueError("bad descriptor"))
    with pytest.raises(ValueError, match="bad descriptor"):
        idle_host.usb_get_kq_device()


def test_scan_missing_location_reads_as_zero(idle_host, bus, capsys):
    dev = bus.add()
    del dev.bus, dev.address
    idle_host.usb_get_kq_device()
    assert fd.kq_string[0] == "device:0,0"


def test_scan_without_adapter_cleans_up(idle_host, bus, capsys):
    bus.add(vid=0x1D6B, pid=0x0002)
    before = slots()
    result = idle_host.usb_get_kq_device()
    assert result == [] and result is not fd.kq_string
    assert capsys.readouterr().out == "[Error] RU-ZEDUZ device not found\n" + BANNER + "\n"
    assert_released_state(idle_host)
    assert all(new is not old for new, old in zip(slots(), before))


# --- opening ---------------------------------------------------------------------------------

def test_open_claims_three_interfaces(idle_host, bus, capsys):
    bus.add(serial="OTHER", address=2)
    dev = bus.add(serial="SN-A", address=5)
    idle_host.usb_get_kq_device()
    capsys.readouterr()
    assert idle_host.usb_open("SN-A") == 1
    assert capsys.readouterr().out == ("Choose usb device is device:1,5\n"
                                       "Claimed interface 0\nClaimed interface 1\nClaimed interface 2\n")
    assert idle_host.usb_dev is dev and idle_host.getDeviceHandle() is dev
    assert bus.ops("claim") == [("claim", dev, 0), ("claim", dev, 1), ("claim", dev, 2)]


@pytest.mark.parametrize("already_open", [False, True])
@pytest.mark.parametrize("wanted", ["NOPE", "sn-a"])
def test_open_unknown_serial_fails(host, bus, capsys, wanted, already_open):
    if not already_open:
        host.usb_dev = host.dev_handle = None
    held = host.usb_dev
    assert host.usb_open(wanted) == -1
    assert capsys.readouterr().out == f"[Error] Not found device you specified: {wanted}\n"
    assert bus.ops("claim", "dispose") == []
    assert host.usb_dev is held


@pytest.mark.parametrize("failing", [0, 1, 2])
def test_open_claim_failure_cleans_up(host, bus, capsys, failing):
    host.dev.claim_errors[failing] = usb_error("Resource busy", 16)
    assert host.usb_open("SN-A") == -1
    out = lines(capsys.readouterr().out)
    assert out == (["Choose usb device is device:1,5"] + [f"Claimed interface {n}" for n in range(failing)]
                   + [f"[Error] Could not claim interface {failing}: [Errno 16] Resource busy",
                      RELEASED, BANNER_LINE, "", ""])
    assert [e[2] for e in bus.ops("claim")] == list(range(failing + 1))
    assert_released_state(host)


# --- clean-up and closing --------------------------------------------------------------------

def test_usb_clear_releases_and_rebinds_slot_lists(host, bus, capsys):
    before = slots()
    host.usb_clear()
    assert bus.ops("dispose") == [("dispose", host.dev)]
    assert capsys.readouterr().out == RELEASED + "\n" + BANNER + "\n"
    assert_released_state(host)
    assert all(new is not old for new, old in zip(slots(), before))
    assert before[2][0] == "SN-A"  # the old lists are replaced, not emptied


@pytest.mark.parametrize("error", [usb_error("No such device", 19), RuntimeError("gone")])
def test_usb_clear_reports_failed_release(host, bus, capsys, error):
    bus.dispose_error = error
    host.usb_clear()
    assert capsys.readouterr().out == f"Error during USB cleanup: {error}\n" + BANNER + "\n"
    assert_released_state(host)


def test_usb_clear_without_adapter_prints_only_banner(idle_host, bus, capsys):
    idle_host.usb_clear()
    assert capsys.readouterr().out == BANNER + "\n"
    assert bus.log == []


def test_close_twice(host, bus, capsys):
    host.close()
    assert capsys.readouterr().out == "close  fdhos\n" + RELEASED + "\n" + BANNER + "\n"
    assert host.stop_thread.is_set()
    host.close()
    assert capsys.readouterr().out == "close  fdhos\n"
    assert bus.ops("write", "read") == []  # nothing is sent on closing


def test_context_manager(host, capsys):
    with pytest.raises(KeyError):
        with host as entered:
            assert entered is host
            assert capsys.readouterr().out == "__enter__  fdhost \n"
            raise KeyError("inside")
    assert capsys.readouterr().out == "__exit__   fdhost\n" + RELEASED + "\n" + BANNER + "\n"
    assert host.stop_thread.is_set() and host.dev_handle is None
    host.close()
    assert capsys.readouterr().out == "close  fdhos\n"


# --- constructor -----------------------------------------------------------------------------

def construct_fails(capsys, *args):
    with pytest.raises(SystemExit) as exc:
        fd.fdhost(*args)
    assert exc.value.code == -1
    return capsys.readouterr()


def test_constructor_without_adapter(bus, capsys):
    bus.stub_threads()
    cap = construct_fails(capsys, 1000000, 5000000, "SN-A")
    assert cap.out == "[Error] RU-ZEDUZ device not found\n" + BANNER + "\n"
    assert cap.err == "[Error] RU-ZEDUZ device not found, program terminated\n"


def test_constructor_with_wrong_serial(bus, capsys):
    bus.stub_threads()
    bus.add(serial="SN-B")
    cap = construct_fails(capsys, 1000000, 5000000, "SN-A")
    assert lines(cap.out) == [FOUND.format(1, 5, "SN-B"), "[Error] Not found device you specified: SN-A", ""]
    assert cap.err == "[Error] Failed to open usb device\n"
    assert bus.ops("claim", "write", "thread_start") == []


def test_constructor_with_unclaimable_adapter(bus, capsys):
    bus.stub_threads()
    bus.add().claim_errors[0] = usb_error("Access denied (insufficient permissions)", 13)
    cap = construct_fails(capsys, 1000000, 5000000, "SN-A")
    assert "[Error] Could not claim interface 0: [Errno 13] Access denied (insufficient permissions)" in cap.out
    assert cap.err == "[Error] Failed to open usb device\n"


def test_constructor_stops_when_capture_start_is_rejected(bus, capsys):
    bus.stub_threads()
    bus.add().script_read(CONTROL_IN, ack_frame(0, 3))
    cap = construct_fails(capsys, 1000000, 5000000, "SN-A")
    assert lines(cap.out)[-6:] == ["[Error] ACK ack_code err, ack_code = 0x03", "[Error] CMD_START_CAP ACK FAIL",
                                   RELEASED, BANNER_LINE, "", ""]
    assert cap.err == ""
    assert [w[2] for w in bus.ops("write")] == [command_frame(0)]
    assert bus.ops("thread_start") == []


def test_constructor_lets_clear_halt_errors_through(bus, capsys):
    bus.stub_threads()
    bus.add().halt_errors[CAN_OUT].append(usb_error("Pipe error", 32))
    with pytest.raises(fd.usb.core.USBError):
        fd.fdhost(1000000, 5000000, "SN-A")
    assert bus.ops("dispose", "thread_start") == []


SETUP_CASES = [  # nominal, data, payload of CMD_SETUP_BUARD, report lines
    (1000000, 5000000, "011D0A02020D020201", ["1000000.0", "5000000.0", "87.5"]),
    (500000, 2000000, "01450A02020E050202", ["500000.0", "2000000.0", "75.0"]),
    (500000, 1000000, "00450A02021D0A0202", ["500000.0", "1000000.0", "75.0"]),
    (250000, 250000, "00450A020410030210", ["250000.0", "250000.0", "85.0"]),
    (800000, 2000000, "01000002000E050202", [None, None, "75.0"]),  # nominal rate not in the table
]


@pytest.mark.parametrize("nom, dat, payload, report", SETUP_CASES)
def test_constructor_sequence_on_the_wire(bus, capsys, nom, dat, payload, report):
    bus.stub_threads()
    dev = bus.add()
    h = fd.fdhost(nom, dat, "SN-A")
    setup = command_frame(5, bytes.fromhex(payload))
    exchange = lambda frame: [("clear_halt", CONTROL_OUT), ("write", CONTROL_OUT, frame, 1000),
                              ("clear_halt", CONTROL_IN), ("read", CONTROL_IN, 2048, 5000)]
    assert bus.log == ([("find",), ("get_string", dev, 3)] + [("claim", dev, n) for n in range(3)]
                       + [("sleep", 0.5)] + exchange(command_frame(0)) + [("sleep", 0.2)] + exchange(setup)
                       + [("clear_halt", CAN_OUT), ("clear_halt", DATA_IN), ("sleep", 0.5),
                          ("thread_start", "send_thread"), ("thread_start", "get_data_thread")])
    nominal, data, sample = report
    expected = ([f"Set the arbitration domain baud rate: {nominal}", f"Set the data baud rate: {data}"]
                if nominal else []) + [f"Sampling point: {sample}%", "ACK successful", "CMD_SETUP_BUARD ACK SUCCESS", ""]
    out = lines(capsys.readouterr().out)
    assert out[out.index("CMD_START_CAP ACK SUCCESS") + 1:] == expected
    threads = (h.rec_thread2, h.rec_thread)
    assert [t.kwargs["target"].__self__ for t in threads] == [h, h]
    assert all(t.args == () and set(t.kwargs) == {"target"} for t in threads)
    assert h.rec_thread3 is None and not h.stop_thread.is_set()
    assert (h.nom_baud_, h.dat_baud_, h.sn_, h.num_devices, h.kq_cnt, h.frame_callback_) == (nom, dat, "SN-A", 0, 1, None)
    assert h.winusb_read_buf == bytearray(51200) and h.can_read_buf == bytearray(51200)


def test_constructor_reads_tables_when_constructing(bus, monkeypatch):
    bus.stub_threads()
    dev = bus.add()
    monkeypatch.setattr(fd, "can_fd_seg_table", [[1, 12, 3]])
    fd.fdhost(1000000, 5000000, "SN-A")
    assert dev.writes(CONTROL_OUT)[1] == command_frame(5, bytes.fromhex("011D0A02020C030201"))
    monkeypatch.setattr(fd, "can_seg_table", [[2, 29]])
    with pytest.raises(ValueError, match="unpack"):
        fd.fdhost(1000000, 5000000, "SN-A")


def test_worker_threads_run_until_closed(bus, capsys):
    dev = bus.add()
    h = fd.fdhost(1000000, 5000000, "SN-A")
    try:
        workers = (h.rec_thread2, h.rec_thread)
        assert all(type(t) is threading.Thread and t.is_alive() and not t.daemon for t in workers)
        assert wait_for(lambda: len(dev.writes(HEART_OUT)) >= 2)
    finally:
        h.close()
    assert not any(t.is_alive() for t in workers)
    assert set(dev.writes(HEART_OUT)) == {HEARTBEAT}
    assert {e[1:] for e in bus.ops("read")} >= {(DATA_IN, 51200, 1)}
    out = capsys.readouterr().out
    assert "Heart thread started\n" in out and "USB receiving thread started\n" in out
    assert out.endswith("close  fdhos\n" + RELEASED + "\n" + BANNER + "\n")


def test_unplug_ends_both_workers(bus, capsys):
    dev = bus.add()
    dev.script_read(DATA_IN, usb_error("No such device (it may have been disconnected)", 19))
    h = fd.fdhost(1000000, 5000000, "SN-A")
    h.rec_thread.join(2)
    h.rec_thread2.join(2)
    assert not h.rec_thread.is_alive() and not h.rec_thread2.is_alive()
    out = capsys.readouterr().out
    assert out.count("[Error] In get_data_thread,Usb_rec err, err_code=19, failed: "
                     "[[Errno 19] No such device (it may have been disconnected)]\n") == 1
    assert out.count("In USB_CMD_HEART") <= 1  # at most a heartbeat already under way
    assert h.dev_handle is None
    h.close()
    assert capsys.readouterr().out == "close  fdhos\n"
