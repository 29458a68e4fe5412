"""The virtual RU-ZEDUZ adapter seen through unmodified pyusb (no fdhost module involved)."""
import os
import struct
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from libusb_raw import CANCELLED, COMPLETED, TYPE_BULK, TYPE_CONTROL, AsyncTransfers, Libusb  # noqa: E402
from vadapter import (HEAD_SEQ_MASK, HEARTBEAT, VirtualAdapter, ack_frame, command_frame, container,  # noqa: E402
                      crc16, library_path, parse_container, tx_record, use_with_pyusb)

LIB = library_path()
pytestmark = pytest.mark.skipif(not LIB.exists(), reason=f"virtual adapter not built: {LIB}")

import usb.core  # noqa: E402
import usb.util  # noqa: E402

VID, PID = 0x34B7, 0x6877
DEFAULT_SERIAL = "14AA044B241402B10DDBDAFE448040BB"
SETUP_1M_5M = bytes.fromhex("011D0A02020D020201")


@pytest.fixture(scope="session")
def vad():
    use_with_pyusb()
    return VirtualAdapter()


class Rig:
    """A fresh model per test, plus the pyusb devices it opened (released afterwards)."""

    def __init__(self, vad):
        self.vad = vad
        self.opened = []

    def configure(self, config=""):
        self.vad.configure(config)

    def open(self, serial=None, claim=True):
        for d in usb.core.find(find_all=True, idVendor=VID, idProduct=PID):
            if serial is None or usb.util.get_string(d, d.iSerialNumber) == serial:
                self.opened.append(d)
                if claim:
                    for n in range(3):
                        usb.util.claim_interface(d, n)
                return d
        raise LookupError(serial)

    def command(self, dev, code, payload=b"", timeout=500):
        dev.write(0x02, command_frame(code, payload), timeout=timeout)
        return bytes(dev.read(0x82, 2048, timeout=timeout))

    def close(self):
        for d in self.opened:
            usb.util.dispose_resources(d)


@pytest.fixture
def rig(vad):
    vad.configure("")
    r = Rig(vad)
    yield r
    r.close()


def usb_error(fn, *args, **kw):
    with pytest.raises(usb.core.USBError) as info:
        fn(*args, **kw)
    return info.value.errno


def read_records(dev, timeout=200):
    return parse_container(bytes(dev.read(0x81, 51200, timeout=timeout)))


def wait_counter(vad, name, value, limit=2.0):
    end = time.monotonic() + limit
    while vad.counter(name) < value and time.monotonic() < end:
        time.sleep(0.005)
    return vad.counter(name)


# ---------------------------------------------------------------- enumeration and identity

def test_enumeration_order_locations_and_serials(rig):
    rig.configure("adapters=2;serials=AAAA,BBBB;bus=2:7,1:9;other=2;other_ids=1d6b:0002,34b7:0001;"
                  "other_bus=1:1,3:4;order=o0,a0,o1,a1")
    found = [(d.idVendor, d.idProduct, d.bus, d.address) for d in usb.core.find(find_all=True)]
    assert found == [(0x1D6B, 2, 1, 1), (VID, PID, 2, 7), (VID, 1, 3, 4), (VID, PID, 1, 9)]
    adapters = list(usb.core.find(find_all=True, idVendor=VID, idProduct=PID))
    assert [usb.util.get_string(d, d.iSerialNumber) for d in adapters] == ["AAAA", "BBBB"]


def test_descriptors_strings_and_interfaces(rig):
    d = rig.open(claim=False)
    assert d.iSerialNumber > 0 and d.serial_number == DEFAULT_SERIAL
    assert d.langids == (0x0409,)
    assert d.manufacturer and "RU-ZEDUZ" in d.product
    assert d.speed == usb.util.SPEED_HIGH
    cfg = d.get_active_configuration()
    assert cfg.bConfigurationValue == 1
    pairs = [sorted(e.bEndpointAddress for e in intf) for intf in cfg]
    assert pairs == [[0x01, 0x81], [0x02, 0x82], [0x03, 0x83]]
    assert all(e.wMaxPacketSize == 512 and usb.util.endpoint_type(e.bmAttributes) == usb.util.ENDPOINT_TYPE_BULK
               for intf in cfg for e in intf)
    for n in range(3):
        usb.util.claim_interface(d, n)
    assert usb_error(usb.util.claim_interface, d, 3) == 2  # no such interface


# ---------------------------------------------------------------- command channel and heartbeat

def test_commands_are_acknowledged_with_their_code(rig, vad):
    d = rig.open()
    assert rig.command(d, 0) == bytes.fromhex("A5000000000000 5A".replace(" ", ""))
    assert rig.command(d, 1) == ack_frame(1, 0)
    assert rig.command(d, 6) == ack_frame(6, 0, b"\x01\x02\x03\x04")
    vad.hello(b"\x12\x34")
    assert rig.command(d, 6) == ack_frame(6, 0, b"\x12\x34")
    assert vad.commands_seen() == [command_frame(c) for c in (0, 1, 6, 6)]
    assert vad.acks_sent()[-1] == ack_frame(6, 0, b"\x12\x34")


def test_setup_configures_bus_timing(rig, vad):
    d = rig.open()
    assert rig.command(d, 5, SETUP_1M_5M) == ack_frame(5, 0)
    c = vad.counters()
    assert (c["nominal_bitrate"], c["data_bitrate"], c["fd_mode"], c["setup_count"]) == (1_000_000, 5_000_000, 1, 1)
    assert rig.command(d, 13) == ack_frame(13, 0, SETUP_1M_5M)  # read back
    # Classic, 500 kbit/s: prescaler 4, 1 + 31 + 8 quanta.
    assert rig.command(d, 5, bytes([0, 31, 8, 2, 4, 0, 0, 2, 0])) == ack_frame(5, 0)
    c = vad.counters()
    assert (c["nominal_bitrate"], c["fd_mode"]) == (500_000, 0)


@pytest.mark.parametrize("frame, ack", [
    (command_frame(5, SETUP_1M_5M)[:-3] + b"\x00\x00\x5A", (5, 2)),      # wrong CRC
    (command_frame(1)[:-1] + b"\x5B", (1, 1)),                           # wrong end byte
    (b"\xA4" + command_frame(1)[1:], (1, 1)),                            # wrong start byte
    (command_frame(0, b"\x00") + b"\x00", (0, 1)),                       # length field disagrees
    (b"\xA5\x07\x5A", (7, 1)),                                           # too short
    (command_frame(5, b"\x01\x02"), (5, 3)),                             # setup payload too short
    (command_frame(5, bytes(9)), (5, 8)),                                # nominal prescaler 0
    (command_frame(5, bytes([1, 29, 10, 2, 2, 13, 2, 2, 0])), (5, 7)),   # data prescaler 0 in FD mode
    (command_frame(0x20), (0x20, 4)),                                    # unknown command
])
def test_rejected_commands(rig, vad, frame, ack):
    d = rig.open()
    d.write(0x02, frame, timeout=200)
    assert bytes(d.read(0x82, 2048, timeout=200)) == ack_frame(*ack)
    assert vad.counter("setup_count") == 0


def test_ack_read_without_command_times_out(rig):
    d = rig.open()
    t = time.monotonic()
    assert usb_error(d.read, 0x82, 2048, timeout=30) == 110
    assert time.monotonic() - t >= 0.028


def test_heartbeats_checked_and_counted(rig, vad):
    d = rig.open()
    assert HEARTBEAT.hex() == "a5101100" + "ff" * 17 + "0a1c5a"
    for _ in range(3):
        assert d.write(0x01, HEARTBEAT, timeout=100) == 24
    d.write(0x01, HEARTBEAT[:-1] + b"\x00", timeout=100)
    c = vad.counters()
    assert (c["heartbeats"], c["heartbeats_bad"]) == (3, 1)
    assert vad.heartbeats()[0] == HEARTBEAT


# ---------------------------------------------------------------- transmit and receive

def test_transmitted_frame_returns_as_dir1_record(rig, vad):
    rig.configure("capture=1")
    d = rig.open()
    rec = tx_record(0x123, bytes(range(8)))
    before = vad.now_us()
    assert d.write(0x03, rec, timeout=1) == 88
    raw = bytes(d.read(0x81, 51200, timeout=100))
    after = vad.now_us()
    (r,) = parse_container(raw)
    assert (r.id, r.fram_type, r.can_type, r.id_type, r.dir, r.dlc, r.data) == (0x123, 1, 1, 0, 1, 8, bytes(range(8)))
    assert 0 <= (after - r.time_stamp) & 0xFFFFFFFF <= after - before  # low 32 bits of the clock
    header = struct.pack("<II3sB", 0x123, r.time_stamp, b"\0\0\x80", 0x8B)  # sent with the bitrate switch
    assert raw == container(header + bytes(range(8)))
    assert vad.tx_records() == [rec] and vad.last_tx() == rec


def test_loopback_adds_dir0_reception(rig, vad):
    rig.configure("capture=1;loopback=1")
    d = rig.open()
    d.write(0x03, tx_record(0x7FF, b"\xAA", fd=False), timeout=1)
    recs = read_records(d)
    assert [(r.dir, r.id, r.can_type, r.data) for r in recs] == [(1, 0x7FF, 0, b"\xAA"), (0, 0x7FF, 0, b"\xAA")]
    vad.loopback(False)
    d.write(0x03, tx_record(0x1, b""), timeout=1)
    assert [r.dir for r in read_records(d)] == [1]


def test_transmit_lengths(rig, vad):
    rig.configure("capture=1")
    d = rig.open()
    d.write(0x03, tx_record(0x10, bytes(range(1, 11))), timeout=1)           # 10 bytes: FD DLC 9, padded
    d.write(0x03, tx_record(0x11, bytes(range(1, 13)), fd=False), timeout=1)  # classic carries 8 at most
    d.write(0x03, tx_record(0x12, ext=True, remote=True, fd=False, dlc=3), timeout=1)
    d.write(0x03, tx_record(0x1ABCDEF, b"\x01", ext=True), timeout=1)
    assert d.write(0x03, bytes(87), timeout=1) == 87                         # not a transmit record
    recs = []
    while len(recs) < 4:
        recs += read_records(d)
    assert [(r.dlc, r.data) for r in recs[:2]] == [(9, bytes(range(1, 11)) + b"\0\0"), (8, bytes(range(1, 9)))]
    assert (recs[2].fram_type, recs[2].id_type, recs[2].dlc) == (0, 1, 3)
    assert (recs[3].id, recs[3].id_type) == (0x1ABCDEF, 1)
    c = vad.counters()
    assert (c["tx_records"], c["tx_bad"], c["tx_truncated"]) == (4, 1, 1)


def test_frames_only_while_capturing(rig, vad):
    d = rig.open()
    d.write(0x03, tx_record(0x5), timeout=1)
    assert usb_error(d.read, 0x81, 51200, timeout=20) == 110
    assert vad.counter("rx_dropped") == 1
    rig.command(d, 0)
    d.write(0x03, tx_record(0x6), timeout=1)
    assert [r.id for r in read_records(d)] == [0x6]
    rig.command(d, 1)
    d.write(0x03, tx_record(0x7), timeout=1)
    assert usb_error(d.read, 0x81, 51200, timeout=20) == 110


def test_containers_split_at_51200_bytes_and_keep_order(rig, vad):
    rig.configure("capture=1;gen=saturate,dlc=15,fd=1,count=1000,idinc=1")
    d = rig.open()
    wait_counter(vad, "gen_frames", 1000)
    sizes, recs = [], []
    while len(recs) < 1000:
        raw = bytes(d.read(0x81, 51200, timeout=100))
        sizes.append(len(raw))
        recs += parse_container(raw)
    assert max(sizes) <= 51200 and len(sizes) >= 2 and sizes[0] > 51200 - 76
    assert [r.seq for r in recs] == list(range(1000))
    assert all(struct.unpack_from("<I", r.data)[0] == i and r.id == 0x100 + i and r.dir == 0
               for i, r in enumerate(recs))


def test_generator_sequence_ids_and_dlc_mix(rig, vad):
    # Started just below the header's sequence width, so the header wraps while the data does not.
    rig.configure("capture=1;gen=saturate,dlc=0/3/4/8,id=0x1FFFFFF0,ext=1,idinc=1,count=8,seq=0x3FFFFE")
    d = rig.open()
    wait_counter(vad, "gen_frames", 8)
    recs = read_records(d)
    seqs = [0x3FFFFE + i for i in range(8)]
    assert [r.dlc for r in recs] == [0, 3, 4, 8] * 2
    assert [r.seq for r in recs] == [s & HEAD_SEQ_MASK for s in seqs] == [0x3FFFFE, 0x3FFFFF, 0, 1, 2, 3, 4, 5]
    assert [r.id for r in recs] == [(0x1FFFFFF0 + s) & 0x1FFFFFFF for s in seqs]
    assert recs[2].data == struct.pack("<I", seqs[2]) and recs[1].data == struct.pack("<I", seqs[1])[:3]
    assert recs[3].data[4:] == bytes((seqs[3] + i) & 0xFF for i in range(4, 8))


def test_injected_bus_frame_and_timestamps(rig, vad):
    rig.configure("capture=1")
    d = rig.open()
    vad.bus_frame(0x321, b"\x01\x02", fd=True)
    (r,) = read_records(d)
    assert (r.id, r.dir, r.can_type, r.dlc, r.data) == (0x321, 0, 1, 2, b"\x01\x02")
    assert 0 <= (vad.now_us() & 0xFFFFFFFF) - r.time_stamp < 100_000


@pytest.mark.parametrize("gen, brs, esi", [
    ("fd=1", True, False),                 # FD frames switch the bitrate unless told otherwise
    ("fd=1,brs=0,esi=1", False, True),
    ("fd=1,brs=1,esi=1", True, True),
    ("fd=0,brs=1,esi=1", False, False),    # classic frames have neither bit
])
def test_generated_frames_report_brs_and_esi_beside_the_sequence(rig, vad, gen, brs, esi):
    # The sequence starts where all 22 header bits are set: the flag bits must neither show in it
    # nor be overwritten by it.
    rig.configure(f"capture=1;gen=saturate,dlc=8,count=2,seq=0x3FFFFF,{gen}")
    d = rig.open()
    wait_counter(vad, "gen_frames", 2)
    assert [(r.seq, r.brs, r.esi) for r in read_records(d)] == [(0x3FFFFF, brs, esi), (0, brs, esi)]


@pytest.mark.parametrize("frame, brs, esi", [
    (dict(fd=True), True, False),
    (dict(fd=True, brs=False, esi=True), False, True),
    (dict(fd=True, esi=True), True, True),
    (dict(fd=False, esi=True), False, False),
])
def test_injected_frames_report_brs_and_esi(rig, vad, frame, brs, esi):
    rig.configure("capture=1")
    d = rig.open()
    vad.bus_frame(0x42, b"\x01", **frame)
    assert [(r.id, r.seq, r.brs, r.esi) for r in read_records(d)] == [(0x42, 0, brs, esi)]


def test_flush_holds_frames_and_batches_them(rig, vad):
    rig.configure("capture=1;flush_us=30000")
    d = rig.open()
    vad.bus_frame(0x1)
    assert usb_error(d.read, 0x81, 51200, timeout=5) == 110  # held back
    vad.bus_frame(0x2)
    t = time.monotonic()
    assert [r.id for r in read_records(d, timeout=500)] == [0x1, 0x2]
    assert time.monotonic() - t < 0.1


# ---------------------------------------------------------------- bus timing

@pytest.mark.parametrize("gen, expected", [
    ("saturate,dlc=0", 1e6 / 47),                 # classic, standard id, no data
    ("saturate,dlc=15,fd=1", 1e6 / 139.8),        # 64 bytes at 1M/5M
    ("saturate,dlc=8,fd=1", 1e6 / 49.2),          # 8 bytes at 1M/5M
    ("saturate,dlc=8,ext=1", 1e6 / 131),          # classic, extended id, 8 bytes
    ("2000,dlc=8", 2000),                         # a fixed rate below the bus limit
])
def test_bus_carries_frames_at_their_bit_time(vad, gen, expected):
    vad.configure(f"gen={gen}")
    t0, n0 = vad.now_us(), vad.counter("bus_frames")
    time.sleep(0.25)
    t1, n1 = vad.now_us(), vad.counter("bus_frames")
    assert (n1 - n0) / ((t1 - t0) / 1e6) == pytest.approx(expected, rel=0.03)


def test_worst_case_stuffing_and_timestamps_follow_bit_time(rig, vad):
    rig.configure("capture=1;gen=saturate,dlc=0,count=50")
    d = rig.open()
    wait_counter(vad, "gen_frames", 50)
    stamps = [r.time_stamp for r in read_records(d)]
    assert {b - a for a, b in zip(stamps, stamps[1:])} <= {46, 47, 48}
    rig.configure("capture=1;stuffing=worst;gen=saturate,dlc=0,count=50")
    d = rig.open()
    wait_counter(vad, "gen_frames", 50)
    stamps = [r.time_stamp for r in read_records(d)]
    assert {b - a for a, b in zip(stamps, stamps[1:])} <= {54, 55, 56}  # 47 + 8 stuff bits


# ---------------------------------------------------------------- faults

@pytest.mark.parametrize("ep", [0x01, 0x02, 0x03, 0x81, 0x82])
def test_stall_n_times_then_normal(rig, vad, ep):
    d = rig.open()
    vad.fault(f"stall,ep={ep},count=2")
    op = (lambda: d.read(ep, 2048, timeout=10)) if ep & 0x80 else (lambda: d.write(ep, HEARTBEAT, timeout=10))
    assert [usb_error(op), usb_error(op)] == [32, 32]
    if ep & 0x80:
        assert usb_error(op) == 110
    else:
        assert op() == 24


def test_halt_stays_until_cleared(rig, vad):
    d = rig.open()
    vad.fault("halt,ep=0x03")
    assert usb_error(d.write, 0x03, tx_record(1), timeout=1) == 32
    assert usb_error(d.write, 0x03, tx_record(1), timeout=1) == 32
    d.clear_halt(0x03)
    assert d.write(0x03, tx_record(1), timeout=1) == 88


@pytest.mark.parametrize("ep, op", [(0x01, "write"), (0x81, "read")])
def test_timeout_fault_waits_out_the_timeout(rig, vad, ep, op):
    rig.configure("capture=1")
    d = rig.open()
    d.write(0x03, tx_record(1), timeout=1)  # pending frame the read must not deliver
    vad.fault(f"timeout,ep={ep}")
    t = time.monotonic()
    call = (lambda: d.write(ep, HEARTBEAT, timeout=40)) if op == "write" else (lambda: d.read(ep, 51200, timeout=40))
    assert usb_error(call) == 110
    assert time.monotonic() - t >= 0.038
    assert vad.counter("heartbeats") == 0


def test_short_write_hands_over_only_reported_bytes(rig, vad):
    d = rig.open()
    vad.fault("short,ep=0x02,bytes=5")
    assert d.write(0x02, command_frame(0), timeout=100) == 5
    assert bytes(d.read(0x82, 2048, timeout=100)) == ack_frame(0, 1)
    assert vad.commands_seen() == [command_frame(0)[:5]]


def test_late_write_moves_its_data_though_libusb_reports_a_time_out(rig, vad):
    d = rig.open()
    vad.fault("late,ep=0x02")
    # libusb says LIBUSB_ERROR_TIMEOUT with every byte moved; pyusb then counts the bytes.
    assert d.write(0x02, command_frame(0), timeout=100) == 7
    assert bytes(d.read(0x82, 2048, timeout=100)) == ack_frame(0, 0)  # the command arrived
    assert vad.commands_seen() == [command_frame(0)]


def test_rejected_and_unanswered_commands(rig, vad):
    d = rig.open()
    vad.fault("reject,cmd=5,ack=8")
    vad.fault("noack,cmd=0")
    assert rig.command(d, 5, SETUP_1M_5M) == ack_frame(5, 8)
    assert vad.counter("setup_count") == 0
    d.write(0x02, command_frame(0), timeout=100)
    assert usb_error(d.read, 0x82, 2048, timeout=30) == 110
    assert rig.command(d, 0) == ack_frame(0, 0)  # both faults fired once


@pytest.mark.parametrize("kind, expected", [
    ("ack_start", b"\xA4" + ack_frame(6, 0, b"\x01\x02\x03\x04")[1:]),
    ("ack_end", ack_frame(6, 0, b"\x01\x02\x03\x04")[:-1] + b"\x5B"),
    ("ack_crc", ack_frame(6, 0, b"\x01\x02\x03\x04")[:9] + bytes([ack_frame(6, 0, b"\x01\x02\x03\x04")[9] ^ 0xFF])
     + ack_frame(6, 0, b"\x01\x02\x03\x04")[10:]),
    ("ack_cmd", ack_frame(7, 0, b"\x01\x02\x03\x04")),
])
def test_corrupted_acknowledgements(rig, vad, kind, expected):
    d = rig.open()
    vad.fault(f"{kind},cmd=6")
    assert rig.command(d, 0) == ack_frame(0, 0)
    assert rig.command(d, 6) == expected


def test_unplug_after_transfers(rig, vad):
    d = rig.open()
    vad.unplug(after_transfers=2)
    d.write(0x01, HEARTBEAT, timeout=100)
    d.write(0x01, HEARTBEAT, timeout=100)
    assert usb_error(d.write, 0x01, HEARTBEAT, timeout=100) == 19
    assert usb_error(d.read, 0x82, 2048, timeout=10) == 19
    assert usb.core.find(idVendor=VID) is None
    assert vad.counter("unplugged") == 1


def test_unplug_at_a_time_ends_a_waiting_read(rig, vad):
    d = rig.open()
    vad.unplug(after_ms=50)
    t = time.monotonic()
    assert usb_error(d.read, 0x81, 51200, timeout=2000) == 19
    assert 0.045 < time.monotonic() - t < 0.5
    assert usb.core.find(idVendor=VID) is None


def test_replug_gives_a_fresh_device(rig, vad):
    d = rig.open()
    vad.unplug()
    vad.replug()
    (n,) = list(usb.core.find(find_all=True, idVendor=VID))
    assert (n.bus, n.address) == (d.bus, d.address + 1) and n.serial_number == DEFAULT_SERIAL
    assert usb_error(d.write, 0x01, HEARTBEAT, timeout=100) == 19


def _records_bytes():
    return struct.pack("<II3sB", 0x100, 0, b"\0\0\0", 0x81) + b"\x55" * 8


@pytest.mark.parametrize("kind, check", [
    ("rx_start", lambda c: c[0] == 0xA4 and c[-1] == 0x5A),
    ("rx_end", lambda c: c[0] == 0xA5 and c[-1] == 0x5B),
    ("rx_zero", lambda c: c == bytes.fromhex("A50000000000 5A".replace(" ", ""))),
    ("rx_count", lambda c: struct.unpack_from("<H", c, 2)[0] + 6 > len(c)),
    ("rx_crc", lambda c: struct.unpack_from("<H", c, len(c) - 3)[0] != crc16(c[2:-3])),
    ("rx_cut", lambda c: struct.unpack_from("<H", c, len(c) - 3)[0] == crc16(c[2:-3]) and len(c) - 7 == 12 + 4),
    ("rx_dir1", lambda c: all(r.dir == 1 for r in parse_container(c))),
    ("rx_stray", lambda c: c[-8:-3] == b"\xEE" * 5 and struct.unpack_from("<H", c, len(c) - 3)[0] == crc16(c[2:-3])),
    ("rx_pad", lambda c: c[-4:] == b"\0\0\0\x5A"),
])
def test_damaged_receive_containers(rig, vad, kind, check):
    rig.configure("capture=1")
    d = rig.open()
    vad.bus_frame(0x100, b"\x55" * 8)
    wait_counter(vad, "bus_frames", 1)
    vad.fault(kind)
    assert check(bytes(d.read(0x81, 51200, timeout=100)))
    vad.bus_frame(0x101, b"")  # the fault fired once: the next container is sound
    assert [r.id for r in read_records(d)] == [0x101]


def test_damage_without_traffic_uses_a_filler_frame(rig, vad):
    d = rig.open()
    vad.fault("rx_crc")
    raw = bytes(d.read(0x81, 51200, timeout=100))
    assert raw[0] == 0xA5 and raw[-1] == 0x5A and struct.unpack_from("<H", raw, 2)[0] == 20


def test_raw_bytes_are_returned_verbatim_first(rig, vad):
    rig.configure("capture=1")
    d = rig.open()
    vad.bus_frame(0x100)
    vad.queue_raw(0x81, b"\x01\x02\x03")
    vad.queue_raw(0x81, b"")
    vad.queue_raw(0x82, b"\xA5\xFF\x5A")
    assert bytes(d.read(0x81, 51200, timeout=100)) == b"\x01\x02\x03"
    assert bytes(d.read(0x81, 51200, timeout=100)) == b""
    assert [r.id for r in read_records(d)] == [0x100]
    assert bytes(d.read(0x82, 2048, timeout=100)) == b"\xA5\xFF\x5A"
    vad.queue_raw(0x82, bytes(3000))
    assert usb_error(d.read, 0x82, 2048, timeout=100) == 75  # more than asked for: overflow


def test_serial_missing_or_unreadable(rig, vad):
    rig.configure("adapters=2;a0.fault=nosn;a1.fault=sn_fail")
    a, b = usb.core.find(find_all=True, idVendor=VID)
    assert a.iSerialNumber == 0
    assert usb_error(usb.util.get_string, b, b.iSerialNumber) == 32
    assert usb.util.get_string(b, b.iSerialNumber) == "14AA044B241402B10DDBDAFE448040BC"


@pytest.mark.parametrize("fault, call, errno", [
    ("claim,intf=1", lambda d: usb.util.claim_interface(d, 1), 16),
    ("clear_halt,ep=0x03", lambda d: d.clear_halt(0x03), 5),
    ("open", lambda d: usb.util.claim_interface(d, 0), 13),
])
def test_device_level_faults(rig, vad, fault, call, errno):
    vad.fault(fault)
    d = rig.open(claim=False)
    if fault != "open":
        usb.util.claim_interface(d, 0)
    assert usb_error(call, d) == errno
    call(d)  # fired once


# ---------------------------------------------------------------- robustness

def test_close_or_reconfigure_ends_a_blocked_read(rig, vad):
    for finish in (lambda d: usb.util.dispose_resources(d), lambda d: vad.configure("")):
        d = rig.open()
        result = []

        def reader():
            try:
                d.read(0x81, 51200, timeout=0)  # 0: wait without limit
            except usb.core.USBError as e:
                result.append(e.errno)

        t = threading.Thread(target=reader)
        t.start()
        time.sleep(0.05)
        finish(d)
        t.join(1.0)
        assert not t.is_alive() and result == [19]
        rig.configure("")


def test_concurrent_reader_heartbeat_and_writers(rig, vad):
    rig.configure("capture=1")
    d = rig.open()
    stop, ids, errors = threading.Event(), [], []

    def reader():
        deadline = time.monotonic() + 5
        while len(ids) < 300 and time.monotonic() < deadline:
            try:
                ids.extend(r.id for r in read_records(d, timeout=1))
            except usb.core.USBError as e:
                if e.errno != 110:
                    errors.append(e)
                    return

    def heart():
        while not stop.is_set():
            d.write(0x01, HEARTBEAT, timeout=100)
            time.sleep(0.01)

    threads = [threading.Thread(target=reader), threading.Thread(target=heart)]
    for t in threads:
        t.start()
    for i in range(300):
        d.write(0x03, tx_record(i & 0x7FF, bytes(8)), timeout=5)
        if i % 100 == 0:
            assert rig.command(d, 6)[2] == 0
    stop.set()
    for t in threads:
        t.join(5)
    assert not errors and ids == list(range(300))
    assert vad.counter("heartbeats") > 0 and vad.counter("heartbeats_bad") == 0


def test_full_transmit_queue_times_out_writes(rig, vad):
    rig.configure("txbuf=4;nominal=1k")  # 47 ms per frame
    d = rig.open()
    for _ in range(4):
        d.write(0x03, tx_record(1, fd=False), timeout=1)
    assert usb_error(d.write, 0x03, tx_record(1, fd=False), timeout=1) == 110
    assert d.write(0x03, tx_record(1, fd=False), timeout=500) == 88  # waits for the bus to make room
    assert vad.counter("tx_queue_full") == 1


def test_asynchronous_transfers(vad):
    """The libusb async interface: bulk, control, cancel, each completed inside event handling."""
    vad.configure("capture=1")
    usb = Libusb()
    handle = usb.open(1, 2)
    a = AsyncTransfers(usb, handle)

    def run(endpoint, data, timeout=100, cancel=False, kind=TYPE_BULK):
        t = a.submit("t", endpoint, data, timeout, kind)
        if cancel:
            assert a.cancel(t) == 0
        a.wait(1)
        _, status, reply = a.done.pop()
        return status, reply

    assert run(0x03, tx_record(0x42)) == (COMPLETED, b"")
    status, raw = run(0x81, 51200)
    assert status == COMPLETED and parse_container(raw)[0].id == 0x42
    status, raw = run(0, bytes.fromhex("8006000100001200") + bytes(18), kind=TYPE_CONTROL)
    assert (status, len(raw)) == (COMPLETED, 18) and struct.unpack_from("<HH", raw, 8) == (VID, PID)
    assert run(0x82, 64, timeout=5000, cancel=True) == (CANCELLED, b"")  # cancelled, not waited for
    a.finish()
    usb.close(handle)


def test_bad_configuration_is_refused_and_keeps_the_model(rig, vad):
    rig.configure("adapters=2")
    for bad in ("adapters=x", "frobnicate=1", "gen=fast", "fault=explode", "a5.loopback=1", "bus=1"):
        with pytest.raises(Exception, match="."):
            vad.configure(bad)
    assert vad.adapter_count() == 2


def test_environment_configuration_and_library_path(tmp_path):
    """Both ways in: FDHOST_VADAPTER read at load, and LD_LIBRARY_PATH with a default find()."""
    code = ("import usb.core; print(sorted((d.bus, d.address, d.idVendor) for d in usb.core.find(find_all=True)))")
    env = dict(os.environ, FDHOST_VADAPTER="adapters=2;bus=3:4,5:6;other=1",
               LD_LIBRARY_PATH=f"{LIB.parent}:{os.environ.get('LD_LIBRARY_PATH', '')}")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=20)
    assert out.stdout.strip() == str([(2, 1, 0x1D6B), (3, 4, VID), (5, 6, VID)]), out.stderr
