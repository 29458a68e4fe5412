"""A rig for running fdhost objects over the virtual adapter: a fresh virtual world per test,
construction without the constructor's long pauses, everything printed (from any thread) collected,
and helpers for counting the generator's sequence numbers.

Import the fixtures into a test module with ``from host_rig import rig, vad``.
"""
import threading
import time

import pytest

from vadapter import VadError, VirtualAdapter, head_seq, library_path, use_with_pyusb

LIB = library_path()
if not LIB.exists():
    pytest.skip(f"virtual adapter not built: {LIB}", allow_module_level=True)
use_with_pyusb()  # before anything else makes pyusb load a libusb

import usb.core  # noqa: E402
import usb.util  # noqa: E402

import src.fdhost as fd  # noqa: E402

VID, PID = 0x34B7, 0x6877
SERIAL = "14AA044B241402B10DDBDAFE448040BB"   # adapter 0 of the default configuration
SERIAL_1 = "14AA044B241402B10DDBDAFE448040BC"  # adapter 1
CLEANED_UP = ["Released USB device resources", "**********USB Cleaned up**********", ""]


class FastSleep:
    """Stands in for the module's ``time``: every pause is cut to at most 10 ms, so the heartbeat
    worker keeps its own 10 ms period while the constructor's 1.2 s of pauses shrink to 30 ms."""

    def __getattr__(self, name):
        return getattr(time, name)

    @staticmethod
    def sleep(seconds):
        time.sleep(min(seconds, 0.01))


def wait_until(condition, seconds=2.0, step=0.002):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(step)
    return True


def seq_of(value):
    """The generator's sequence number (its low bits) from a delivered can_value_type."""
    return head_seq(value.head.reserve)


def missing_runs(seqs, first, last):
    """Runs (start, length) of sequence numbers from first to last that are not in seqs."""
    runs, expected = [], first
    for s in list(seqs) + [last + 1]:
        if s > expected:
            runs.append((expected, s - expected))
        expected = max(expected, s + 1)
    return runs


class Output:
    """Everything printed so far, standard output and standard error separately."""

    def __init__(self, capsys):
        self.capsys = capsys
        self.out = self.err = ""

    def take(self):
        got = self.capsys.readouterr()
        self.out += got.out
        self.err += got.err
        return self

    def lines(self):
        return self.take().out.split("\n")[:-1]

    def raw_lines(self):
        """Split at every newline, so output ending in one ends in an empty string."""
        return self.take().out.split("\n")

    def reset(self):
        self.take()
        self.out = self.err = ""

    def count(self, text):
        return sum(1 for line in self.lines() if text in line)

    def wait_for(self, *texts, seconds=2.0):
        assert wait_until(lambda: all(t in self.take().out for t in texts), seconds), (texts, self.out)


class Sequencer:
    """A frame callback that records the sequence numbers of generated frames (other frames apart)."""

    def __init__(self, can_id=None):
        self.can_id = can_id
        self.seqs = []
        self.others = []
        self.threads = set()

    def __call__(self, value):
        self.threads.add(threading.get_ident())
        if self.can_id is not None and value.head.id != self.can_id:
            self.others.append(value.head.id)
        else:
            self.seqs.append(seq_of(value))

    def wait_for_seq(self, seq, seconds=3.0):
        return wait_until(lambda: self.seqs and self.seqs[-1] >= seq, seconds)


class Rig:
    def __init__(self, vad, monkeypatch, capsys, properties=None):
        self.vad, self.monkeypatch, self.capsys = vad, monkeypatch, capsys
        self.properties = properties  # the test's user_properties: pytest's reports and junit XML carry them
        self.output = Output(capsys)
        self.hosts = []
        monkeypatch.setattr(fd, "time", FastSleep())

    def configure(self, config=""):
        self.vad.configure(config)

    def construct(self, nom=1000000, dat=5000000, sn=SERIAL):
        h = fd.fdhost(nom, dat, sn)
        self.hosts.append(h)
        started = self.output.out.count("USB receiving thread started") + 1
        assert wait_until(lambda: self.output.take().out.count("USB receiving thread started") >= started), \
            self.output.out
        return h

    def streaming(self, config, frames):
        """An object receiving what `config` generates, once more than `frames` frames have reached
        its callback (a Sequencer, returned too); what was printed so far is dropped."""
        self.configure(config)
        h = self.construct()
        got = Sequencer()
        h.setFrameCallback(got)
        assert wait_until(lambda: len(got.seqs) > frames)
        self.output.reset()
        return h, got

    @staticmethod
    def workers_end(h, seconds=2.0):
        for t in (h.rec_thread, h.rec_thread2):
            t.join(seconds)
            assert not t.is_alive()

    def close(self, h, bound=1.0, report=None):
        """Closes h and checks that close() returned within `bound` seconds; returns the time it took.
        With `report`, the time goes into the test's report under that name."""
        start = time.monotonic()
        h.close()
        took = time.monotonic() - start
        if report and self.properties is not None:
            self.properties.append((f"{report}: close() ms", round(took * 1000, 1)))
        assert took < bound, f"close() took {took:.3f} s"
        assert not any(t is not None and t.is_alive() for t in (h.rec_thread, h.rec_thread2))
        return took

    def finish(self):
        for h in self.hosts:
            if any(t is not None and t.is_alive() for t in (h.rec_thread, h.rec_thread2)):
                h.close()


def reset_slot_lists():
    for name in ("kq_device", "kq_string", "kq_sn"):
        setattr(fd, name, [None] * fd.KQ_DEV_MAX)


def claim_from_outside(serial):
    """Claims the adapter through a handle of our own: raises USBError (busy) while fdhost still holds it."""
    dev = usb.core.find(idVendor=VID, idProduct=PID, custom_match=lambda d: (d.serial_number or "") == serial)
    assert dev is not None, serial
    try:
        for n in range(3):
            usb.util.claim_interface(dev, n)
    finally:
        usb.util.dispose_resources(dev)


@pytest.fixture(scope="module")
def vad():
    try:
        return VirtualAdapter()
    except (OSError, VadError) as e:
        pytest.skip(f"virtual adapter unusable: {e}")


@pytest.fixture
def rig(vad, monkeypatch, capsys, request):
    reset_slot_lists()
    vad.configure("")
    r = Rig(vad, monkeypatch, capsys, request.node.user_properties)
    yield r
    r.finish()
    vad.configure("")
    reset_slot_lists()
