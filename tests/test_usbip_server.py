"""fdhost-usbip, the virtual adapter exported over USB/IP, seen as the kernel's vhci-hcd sees it
(tests/usbip_client.py speaks the protocol): the device list and imports, endpoint 0 answering as the
stand-in library answers pyusb, bulk traffic on a virtual CAN bus shared with this process's own
stand-in, URBs in flight and unlinked, the device-side and host-side disconnects, and peers that
break the protocol, which lose their connection and nothing else."""
import errno
import os
import re
import select
import signal
import socket
import struct
import subprocess
import time
import uuid
from pathlib import Path

import pytest

import usbip_client as ip
from libusb_raw import ERROR_PIPE, Libusb
from vadapter import VirtualAdapter, ack_frame, command_frame, library_path, parse_container, tx_record

ROOT = Path(__file__).resolve().parents[1]
PROGRAM = Path(os.environ.get("FDHOST_USBIP") or ROOT / "build" / "vadapter" / "fdhost-usbip")
pytestmark = pytest.mark.skipif(not PROGRAM.exists() or not library_path().exists(),
                                reason=f"fdhost-usbip not built: {PROGRAM}")

SERIAL_0 = "14AA044B241402B10DDBDAFE448040BB"
CMD_START_CAP, CMD_ACK_HELLO = 0, 6


class Server:
    """One fdhost-usbip on a free port; command() is one line on its stdin and its answer."""

    def __init__(self, *args, env=None):
        self.p = subprocess.Popen([str(PROGRAM), "--port", "0", *args], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.banner = self.line()
        m = re.fullmatch(r"fdhost-usbip: listening on 127\.0\.0\.1:(\d+), .*", self.banner)
        assert m, self.banner
        self.port = int(m[1])

    def line(self, timeout=5.0):
        ready, _, _ = select.select([self.p.stdout], [], [], timeout)
        assert ready, "fdhost-usbip printed nothing"
        line = self.p.stdout.readline()
        assert line, f"fdhost-usbip ended: {self.p.stderr.read()}"
        return line.rstrip("\n")

    def command(self, line, timeout=5.0):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()
        return self.line(timeout)

    def available(self, busid, timeout=5.0):
        """Waits until the device can be imported again."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if re.search(rf"[ ,]{busid} \S+ available", self.command("list")):
                return True
            time.sleep(0.02)
        return False

    def stop(self, sig=signal.SIGTERM):
        self.p.send_signal(sig)
        rc = self.p.wait(10)
        for f in (self.p.stdin, self.p.stdout, self.p.stderr):
            f.close()
        return rc


@pytest.fixture
def start():
    """Starts servers; each must end with status 0 on SIGTERM."""
    started = []

    def run(*args, env=None):
        s = Server(*args, env=env)
        started.append(s)
        return s

    yield run
    for s in started:
        if s.p.poll() is None:
            assert s.stop() == 0


@pytest.fixture
def bus():
    return f"usbip-{uuid.uuid4().hex[:10]}"


@pytest.fixture
def standin():
    """This process's own stand-in library, put back to its defaults afterwards."""
    vad = VirtualAdapter()
    yield vad, Libusb()
    vad.configure("")


def control(dev, request_type, request, value, index, length):
    r = dev.control(request_type, request, value, index, length)
    return "stall" if r.status == -errno.EPIPE else (r.status, r.data)


def standin_control(usb, handle, request_type, request, value, index, length):
    rc, data, err = usb.control(handle, request_type, request, value, index, length)
    return "stall" if rc == ERROR_PIPE else (0, data)


def start_capture(dev):
    assert dev.transfer(0x02, command_frame(CMD_START_CAP)).status == 0
    assert dev.transfer(0x82, 2048).status == 0


def frames(reply):
    assert reply.status == 0, reply.status
    return [(r.id, r.dir, r.data) for r in parse_container(reply.data)]


# ---------------------------------------------------------------- listing and importing

def test_device_list_shows_every_device_with_its_serial_and_interfaces(start):
    s = start("--adapters", "2", "--other", "1")
    assert s.banner.endswith(f"2 adapters (1-1 {SERIAL_0}, 1-2 {SERIAL_0[:-2]}BC), 1 other device (2-1 1209:0001)")
    devices = {d.busid: d for d in ip.devlist(s.port)}
    assert sorted(devices) == ["1-1", "1-2", "2-1"]
    a, other = devices["1-1"], devices["2-1"]
    assert (a.vid, a.pid, a.speed, a.busnum, a.num_configurations) == (0x34B7, 0x6877, 3, 1, 1)
    assert a.path.endswith("/1-1/" + SERIAL_0)
    assert a.interfaces == [(0xFF, 0, 0)] * 3
    assert (other.vid, other.pid, other.cls, other.busnum, other.interfaces) == (0x1209, 0x0001, 0, 2, [(0xFF, 0, 0)])
    # It listens on the loopback address only.
    listening = [line.split() for line in Path("/proc/net/tcp").read_text().splitlines()[1:]]
    assert [f[1] for f in listening if f[1].endswith(f":{s.port:04X}") and f[3] == "0A"] == [f"0100007F:{s.port:04X}"]


def test_import_of_each_device_once(start):
    s = start("--adapters", "2", "--other", "1")
    held = [ip.Imported(s.port, b) for b in ("1-1", "1-2", "2-1")]
    assert [(d.device.busid, d.device.busnum) for d in held] == [("1-1", 1), ("1-2", 1), ("2-1", 2)]
    for busid in ("1-1", "2-1", "1-3", "", "1-1\x01"):  # imported already, or no such device
        with pytest.raises(ip.ImportRefused):
            ip.Imported(s.port, busid)
    assert s.command("list") == (f"ok 1-1 {SERIAL_0} imported, 1-2 {SERIAL_0[:-2]}BC imported, "
                                 "2-1 1209:0001 imported")
    for d in held:
        d.close()


@pytest.mark.parametrize("env, args, banner", [
    ({"FDHOST_VADAPTER": "adapters=3"}, [], "3 adapters"),
    ({"FDHOST_VADAPTER": "adapters=3"}, ["--adapters", "1"], "1 adapter ("),
    ({}, ["--other", "2", "--config", "other_ids=abcd:0002"], "2 other devices (2-1 abcd:0002, 2-2 1209:0001)"),
    ({"FDHOST_VADAPTER": "serials=X1"}, ["--config", "a0.serial=X2"], "1 adapter (1-1 X2)"),
])
def test_configuration_is_the_environment_then_the_options(start, env, args, banner):
    s = start(*args, env={**os.environ, **env})
    assert banner in s.banner


@pytest.mark.parametrize("args, status, text", [
    (["--help"], 0, "usage: fdhost-usbip"),
    (["--adapters", "65"], 2, "bad configuration"),
    (["--config", "bogus=1"], 2, "unknown configuration key"),
    (["--bus", "a;b"], 2, "no ';'"),
    (["--port", "70000"], 2, "bad port"),
    (["extra"], 2, "unexpected argument"),
])
def test_command_line(args, status, text):
    r = subprocess.run([str(PROGRAM), *args], capture_output=True, text=True, timeout=10)
    assert r.returncode == status
    assert text in (r.stdout if status == 0 else r.stderr)


# ---------------------------------------------------------------- endpoint 0 as the stand-in answers it

REQUESTS = [
    ("device", 0x80, 6, 0x0100, 0, 64),
    ("configuration", 0x80, 6, 0x0200, 0, 255),
    ("configuration head", 0x80, 6, 0x0200, 0, 9),
    ("languages", 0x80, 6, 0x0300, 0, 255),
    ("manufacturer", 0x80, 6, 0x0301, 0x409, 255),
    ("product", 0x80, 6, 0x0302, 0x409, 255),
    ("serial", 0x80, 6, 0x0303, 0x409, 255),
    ("qualifier", 0x80, 6, 0x0600, 0, 10),
    ("other speed", 0x80, 6, 0x0700, 0, 255),
    ("bos", 0x80, 6, 0x0F00, 0, 5),
    ("device status", 0x80, 0, 0, 0, 2),
    ("endpoint status", 0x82, 0, 0, 0x81, 2),
    ("configuration value", 0x80, 8, 0, 0, 1),
    ("vendor request", 0xC0, 1, 0, 0, 8),
]


@pytest.mark.parametrize("busid, location", [("1-1", (1, 2)), ("2-1", (2, 1))])
def test_endpoint_0_answers_as_the_standin_answers_pyusb(start, standin, busid, location):
    vad, usb = standin
    vad.configure("adapters=2;other=1;other_ids=1209:0001")
    handle = usb.open(*location)
    s = start("--adapters", "2", "--other", "1")
    with ip.Imported(s.port, busid) as dev:
        for name, *request in REQUESTS:
            assert control(dev, *request) == standin_control(usb, handle, *request), name
        # Requests that change state, with the setup packet the kernel sends.
        assert dev.control(0x00, 9, 1, 0, 0).status == 0                      # SET_CONFIGURATION
        assert dev.control(0x01, 11, 0, 0, 0).status == 0                     # SET_INTERFACE
        assert dev.control(0x01, 11, 1, 0, 0).status == -errno.EPIPE          # no alternate setting 1
    usb.close(handle)


def test_control_urb_whose_direction_contradicts_its_setup_stalls(start):
    s = start()
    with ip.Imported(s.port, "1-1") as dev:
        dev.send(ip.submit_bytes(1, 0, ip.DIR_OUT, 0, setup=struct.pack("<BBHHH", 0x80, 6, 0x0100, 0, 18)))
        r = dev.reply()
        assert (r.command, r.seqnum, r.status, r.data) == (ip.RET_SUBMIT, 1, -errno.EPIPE, b"")


# ---------------------------------------------------------------- bulk traffic

def test_command_and_acknowledgement(start):
    s = start("--config", "hello=CAFE")
    with ip.Imported(s.port, "1-1") as dev:
        w = dev.transfer(0x02, command_frame(CMD_ACK_HELLO))
        assert (w.status, w.actual_length) == (0, 7)
        assert dev.transfer(0x82, 2048).data == ack_frame(CMD_ACK_HELLO, 0, b"\xCA\xFE")
        assert s.command("counters 1-1").startswith("ok transfers=2 commands=1 ")
    assert s.available("1-1")
    assert s.command("counters 1-1").startswith("ok transfers=0 ")  # a fresh model for the next import


def both_front_doors(start, standin, bus):
    """An adapter of this process capturing on `bus` (its handle) and a server with one on it too."""
    vad, usb = standin
    vad.configure("adapters=0")
    vad.plug(bus, "capture=1")
    ((location),) = usb.device_locations()
    return usb.open(*location), start("--bus", bus)


def test_both_front_doors_on_one_shared_bus(start, standin, bus):
    vad, usb = standin
    handle, s = both_front_doors(start, standin, bus)
    with ip.Imported(s.port, "1-1") as dev:
        start_capture(dev)
        # USB/IP -> this process
        assert dev.transfer(0x03, tx_record(0x123, b"\x01\x02\x03", fd=True)).status == 0
        rc, data = usb.bulk(handle, 0x81, 51200, timeout=2000)
        assert rc == 0 and [(r.id, r.dir, r.data[:3]) for r in parse_container(data)] == [(0x123, 0, b"\x01\x02\x03")]
        # this process -> USB/IP, its echo first
        pending = dev.submit(0x81, 51200)
        assert usb.bulk(handle, 0x03, tx_record(0x456, b"\xAA", fd=False), timeout=500) == (0, 88)
        got = []
        while (0x456, 0, b"\xAA") not in got:
            r = dev.reply()
            assert r.seqnum == pending
            got += frames(r)
            pending = dev.submit(0x81, 51200)
        assert got == [(0x123, 1, b"\x01\x02\x03"), (0x456, 0, b"\xAA")]
    usb.close(handle)


def test_eight_reads_in_flight_complete_in_submission_order(start):
    s = start()
    with ip.Imported(s.port, "1-1") as dev:
        start_capture(dev)
        reads = [dev.submit(0x81, 51200) for _ in range(8)]
        assert s.command("gen 1-1 4000,dlc=1,count=200") == "ok"
        replies = [dev.reply() for _ in reads]
        assert [r.seqnum for r in replies] == reads
        seqs = [rec.seq for r in replies for rec in parse_container(r.data)]
        assert seqs == list(range(len(seqs))) and len(seqs) >= 8


def test_halted_endpoint_stays_halted_until_clear_feature(start):
    s = start()
    with ip.Imported(s.port, "1-1") as dev:
        assert s.command("fault 1-1 halt,ep=0x82") == "ok"
        dev.transfer(0x02, command_frame(CMD_ACK_HELLO))
        assert [dev.transfer(0x82, 2048).status for _ in range(2)] == [-errno.EPIPE] * 2
        assert dev.control(0x82, 0, 0, 0x82, 2).data == b"\x01\x00"  # GET_STATUS: halted
        assert dev.control(0x02, 1, 0, 0x82, 0).status == 0             # CLEAR_FEATURE(ENDPOINT_HALT)
        assert dev.transfer(0x82, 2048).status == 0


# ---------------------------------------------------------------- unlinking

@pytest.mark.parametrize("case", ["pending", "answered", "racing", "unknown"])
def test_unlink(start, case):
    s = start()
    with ip.Imported(s.port, "1-1") as dev:
        if case == "pending":  # an idle read waits for ever
            victim = dev.submit(0x81, 51200)
            u = dev.unlink(victim)
            r = dev.reply()
            assert (r.command, r.seqnum, r.status) == (ip.RET_UNLINK, u, -errno.ECONNRESET)
        elif case == "answered":
            victim = dev.submit(0, 18, setup=struct.pack("<BBHHH", 0x80, 6, 0x0100, 0, 18))
            assert dev.reply().seqnum == victim
            u = dev.unlink(victim)
            r = dev.reply()
            assert (r.command, r.seqnum, r.status) == (ip.RET_UNLINK, u, 0)
        elif case == "racing":  # it may finish before the unlink reaches it: then its RET_SUBMIT comes first
            victim = dev.submit(0, 18, setup=struct.pack("<BBHHH", 0x80, 6, 0x0100, 0, 18))
            u = dev.unlink(victim)
            r = dev.reply()
            if r.command == ip.RET_SUBMIT:
                assert r.seqnum == victim and r.status == 0
                r = dev.reply()
                assert (r.command, r.seqnum, r.status) == (ip.RET_UNLINK, u, 0)
            else:
                assert (r.command, r.seqnum, r.status) == (ip.RET_UNLINK, u, -errno.ECONNRESET)
        else:
            u = dev.unlink(999)
            r = dev.reply()
            assert (r.command, r.seqnum, r.status) == (ip.RET_UNLINK, u, 0)
        # Nothing else comes for the victim: the next reply is the next URB's.
        w = dev.transfer(0x02, command_frame(CMD_ACK_HELLO))
        assert w.status == 0


def test_time_out_fault_holds_the_urb_until_the_host_unlinks_it(start):
    s = start()
    with ip.Imported(s.port, "1-1") as dev:
        assert s.command("fault 1-1 timeout,ep=0x82") == "ok"
        dev.transfer(0x02, command_frame(CMD_ACK_HELLO))
        held = dev.submit(0x82, 2048)
        with pytest.raises(socket.timeout):
            dev.reply(timeout=0.3)
        u = dev.unlink(held)
        r = dev.reply()
        assert (r.command, r.seqnum, r.status) == (ip.RET_UNLINK, u, -errno.ECONNRESET)
        assert dev.transfer(0x82, 2048).data[:3] == b"\xA5\x06\x00"  # the ack is still there


# ---------------------------------------------------------------- disconnects and a fresh device

@pytest.mark.parametrize("how", ["drop", "unplug", "SIGUSR1", "host detach", "unplug fault"])
def test_disconnect_then_import_again_finds_a_fresh_device_with_the_same_serial(start, standin, bus, how):
    vad, usb = standin
    handle, s = both_front_doors(start, standin, bus)
    dev = ip.Imported(s.port, "1-1")
    start_capture(dev)
    pending = dev.submit(0x81, 51200)
    if how == "drop":
        assert s.command("drop 1-1") == "ok"
    elif how == "unplug":
        assert s.command("unplug 1-1") == "ok"
    elif how == "SIGUSR1":
        s.p.send_signal(signal.SIGUSR1)
    elif how == "host detach":
        dev.close()
    else:
        assert s.command("fault 1-1 unplug,after=1") == "ok"
        dev.transfer(0x02, command_frame(CMD_ACK_HELLO))  # the last transfer before the unplug
    if how in ("unplug", "unplug fault"):  # the model's unplug: the pending read fails with no-device
        r = dev.reply()
        assert (r.command, r.seqnum, r.status) == (ip.RET_SUBMIT, pending, -errno.ENODEV)
    if how != "host detach":
        assert dev.closed_by_server()
        dev.close()
    assert s.available("1-1")

    with ip.Imported(s.port, "1-1") as again:
        serial = again.control(0x80, 6, 0x0303, 0x409, 255).data[2:].decode("utf-16-le")
        assert serial == SERIAL_0
        assert s.command("counters 1-1").startswith("ok transfers=0 ")
        # Still on the same CAN bus.
        assert again.transfer(0x03, tx_record(0x321, b"\x05", fd=False)).status == 0
        rc, data = usb.bulk(handle, 0x81, 51200, timeout=2000)
        assert rc == 0 and [(r.id, r.data) for r in parse_container(data)] == [(0x321, b"\x05")]
    usb.close(handle)


def test_commands_answer_errors_on_one_line(start):
    s = start("--other", "1")
    for line, answer in [
        ("drop 1-1", "error 1-1 is not imported"),
        ("gen 2-1 saturate", "error 2-1 is no adapter"),
        ("gen 1-9 saturate", "error no device 1-9"),
        ("fault 1-1 nonsense", "error "),
        ("set 1-1", "error set needs 1-1 and a value"),
        ("frobnicate", "error unknown command: frobnicate"),
        ("set 1-1 loopback=1", "ok"),
        ("clear 1-1", "ok"),
    ]:
        assert s.command(line).startswith(answer), line
    counters = dict(kv.split("=") for kv in s.command("counters 1-1").split()[1:])
    assert counters["loopback"] == "1"
    s.p.stdin.close()  # end of input: the server keeps serving
    assert [d.busid for d in ip.devlist(s.port)] == ["1-1", "2-1"]


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_signal_ends_the_server_cleanly_with_a_device_imported(start, sig):
    s = start()
    dev = ip.Imported(s.port, "1-1")
    dev.submit(0x81, 51200)
    assert s.stop(sig) == 0
    assert dev.closed_by_server()
    dev.close()


# ---------------------------------------------------------------- hostile peers

def closed(sock, timeout=5.0):
    """True once the server has ended the connection."""
    sock.settimeout(timeout)
    try:
        while sock.recv(65536):
            pass
    except ConnectionResetError:
        pass
    return True


def op(code, version=0x0111):
    return struct.pack(">HHI", version, code, 0)


IMPORT_1_1 = op(0x8003) + b"1-1".ljust(32, b"\0")
HOSTILE = [
    ("garbage", b"\xde\xad\xbe\xef" * 8, False),
    ("old version", op(0x8005, version=0x0106), False),
    ("unknown request", op(0x8007), False),
    ("gone mid-header", op(0x8003)[:5], False),
    ("gone mid-busid", IMPORT_1_1[:20], False),
    ("unknown command", struct.pack(">5I", 0x99, 1, 0, 0, 0) + bytes(28), True),
    ("absurd length", ip.submit_bytes(1, 1, ip.DIR_IN, 0x7FFFFFFF), True),
    ("absurd ISO count", ip.submit_bytes(1, 1, ip.DIR_IN, 64, number_of_packets=100000), True),
    ("direction 5", ip.submit_bytes(1, 1, 5, 64), True),
    ("endpoint 16", ip.submit_bytes(1, 16, ip.DIR_IN, 64), True),
    ("seqnum twice in flight", ip.submit_bytes(1, 1, ip.DIR_IN, 64) * 2, True),
    ("gone mid-URB header", ip.submit_bytes(1, 2, ip.DIR_OUT, 7)[:30], True),
    ("gone mid-OUT data", ip.submit_bytes(1, 2, ip.DIR_OUT, 1000, data=bytes(500)), True),
]


@pytest.mark.parametrize("name, data, imported", HOSTILE, ids=[h[0] for h in HOSTILE])
def test_hostile_peer_loses_its_connection_and_nothing_else(start, name, data, imported):
    s = start("--adapters", "2")
    bystander = ip.Imported(s.port, "1-2")
    sock = ip.connect(s.port)
    if imported:
        sock.sendall(IMPORT_1_1)
        assert ip.recv_exact(sock, 8)[4:] == bytes(4)
        ip.recv_exact(sock, 312)
    sock.sendall(data)
    if not name.startswith("gone"):
        assert closed(sock), "the server ends the connection"
    sock.close()
    # The server goes on: the other imported device works, a new list comes, 1-1 is free again.
    assert bystander.transfer(0x02, command_frame(CMD_ACK_HELLO)).status == 0
    assert [d.busid for d in ip.devlist(s.port)] == ["1-1", "1-2"]
    assert s.available("1-1")
    ip.Imported(s.port, "1-1").close()
    bystander.close()


def rss_kb(pid):
    return int(re.search(r"VmRSS:\s+(\d+)", Path(f"/proc/{pid}/status").read_text())[1])


def test_peer_that_never_reads_stalls_nobody(start):
    # A sanitised build keeps freed memory in a quarantine; a small one keeps growth meaningful.
    env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=8"}
    s = start("--adapters", "2", env=env)
    before_kb = rss_kb(s.p.pid)
    stuck = ip.connect(s.port)
    stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stuck.sendall(IMPORT_1_1)
    # String requests without ever reading a reply, until the server stops taking them.
    product = struct.pack("<BBHHH", 0x80, 6, 0x0302, 0x409, 255)
    stuck.setblocking(False)
    seq, pending, quiet_since, end = 0, b"", time.monotonic(), time.monotonic() + 10
    while time.monotonic() - quiet_since < 0.5 and time.monotonic() < end:
        if not pending:
            pending = b"".join(ip.submit_bytes(seq + n, 0, ip.DIR_IN, 255, setup=product) for n in range(1, 1001))
            seq += 1000
        try:
            pending = pending[stuck.send(pending):]
            quiet_since = time.monotonic()
        except BlockingIOError:
            time.sleep(0.01)
    assert time.monotonic() < end, "the server never stopped reading"
    with ip.Imported(s.port, "1-2") as other:
        assert other.transfer(0x02, command_frame(CMD_ACK_HELLO)).status == 0
    grown_kb = rss_kb(s.p.pid) - before_kb
    assert grown_kb < 48_000, f"replies nobody takes are bounded (grew {grown_kb} kB)"
    stuck.close()
    assert s.available("1-1")


def test_urbs_beyond_the_limit_wait_in_the_socket_until_earlier_ones_end(start):
    s = start()
    with ip.Imported(s.port, "1-1") as dev:
        start_capture(dev)
        reads = [dev.submit(0x81, 64) for _ in range(1100)]  # 1024 in flight at most, the rest held back
        assert [d.busid for d in ip.devlist(s.port)] == ["1-1"]
        assert s.command("gen 1-1 saturate,dlc=0,count=30000") == "ok"
        assert [dev.reply().seqnum for _ in reads] == reads
