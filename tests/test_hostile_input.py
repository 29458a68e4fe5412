"""Arbitrary bytes, lengths, types and values thrown at everything that parses: only the
interpreter's ordinary exceptions or the documented results, never a crash or an out-of-bounds read
(the sanitised run of this suite turns any stray read into a failure)."""
import array
import io
import threading
from contextlib import redirect_stdout

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import src.fdhost as fd
from tests.fakes import ack_frame, container, record

ORDINARY = (TypeError, ValueError, OverflowError, IndexError, AttributeError, KeyError)
FAST = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def bare_host(callback=None):
    host = fd.fdhost.__new__(fd.fdhost)
    host.mutex_ = threading.Lock()
    host.frame_callback_ = callback
    return host


def quietly(fn, *args):
    with redirect_stdout(io.StringIO()):
        return fn(*args)


# A container whose records are arbitrary but whose framing and CRC are right, so the record
# walk itself sees hostile bytes; and plain junk.
records = st.binary(max_size=600)
transfers = st.one_of(
    st.binary(max_size=700),
    records.map(container),
    st.lists(st.tuples(st.integers(0, 15), st.integers(0, 1)), max_size=20).map(
        lambda rs: container(b"".join(record(dlc=d, dir=r) for d, r in rs))),
)
lengths = st.one_of(st.integers(-5, 800), st.integers(-(2**70), 2**70))
containers_of = st.sampled_from([bytes, bytearray, lambda b: array.array("B", b), list, memoryview])


@FAST
@given(transfers, lengths, containers_of)
def test_unpack_usb_frame_survives_anything(data, length, wrap):
    host = bare_host(lambda v: None)
    try:
        result = quietly(host.unpack_usb_frame, wrap(data), length)
    except ORDINARY:
        result = None
    assert result in (0, -1, None)
    assert not host.mutex_.locked()


@FAST
@given(transfers)
def test_delivered_frames_are_exactly_the_well_formed_prefix(data):
    got = []
    host = bare_host(got.append)
    result = quietly(host.unpack_usb_frame, data, len(data))
    if result == 0:
        assert all(v.head.dir == 0 for v in got)
    for v in got:
        assert len(v.data) == 64 and all(0 <= b <= 255 for b in v.data)


@FAST
@given(st.binary(max_size=300), lengths, containers_of)
def test_unpack_can_frame_survives_anything(section, length, wrap):
    host = bare_host(lambda v: None)
    try:
        result = quietly(host.unpack_can_frame, wrap(section), length)
    except ORDINARY:
        result = None
    assert result in (0, -1, None)


@FAST
@given(st.sampled_from([fd.can_head_type, fd.can_value_type, fd.can_tx_type, fd.setup_baudrate_t, fd.can_ack_type]),
       st.one_of(st.binary(max_size=120), st.lists(st.integers(-300, 300), max_size=120), st.none(),
                 st.integers(), st.text(max_size=5)))
def test_every_decoder_survives_anything(cls, payload):
    rec = cls()
    before = bytes(rec.to_bytes())
    try:
        rec.from_bytes(payload)
    except ORDINARY:
        assert bytes(rec.to_bytes()) == before  # a refused input changes nothing
    else:
        rec.to_bytes()


@FAST
@given(st.one_of(st.binary(max_size=200), st.lists(st.one_of(st.integers(), st.floats(), st.none()), max_size=20),
                 st.integers(), st.none(), st.text(max_size=10)))
def test_crc_survives_anything(data):
    try:
        value = fd.CRC16_IBM(data)
    except ORDINARY:
        return
    assert 0 <= value <= 0xFFFF


class EchoDevice:
    """Answers every read with the bytes it was given."""

    def __init__(self, reply):
        self.reply = reply

    def clear_halt(self, ep):
        pass

    def write(self, ep, data, timeout=None):
        return len(data)

    def read(self, ep, size, timeout=None):
        return self.reply


@FAST
@given(st.one_of(st.binary(max_size=40), st.builds(ack_frame, st.integers(0, 255), st.integers(0, 255),
                                                    st.binary(max_size=20))),
       st.integers(0, 6))
def test_acknowledgement_path_survives_anything(reply, cmd):
    host = bare_host()
    host.dev_handle = EchoDevice(reply)
    length, data = [None], [None]
    result = quietly(host.usb_control_ack, cmd, length, data)
    assert 0 <= int(result) <= 255
    if result == 0 and length[0] is not None:
        assert len(data[0]) <= length[0]


@FAST
@given(st.one_of(st.binary(max_size=100), st.lists(st.integers(0, 255), max_size=100), st.text(max_size=10),
                 st.integers(), st.none()),
       st.one_of(st.integers(-(2**40), 2**40), st.none(), st.floats()),
       st.one_of(st.integers(0, 10_000_000), st.floats(allow_nan=True)))
def test_fill_frame_survives_anything(data, can_id, dat_baud):
    host = bare_host()
    host.dat_baud_ = dat_baud
    frame = fd.can_tx_type()
    try:
        host.fillFDCANFrame(data, frame, can_id)
        frame.to_bytes()
    except ORDINARY:
        pass


@FAST
@given(st.lists(st.one_of(st.integers(-(2**33), 2**33), st.floats(allow_nan=True), st.none()), min_size=7, max_size=7))
def test_setup_command_survives_anything(args):
    host = bare_host()
    host.dev_handle = EchoDevice(ack_frame(5))
    try:
        result = quietly(host.USB_CMD_SETUP_BUARD, *args)
    except (*ORDINARY, ZeroDivisionError):
        return
    except SystemExit:
        return  # a refused acknowledgement ends the program, as documented
    assert result == 0
