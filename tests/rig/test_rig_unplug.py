"""Unplugs on the real chain, of both kinds (`usbip detach` on the host side, the server dropping the
connection on the device side), while the adapter receives and while it sends, through the specified
object and through a Bus: the documented error, no hang, closing within a second, the other adapter
unaffected; attached again, the adapter is found by serial and works."""
import threading
import time

import can
import pytest
from usbip_rig import wait_until

import load_fdhost

fh = load_fdhost.load()
SERIAL_0 = "14AA044B241402B10DDBDAFE448040BB"
SERIAL_1 = "14AA044B241402B10DDBDAFE448040BC"
NO_DEVICE = "[Errno 19] No such device (it may have been disconnected)"
CLOSE_LIMIT_S = 1.0


def unplug(server, kind):
    if kind == "detach":
        server.detach("1-1")
    else:
        assert server.drop("1-1").startswith("ok")


def open_bus(serial):
    return can.Bus(interface="fdhost", channel=serial, fd=True, bitrate=1_000_000, data_bitrate=5_000_000)


class Watcher:
    """A Bus on the other adapter counting the generator's frames in a thread of its own."""

    def __init__(self):
        self.bus = open_bus(SERIAL_1)
        self.count = 0
        self.error = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            while not self.stopping:
                if self.bus.recv(0.5) is not None:
                    self.count += 1
        except can.CanError as e:
            if not self.stopping:
                self.error = e

    stopping = False

    def keeps_going(self):
        seen = self.count
        return wait_until(lambda: self.count > seen + 50, 10)

    def stop(self):
        self.stopping = True
        self.bus.shutdown()
        self.thread.join(10)


@pytest.fixture
def traffic(adapters):
    """The server's third adapter sends 1000 frames/s; a Bus on 1-2 watches them."""
    assert adapters.command("gen 1-3 1000,dlc=8,fd=1").startswith("ok")
    watcher = Watcher()
    yield watcher
    watcher.stop()
    adapters.command("gen 1-3 off")
    assert watcher.error is None


CLOSE_TIMES: dict[str, float] = {}


def closes_quickly(close, what):
    started = time.monotonic()
    close()
    CLOSE_TIMES[what] = time.monotonic() - started
    return CLOSE_TIMES[what]


@pytest.fixture(scope="module", autouse=True)
def close_times(rig_report):
    yield
    if CLOSE_TIMES:
        worst = max(CLOSE_TIMES, key=CLOSE_TIMES.get)
        rig_report.append(f"unplugs: {len(CLOSE_TIMES)} closes after an unplug, the slowest "
                          f"{CLOSE_TIMES[worst] * 1000:.0f} ms ({worst})")


@pytest.mark.parametrize("kind", ["detach", "drop"])
@pytest.mark.parametrize("phase", ["receiving", "sending"])
def test_object_unplugged(adapters, traffic, capsys, kind, phase):
    received = []
    dev = fh.fdhost(1000000, 5000000, SERIAL_0)
    dev.setFrameCallback(lambda v: received.append(v.head.id))
    sending = threading.Event()
    stopped = threading.Event()
    failures = []

    def sender():
        sending.set()
        try:
            while not stopped.is_set():
                dev.fdcanFrameSend(b"\x01" * 8, 0x321)
                time.sleep(0.002)
        except AttributeError as e:  # released by a worker: the documented end of sending
            failures.append(e)

    if phase == "sending":
        threading.Thread(target=sender, daemon=True).start()
        sending.wait()
    assert wait_until(lambda: len(received) > 20, 20)
    capsys.readouterr()
    unplug(adapters, kind)
    assert wait_until(lambda: dev.getDeviceHandle() is None, 5), "the unplug was not noticed"
    stopped.set()
    assert closes_quickly(dev.close, f"object, {kind}, {phase}") < CLOSE_LIMIT_S
    out = capsys.readouterr().out
    assert f"[Error] In get_data_thread,Usb_rec err, err_code=19, failed: [{NO_DEVICE}]" in out \
        or f"[Error] In send thread,Usb_rec err, err_code=19, failed: [{NO_DEVICE}]" in out, out
    assert "**********USB Cleaned up**********" in out
    assert traffic.keeps_going()
    adapters.wait_gone("1-1")
    adapters.attach("1-1")
    again = []
    with fh.fdhost(1000000, 5000000, SERIAL_0) as dev:
        dev.setFrameCallback(lambda v: again.append(v.head.id))
        assert wait_until(lambda: len(again) > 20, 20)


@pytest.mark.parametrize("kind", ["detach", "drop"])
@pytest.mark.parametrize("phase", ["receiving", "sending"])
def test_bus_unplugged(adapters, traffic, kind, phase):
    bus = open_bus(SERIAL_0)
    errors = []
    got = []

    def work():
        try:
            while True:
                if phase == "sending":
                    bus.send(can.Message(arbitration_id=0x321, data=b"\x02" * 8, is_fd=True), timeout=1)
                    time.sleep(0.002)
                elif (msg := bus.recv(1.0)) is not None:
                    got.append(msg)
        except can.CanOperationError as e:
            errors.append(e)

    worker = threading.Thread(target=work, daemon=True)
    worker.start()
    time.sleep(2)
    unplug(adapters, kind)
    worker.join(10)
    assert not worker.is_alive(), "the Bus did not report the unplug"
    assert errors and isinstance(errors[0], can.CanOperationError)
    assert closes_quickly(bus.shutdown, f"Bus, {kind}, {phase}") < CLOSE_LIMIT_S
    with pytest.raises(can.CanOperationError):
        bus.recv(0)
    assert traffic.keeps_going()
    adapters.wait_gone("1-1")
    adapters.attach("1-1")
    with open_bus(SERIAL_0) as again:
        assert again.recv(10) is not None
