"""The fdhost constructor's keyword options (line_sink, settle, setup, receive_queue, receive_own,
virtual_adapter) and the methods an object opened with a receive queue has; and the decoder's
step aside for a subclass's can_pack_dlc_get. Without the options nothing changes (the rest of the
suite checks that)."""
import struct
import time

import pytest

from host_rig import SERIAL, rig, vad, wait_until  # noqa: F401 - fixtures
from vadapter import container

import src.fdhost as fd


class Sink:
    """A line sink that keeps (line, to_stderr) pairs, from whichever thread they come."""

    def __init__(self):
        self.lines = []

    def __call__(self, text, to_stderr):
        self.lines.append((text, to_stderr))

    def texts(self):
        return [t for t, _ in self.lines]


def open_queued(rig, sink=None, **kw):
    h = fd.fdhost(1000000, 5000000, SERIAL, line_sink=sink or Sink(), settle=False, receive_queue=64, **kw)
    rig.hosts.append(h)
    return h


@pytest.mark.parametrize("config, serial, last", [
    ("", "NO-SUCH-SERIAL", "[Error] Failed to open usb device"),
    ("adapters=0", SERIAL, "[Error] RU-ZEDUZ device not found, program terminated"),
])
def test_a_failed_opening_goes_to_the_sink_and_still_exits(rig, config, serial, last):
    rig.configure(config)
    sink = Sink()
    with pytest.raises(SystemExit) as raised:
        fd.fdhost(1000000, 5000000, serial, line_sink=sink)
    assert raised.value.code == -1
    assert sink.lines[-1] == (last, True)  # the line the constructor writes to standard error
    assert all(not err for _, err in sink.lines[:-1]) and any(t.startswith("[Error]") for t in sink.texts()[:-1])
    assert rig.output.take().out == "" and rig.output.err == ""


def test_every_line_of_an_object_goes_to_its_sink_from_every_thread(rig):
    sink = Sink()
    h = open_queued(rig, sink)
    assert wait_until(lambda: "USB receiving thread started" in sink.texts())
    rig.vad.unplug()  # the reader and the heartbeat report the failure on their threads
    assert wait_until(lambda: any("Usb_rec err, err_code=19" in t for t in sink.texts()))
    h.close()
    assert "close  fdhos" in sink.texts() and "Heart thread started" in sink.texts()
    assert rig.output.take().out == "" and rig.output.err == ""
    # Another object without a sink still prints.
    rig.configure("")
    rig.construct()
    assert "USB receiving thread started" in rig.output.take().out


def test_settle_false_skips_the_constructors_pauses(rig, monkeypatch):
    pauses = []

    class Recorder:
        def __getattr__(self, name):
            return getattr(time, name)

        @staticmethod
        def sleep(s):
            pauses.append(s)

    monkeypatch.setattr(fd, "time", Recorder())
    h = open_queued(rig)
    assert [p for p in pauses if p >= 0.1] == []
    h.close()
    pauses.clear()
    rig.hosts.append(fd.fdhost(1000000, 5000000, SERIAL, line_sink=Sink()))
    assert [p for p in pauses if p >= 0.1] == [0.5, 0.2, 0.5]


def test_setup_fields_are_sent_as_given(rig):
    fields = bytes([1, 31, 8, 7, 2, 5, 2, 1, 2])
    h = open_queued(rig, setup=fields)
    sent = [c for c in rig.vad.commands_seen() if c[1] == fd.CMD_TYPE.CMD_SETUP_BUARD]
    assert [c[4:13] for c in sent] == [fields]
    assert (rig.vad.counter("nominal_bitrate"), rig.vad.counter("data_bitrate")) == (1000000, 5000000)
    h.close()


@pytest.mark.parametrize("kw, error", [
    (dict(setup=b"\x01" * 8), ValueError),
    (dict(setup=b"\x01" * 10), ValueError),
    (dict(receive_queue=-1), ValueError),
    (dict(line_sink=42), TypeError),
])
def test_invalid_options_are_refused_before_anything_is_opened(rig, kw, error):
    with pytest.raises(error):
        fd.fdhost(1000000, 5000000, SERIAL, **kw)
    assert rig.vad.counter("commands") == 0


def test_queue_methods_need_a_receive_queue(rig):
    h = rig.construct()
    for call in (lambda: h.recv_message(0), lambda: h.set_receive_filters(None), lambda: h.receive_dropped,
                 lambda: h.receive_fileno()):
        with pytest.raises(TypeError, match="receive_queue"):
            call()


# The header has no BRS or ESI bit: an adapter's FD frames are reported with BRS when the data
# phase is faster; the virtual adapter's header carries both as the sender set them.
@pytest.mark.parametrize("virtual_adapter, brs, esi", [(False, True, False), (True, False, True)])
def test_queued_frames_bypass_the_callback_and_carry_reception_times(rig, virtual_adapter, brs, esi):
    h = open_queued(rig, receive_own=True, virtual_adapter=virtual_adapter)
    called = []
    h.setFrameCallback(called.append)
    before = time.time()
    rig.vad.bus_frame(0x55, b"\x01\x02", fd=True, brs=False, esi=True)
    got = h.recv_message(1.0)
    assert got[1:] == (0x55, False, False, True, brs, esi, True, 2, b"\x01\x02")
    assert before <= got[0] <= time.time()
    h.send_message(0x66, True, False, False, False, b"\x07", 1, 1.0)
    echo = h.recv_message(1.0)
    assert echo[1:] == (0x66, True, False, False, False, False, False, 1, b"\x07")  # is_rx False
    assert called == []


@pytest.mark.parametrize("args, words", [
    ((0x800, False, False, False, False, b"", 0), "0x800 does not fit a standard"),
    ((0x20000000, True, False, False, False, b"", 0), "does not fit an extended"),
    ((0x1, False, True, True, False, b"", 0), "no remote frames"),
    ((0x1, False, False, False, True, b"", 0), "bitrate switch exists only"),
    ((0x1, False, False, False, False, b"\x00" * 9, 9), "at most 8 data bytes"),
    ((0x1, False, False, True, False, b"\x00" * 65, 65), "at most 64 data bytes"),
    ((0x1, False, True, False, False, b"", 9), "requests at most 8"),
    ((-1, False, False, False, False, b"", 0), "identifier"),
])
def test_send_message_refuses_what_the_record_cannot_carry(rig, args, words):
    h = open_queued(rig)
    with pytest.raises(ValueError, match=words):
        h.send_message(*args, 1.0)
    assert rig.vad.tx_records() == []


def head(can_id, dlc, *, fd_frame=False, direction=0):
    flags = 1 | (int(fd_frame) << 1) | (direction << 3) | (dlc << 4)
    return struct.pack("<II3sB", can_id, 0, b"\0\0\0", flags)


class OneByteLengths(fd.fdhost):
    """A subclass that says every frame carries at most one data byte."""

    def can_pack_dlc_get(self, head):
        return min(super().can_pack_dlc_get(head), 1)


def test_a_subclass_can_pack_dlc_get_decides_the_lengths():
    h = OneByteLengths.__new__(OneByteLengths)
    got = []
    h.frame_callback_ = lambda v: got.append((v.head.id, list(v.data[:3])))
    records = head(0x10, 1) + b"\xAA" + head(0x11, 3) + b"\xBB\xCC\xDD"
    section = container(records)[2:-1]
    # The second record's two bytes beyond its one are then taken for a header: too short, -1.
    assert h.unpack_can_frame(section, len(section)) == -1
    assert got == [(0x10, [0xAA, 0, 0]), (0x11, [0xBB, 0, 0])]
    plain = fd.fdhost.__new__(fd.fdhost)
    plain.frame_callback_ = lambda v: got.append((v.head.id, list(v.data[:3])))
    got.clear()
    assert plain.unpack_can_frame(section, len(section)) == 0
    assert got == [(0x10, [0xAA, 0, 0]), (0x11, [0xBB, 0xCC, 0xDD])]
