"""FdhostBus end to end on virtual buses: the extension's fdhost object on virtual adapters plugged
onto a virtual CAN bus, two or three Buses back to back, as python-can programs use them."""
import asyncio
import json
import logging
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import uuid

import can
import pytest

import load_fdhost
from fdhost_can import bus as bus_module
from fdhost_can import virtual

pytestmark = pytest.mark.usefixtures("fdhost_backend")


FRAMES = [
    dict(arbitration_id=0x123, is_extended_id=False, data=b"\x11\x22\x33"),
    dict(arbitration_id=0x1ABCDEF0, is_extended_id=True, data=bytes(range(8))),
    dict(arbitration_id=0x7FF, is_extended_id=False, is_remote_frame=True, dlc=4),
    dict(arbitration_id=0x1FFFFFFF, is_extended_id=True, is_remote_frame=True, dlc=0),
    dict(arbitration_id=0x10, is_extended_id=False, is_fd=True, data=bytes(range(64))),
    dict(arbitration_id=0x11, is_extended_id=True, is_fd=True, bitrate_switch=True, data=bytes(range(48))),
    dict(arbitration_id=0x12, is_extended_id=False, is_fd=True, bitrate_switch=True, data=b""),
]


@pytest.mark.parametrize("frame", FRAMES, ids=lambda f: f"{f['arbitration_id']:#x}")
def test_frames_arrive_as_sent_in_both_directions(buses, channel, frame):
    a, b = buses(), buses()
    for tx, rx in ((a, b), (b, a)):
        sent = can.Message(channel=channel, **frame)
        before = time.time()
        tx.send(sent, timeout=1)
        got = rx.recv(1)
        assert got is not None and got.equals(sent, timestamp_delta=None), (got, sent)
        assert got.is_rx and got.error_state_indicator is False and type(got.data) is bytearray
        # Epoch seconds of reception, with sub-second resolution.
        assert before - 0.01 <= got.timestamp <= time.time() + 0.01 and got.timestamp % 1 != 0
        assert rx.recv(0.05) is None  # exactly one frame: no echo, heartbeat or status surfaces


def test_fd_payloads_are_padded_to_the_next_fd_length(buses):
    a, b = buses(), buses()
    a.send(can.Message(arbitration_id=0x5, is_extended_id=False, is_fd=True, data=b"\x01" * 9))
    got = b.recv(1)
    assert (got.dlc, bytes(got.data)) == (12, b"\x01" * 9 + b"\0" * 3)


def test_esi_and_brs_of_received_frames_come_from_the_virtual_adapter(buses, vad, channel):
    b = buses()
    gen = vad.plug(channel.partition(":")[2])
    try:
        vad.bus_frame(0x21, b"\x01", fd=True, brs=False, esi=True, adapter=gen)
        vad.bus_frame(0x22, b"\x02", fd=True, brs=True, adapter=gen)
        got = [b.recv(1) for _ in range(2)]
    finally:
        vad.unplug(adapter=gen)
    assert [(m.arbitration_id, m.bitrate_switch, m.error_state_indicator) for m in got] == [
        (0x21, False, True), (0x22, True, False)]


def test_a_bus_receives_what_the_bus_carries_once_its_adapter_is_plugged(buses, vad, channel, monkeypatch):
    """`fdhost-can list` shows a Bus on its virtual bus from the moment its adapter is plugged: a
    frame sent then, while the Bus is still opening, reaches it."""
    gen = vad.plug(channel.partition(":")[2])
    plug = bus_module.FdhostBus._plug

    def plug_then_send(self, parsed):
        serial = plug(self, parsed)
        vad.bus_frame(0x31, b"\x01", adapter=gen)
        return serial
    monkeypatch.setattr(bus_module.FdhostBus, "_plug", plug_then_send)
    try:
        got = buses().recv(1)
    finally:
        vad.unplug(adapter=gen)
    assert got is not None and got.arbitration_id == 0x31


def test_receive_own_messages(buses, channel):
    a, own = buses(), buses(receive_own_messages=True)
    msg = can.Message(arbitration_id=0x42, is_extended_id=False, data=b"\x42", channel=channel)
    own.send(msg)
    echo = own.recv(1)
    assert echo.equals(can.Message(**dict(vars_of(msg), is_rx=False)), timestamp_delta=None)
    assert a.recv(1).is_rx and own.recv(0.05) is None
    a.send(msg)
    assert a.recv(0.05) is None  # not asked for: dropped natively


def vars_of(msg):
    return {k: getattr(msg, k) for k in ("arbitration_id", "is_extended_id", "is_remote_frame", "is_fd", "dlc",
                                         "data", "channel")}


def test_filters_are_applied_natively(buses, monkeypatch):
    a = buses()
    b = buses(can_filters=[{"can_id": 0x100, "can_mask": 0x7F0, "extended": False},
                           {"can_id": 0x123 | 0x20000000, "can_mask": 0xFF, "extended": True}])  # inverted
    matched = []
    monkeypatch.setattr(b, "_matches_filters", lambda m: matched.append(m) or True)
    for can_id, ext in [(0x105, False), (0x115, False), (0x105, True), (0x1123, True), (0x1124, True)]:
        a.send(can.Message(arbitration_id=can_id, is_extended_id=ext))
    got = [(m.arbitration_id, m.is_extended_id) for m in iter(lambda: b.recv(0.2), None)]
    assert got == [(0x105, False), (0x105, True), (0x1124, True)]  # the inverted rule: low byte not 0x23
    assert matched == []  # python-can's software filter never had to look
    b.set_filters([{"can_id": 0x115, "can_mask": 0x7FF}])
    a.send(can.Message(arbitration_id=0x105, is_extended_id=False))
    a.send(can.Message(arbitration_id=0x115, is_extended_id=False))
    assert b.recv(1).arbitration_id == 0x115 and b.recv(0.05) is None


def test_notifier_on_an_asyncio_loop_needs_no_thread(buses):
    a, b = buses(), buses()

    async def main():
        reader = can.AsyncBufferedReader()
        notifier = can.Notifier(b, [reader], loop=asyncio.get_running_loop())
        try:
            assert all(not isinstance(r, threading.Thread) for r in notifier._readers)
            for i in range(3):
                a.send(can.Message(arbitration_id=0x300 + i, is_extended_id=False))
            return [(await asyncio.wait_for(reader.get_message(), 1)).arbitration_id for _ in range(3)]
        finally:
            notifier.stop()

    assert asyncio.run(main()) == [0x300, 0x301, 0x302]
    assert b.recv(0) is None


def test_fileno_is_readable_exactly_while_frames_wait(buses):
    import select

    a, b = buses(), buses()
    fd = b.fileno()
    assert fd >= 0 and select.select([fd], [], [], 0)[0] == []
    a.send(can.Message(arbitration_id=1))
    assert select.select([fd], [], [], 1)[0] == [fd]
    b.recv(0)
    assert select.select([fd], [], [], 0)[0] == []


@pytest.mark.parametrize("first", ["recv", "send"])
def test_after_an_unplug_recv_and_send_raise(buses, vad, first):
    a, b = buses(), buses()
    vad.unplug(adapter=b.virtual_adapter)
    calls = {"recv": lambda: b.recv(2), "send": lambda: b.send(can.Message(arbitration_id=1), timeout=1)}
    with pytest.raises(can.CanOperationError, match="unplugged|not open|No such device"):
        calls[first]()
    for call in calls.values():  # closed from then on
        with pytest.raises(can.CanOperationError):
            call()
    a.send(can.Message(arbitration_id=2))  # the other Bus carries on


def test_frames_received_before_an_unplug_are_still_delivered(buses, vad):
    a, b = buses(), buses()
    a.send(can.Message(arbitration_id=7))
    time.sleep(0.05)
    vad.unplug(adapter=b.virtual_adapter)
    assert b.recv(1).arbitration_id == 7
    with pytest.raises(can.CanOperationError):
        b.recv(1)


def test_shutdown_wakes_a_blocked_recv_and_is_idempotent(buses, vad):
    b = buses()
    index = b.virtual_adapter
    outcome = []

    def wait():
        try:
            outcome.append(b.recv(None))
        except can.CanError as e:
            outcome.append(e)

    t = threading.Thread(target=wait)
    t.start()
    time.sleep(0.1)
    b.shutdown()
    t.join(2)
    assert not t.is_alive() and isinstance(outcome[0], can.CanOperationError)
    b.shutdown()
    assert b.fileno() == -1 and vad.counter("unplugged", index) == 1
    with pytest.raises(can.CanOperationError, match="shut down"):
        b.send(can.Message())


def test_a_program_that_never_shuts_its_bus_down_still_exits():
    r = run_child("""
        bus = can.Bus(interface="fdhost", channel="virtual:left-open")
        print("opened")
    """)
    assert (r.returncode, r.stdout) == (0, "opened\n"), r.stderr


def test_a_bus_left_to_the_garbage_collector_releases_its_adapter(channel, vad, caplog):
    b = can.Bus(interface="fdhost", channel=channel)
    index = b.virtual_adapter
    del b
    import gc

    gc.collect()
    assert vad.counter("unplugged", index) == 1


def test_detection_lists_virtual_buses_and_free_adapters_and_changes_nothing(buses, vad, channel, monkeypatch):
    """With FDHOST_LIBUSB naming the virtual adapter library (a rig without hardware), its adapters
    are the ones found by serial: a Bus's own is in use and not listed, a spare one is."""
    monkeypatch.setenv("FDHOST_LIBUSB", str(virtual.library_path()))
    a, b = buses(), buses()
    spare = vad.plug("")
    try:
        count = vad.adapter_count()
        configs = can.detect_available_configs("fdhost")
        assert vad.adapter_count() == count
        assert {"interface": "fdhost", "channel": channel, "bitrate": 1_000_000, "fd": True,
                "data_bitrate": 5_000_000} in configs
        assert {"interface": "fdhost", "channel": vad.serial(spare)} in configs
        assert not {vad.serial(a.virtual_adapter), vad.serial(b.virtual_adapter)} & {c["channel"] for c in configs}
        a.send(can.Message(arbitration_id=9))
        assert b.recv(1).arbitration_id == 9
        with can.Bus(interface="fdhost", **{k: v for k, v in configs[0].items() if k != "interface"}) as c:
            assert c.virtual_adapter is not None
    finally:
        vad.unplug(adapter=spare)


def test_detection_lists_another_process_s_buses_and_makes_no_adapter(buses, channel):
    buses()
    r = run_child(f"""
        from fdhost_can import virtual
        print({{"interface": "fdhost", "channel": "{channel}"}} in can.detect_available_configs("fdhost"))
        print(virtual.controller().adapter_count())
    """, namespace=os.environ["FDHOST_VADAPTER_NAMESPACE"])
    assert r.stdout.splitlines() == ["True", "0"], r.stderr


def test_detection_before_any_bus_leaves_the_process_as_it_was():
    """A program's first call: no adapter appears in the virtual adapter library, and the next
    virtual: Bus opens and carries frames."""
    r = run_child("""
        import os
        from fdhost_can import virtual
        os.environ["FDHOST_LIBUSB"] = str(virtual.library_path())
        print([c["channel"] for c in can.detect_available_configs("fdhost")])
        print(virtual.controller().adapter_count())
        with can.Bus(interface="fdhost", channel="virtual:after") as a, can.Bus(interface="fdhost", channel="virtual:after") as b:
            a.send(can.Message(arbitration_id=5))
            print(hex(b.recv(1).arbitration_id))
            print([c["channel"] for c in can.detect_available_configs("fdhost")])
    """)
    assert r.stdout.splitlines() == ["[]", "0", "0x5", "['virtual:after']"], r.stderr


def test_an_open_bus_writes_nothing_to_stdout_or_stderr(buses, capfd, caplog):
    caplog.set_level(logging.DEBUG, logger="can.fdhost")
    a, b = buses(), buses()
    a.send(can.Message(arbitration_id=1))
    b.recv(1)
    a.shutdown()
    b.shutdown()
    assert capfd.readouterr() == ("", "")
    assert any("CMD_SETUP_BUARD ACK SUCCESS" in r.getMessage() for r in caplog.records)


def test_bit_timing_is_sent_as_given(buses, vad, native_module):
    timing = can.BitTimingFd(f_clock=80_000_000, nom_brp=2, nom_tseg1=31, nom_tseg2=8, nom_sjw=7,
                             data_brp=2, data_tseg1=5, data_tseg2=2, data_sjw=1)
    b = buses(timing=timing, bitrate=None, data_bitrate=None)
    setup = [c for c in vad.commands_seen(b.virtual_adapter) if c[1] == native_module.CMD_TYPE.CMD_SETUP_BUARD][-1]
    assert setup[4:13] == bytes([1, 31, 8, 7, 2, 5, 2, 1, 2])
    assert b.protocol == can.CanProtocol.CAN_FD
    assert (vad.counter("nominal_bitrate", b.virtual_adapter), vad.counter("data_bitrate", b.virtual_adapter)) == (
        1_000_000, 5_000_000)


def test_opening_a_virtual_bus_is_quick(buses):
    t0 = time.monotonic()
    buses()
    assert time.monotonic() - t0 < 0.5


def test_a_full_transmit_queue_raises_after_the_timeout(buses, vad):
    a, b = buses(), buses()  # b acknowledges a's frames
    # A bus that takes one frame in ten seconds, and room for one frame: the second waits.
    vad.set("nominal=10", adapter=b.virtual_adapter)
    vad.set("nominal=10", adapter=a.virtual_adapter)
    vad.set("txbuf=1", adapter=a.virtual_adapter)
    a.send(can.Message(arbitration_id=1), timeout=1)
    t0 = time.monotonic()
    with pytest.raises(can.CanOperationError, match="still full") as raised:
        a.send(can.Message(arbitration_id=3), timeout=0.2)
    assert 0.15 < time.monotonic() - t0 < 1 and isinstance(raised.value.__cause__, TimeoutError)
    # Without a time-out the send waits until the adapter takes the frame.
    done = threading.Event()
    t = threading.Thread(target=lambda: (a.send(can.Message(arbitration_id=4)), done.set()))
    t.start()
    assert not done.wait(0.3)
    vad.set("nominal=1M", adapter=a.virtual_adapter)
    vad.set("nominal=1M", adapter=b.virtual_adapter)
    assert done.wait(15)
    t.join()


def test_a_frame_whose_write_times_out_after_it_moved_counts_as_sent(buses, vad):
    # On a real host controller a write's time-out can cross its completion: libusb then reports the
    # time-out with every byte transferred. The frame went out; send must not fail.
    a, b = buses(), buses()
    vad.fault("late,ep=3", adapter=a.virtual_adapter)
    a.send(can.Message(arbitration_id=0x5A, is_extended_id=False, data=b"\x01"), timeout=1)
    got = b.recv(1)
    assert got is not None and got.arbitration_id == 0x5A and b.recv(0.1) is None
    assert vad.counter("faults_fired", adapter=a.virtual_adapter) == 1


def test_frames_still_queued_when_a_bus_closes_go_out(buses, vad):
    """`fdhost-can send` closes right after its last write: what the adapter holds is still sent,
    while the bus carries it; a bus that carries nothing keeps the closer waiting only briefly."""
    a, b = buses(bitrate=125_000, fd=False), buses(bitrate=125_000, fd=False)
    for i in range(100):  # about 0.1 s of bus time at 125 kbit/s
        a.send(can.Message(arbitration_id=0x100 + i, data=bytes(8)), timeout=1)
    a.shutdown()
    got = []
    while len(got) < 100 and (m := b.recv(1)) is not None:
        got.append(m.arbitration_id)
    assert got == [0x100 + i for i in range(100)]

    stuck = buses()
    vad.set("nominal=10", adapter=stuck.virtual_adapter)  # one frame in ten seconds
    stuck.send(can.Message(arbitration_id=1), timeout=1)
    stuck.send(can.Message(arbitration_id=2), timeout=1)
    t0 = time.monotonic()
    stuck.shutdown()
    assert time.monotonic() - t0 < 1.5


def test_a_full_receive_queue_drops_the_newest_frames_and_logs_once(buses, vad, channel, caplog):
    b = buses(receive_queue_size=100)
    gen = vad.plug(channel.partition(":")[2])
    try:
        vad.generator("saturate,dlc=8,fd=1,count=1000", adapter=gen)
        deadline = time.monotonic() + 10
        while b.dropped_frames < 900 and time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        vad.unplug(adapter=gen)
    got = [m for m in iter(lambda: b.recv(0.1), None)]
    assert [int.from_bytes(m.data[:4], "little") for m in got] == list(range(100))
    assert b.dropped_frames == 900
    assert [r.levelno for r in caplog.records if "receive queue full" in r.getMessage()] == [logging.WARNING]


@pytest.mark.parametrize("size", [0, -1, 1 << 25, 2.5, True])
def test_a_receive_queue_size_out_of_range_is_refused(buses, size):
    with pytest.raises(can.CanInitializationError, match="receive_queue_size"):
        buses(receive_queue_size=size)


def test_virtual_and_hardware_libusb_side_by_side_in_one_process():
    """A process whose pyusb runs on the system libusb still opens virtual channels (the core loads
    the virtual adapter library by path beside it), and looks for hardware serials on the system's."""
    r = run_child("""
        import usb.backend.libusb1 as l
        if l.get_backend() is None:
            print("no system libusb")
            raise SystemExit
        with can.Bus(interface="fdhost", channel="virtual:x") as a, can.Bus(interface="fdhost", channel="virtual:x") as b:
            a.send(can.Message(arbitration_id=5))
            print("received", hex(b.recv(1).arbitration_id))
        try:
            can.Bus(interface="fdhost", channel="ABCDEF0123")
        except can.CanInitializationError as e:
            print("refused:", e)
    """)
    if "no system libusb" in r.stdout:
        pytest.skip("no libusb-1.0 installed besides the virtual adapter")
    assert r.stdout.splitlines()[0] == "received 0x5", r.stderr
    assert "refused: no fdhost adapter with serial ABCDEF0123" in r.stdout, r.stderr


def test_a_hardware_serial_is_looked_for_on_the_hardware_libusb(vad):
    with pytest.raises(can.CanInitializationError, match="no fdhost adapter with serial ABCDEF0123"):
        can.Bus(interface="fdhost", channel="ABCDEF0123")


def run_child(code, preload=True, namespace=None):
    """A Python process running `code` with the interface registered (python-can finds an installed
    package by its entry point; the source checkout is registered by hand) on its own virtual buses.
    With `preload`, the module under test is loaded first (a sanitised build, say); otherwise the
    Bus imports the in-place build itself."""
    prologue = textwrap.dedent(f"""
        import can, can.util, load_fdhost
        {"load_fdhost.load()" if preload else ""}
        can.interfaces.BACKENDS["fdhost"] = ("fdhost_can.bus", "FdhostBus")
        can.util.VALID_INTERFACES = can.util.VALID_INTERFACES | {{"fdhost"}}
    """)
    env = load_fdhost.env_for_child()
    env["FDHOST_VADAPTER_NAMESPACE"] = namespace or f"child-{uuid.uuid4().hex[:12]}"
    return subprocess.run([sys.executable, "-c", prologue + textwrap.dedent(code)], cwd=load_fdhost.ROOT,
                          capture_output=True, text=True, timeout=60, env=env)


def test_failures_reach_no_output_in_a_program_without_logging_configured():
    r = run_child("""
        from fdhost_can import virtual
        bus = can.Bus(interface="fdhost", channel="virtual:quiet")
        virtual.controller().unplug(adapter=bus.virtual_adapter)  # the reader logs an error
        try:
            bus.recv(2)
        except can.CanOperationError:
            pass
        bus.shutdown()
    """)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")


def test_sigint_handling_is_left_as_it_was():
    r = run_child("""
        import os, signal, threading
        # A shell starts a background job with SIGINT ignored, and the interpreter then leaves it so:
        # set up what it does in a foreground program.
        if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        before = signal.getsignal(signal.SIGINT)
        bus = can.Bus(interface="fdhost", channel="virtual:sigint")
        assert signal.getsignal(signal.SIGINT) is before is signal.default_int_handler
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            bus.recv(None)
        except KeyboardInterrupt:
            print("interrupted")
        bus.shutdown()
    """, preload=False)  # the Bus imports the extension
    assert (r.returncode, r.stdout, r.stderr) == (0, "interrupted\n", "")


def test_frames_the_adapter_missed_are_counted_as_dropped_and_logged_once(buses, vad, channel, caplog):
    """The adapter's receive buffer overflowing (as when this process does not look at a shared bus
    for too long) loses frames the bus carried: dropped_frames counts them with the queue's drops."""
    b = buses()
    vad.set("flush_us=500000", adapter=b.virtual_adapter)  # hold frames half a second ...
    vad.set("rxbuf=100", adapter=b.virtual_adapter)        # ... in a buffer of 100
    gen = vad.plug(channel.partition(":")[2])
    try:
        vad.generator("saturate,dlc=8,fd=1,count=2000", adapter=gen)
        got = []
        while len(got) + b.dropped_frames < 2000 and (m := b.recv(2)) is not None:
            got.append(m)
        got += iter(lambda: b.recv(0.1), None)
    finally:
        vad.unplug(adapter=gen)
    assert b.dropped_frames == vad.counter("rx_overflow", b.virtual_adapter) > 0
    frames = [m for m in got if not m.is_error_frame]
    assert len(frames) + b.dropped_frames == 2000
    assert [r.levelno for r in caplog.records if "were missed" in r.getMessage()] == [logging.WARNING]
    # As a SocketCAN controller reports an overflow: CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW.
    assert [(m.arbitration_id, m.data[1]) for m in got if m.is_error_frame] == [(0x4, 0x01)]


@pytest.mark.parametrize("size", [65, 65_536, 10_000_000])
def test_an_oversized_payload_is_refused_with_its_real_length(buses, size):
    with pytest.raises(ValueError, match=f"at most 64 data bytes, not {size}$"):
        buses().send(can.Message(arbitration_id=1, is_fd=True, data=bytes(size)))


def test_a_receiver_stopped_on_a_saturated_shared_bus_counts_every_frame_it_missed(vad, channel):
    """A process stopped for longer than the shared bus keeps frames: what it received and what its
    Bus counts as dropped add up to what the bus carried."""
    frames = 40_000  # about 2 s of the bus; the bus's log keeps about 16,000
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import json, logging, sys, time, can, can.util, load_fdhost
        can.interfaces.BACKENDS["fdhost"] = ("fdhost_can.bus", "FdhostBus")
        can.util.VALID_INTERFACES = can.util.VALID_INTERFACES | {{"fdhost"}}
        logging.basicConfig(level=logging.WARNING, format="%(message)s")
        bus = can.Bus(interface="fdhost", channel="{channel}", bitrate=1_000_000, fd=True, data_bitrate=5_000_000)
        print("ready", flush=True)
        sys.stdin.readline()
        got = sum(1 for m in iter(lambda: bus.recv(1), None) if not m.is_error_frame)
        print(json.dumps([got, bus.dropped_frames]), flush=True)
        bus.shutdown()
    """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env=load_fdhost.env_for_child(), cwd=load_fdhost.ROOT)
    try:
        assert child.stdout.readline() == "ready\n"
        gen = vad.plug(channel.partition(":")[2])
        child.send_signal(signal.SIGSTOP)
        vad.generator(f"saturate,dlc=8,fd=1,count={frames}", adapter=gen)
        deadline = time.monotonic() + 20
        while vad.counter("gen_frames", gen) < frames and time.monotonic() < deadline:
            time.sleep(0.05)
        child.send_signal(signal.SIGCONT)
        out, err = child.communicate("go\n", timeout=60)
        vad.unplug(adapter=gen)
    finally:
        child.kill()
    got, dropped = json.loads(out.splitlines()[-1])
    print(f"\nstopped while the bus carried {frames}: {got} received + {dropped} counted as dropped")
    assert dropped > 0 and got + dropped == frames, err
    assert err.count("were missed") == 1
