"""Frames handed to a Bus that never leave the bus are reported, with what held them up: at
shutdown (a warning with their count) and when send's time-out runs out (the error's text)."""
import logging
import re

import can
import pytest
import starving_node

pytestmark = pytest.mark.usefixtures("fdhost_backend")


# A slow bus, so that the other node's full queue outlasts any pause of this process.
SLOW = dict(fd=True, timing=can.BitTimingFd(  # 10 kbit/s in both phases
    f_clock=80_000_000, nom_brp=40, nom_tseg1=160, nom_tseg2=39, nom_sjw=16,
    data_brp=40, data_tseg1=160, data_tseg2=39, data_sjw=16))


@pytest.fixture
def starving(buses):
    """Another Bus sending 0x100 back to back: a frame of a higher identifier never wins."""
    with starving_node.starving(buses(**SLOW)):
        yield SLOW


def unsent_warnings(caplog):
    return [r.getMessage() for r in caplog.records
            if r.name == "can.fdhost" and r.levelno == logging.WARNING and "not sent" in r.getMessage()]


@pytest.mark.parametrize("case, reason", [
    ("alone", "no other node on virtual:.* acknowledges them"),
    ("starved", "frames of lower identifiers won arbitration over them [1-9][0-9]* times"),
])
def test_frames_still_held_at_shutdown_are_counted_and_explained(request, buses, vad, caplog, case, reason):
    bus = buses(**request.getfixturevalue("starving")) if case == "starved" else buses()
    for i in range(3):
        bus.send(can.Message(arbitration_id=0x7FD + i, is_extended_id=False), timeout=1)
    index = bus.virtual_adapter
    bus.shutdown()
    assert vad.counter("tx_sent", index) == 0
    [text] = unsent_warnings(caplog)
    assert "3 frames not sent before closing" in text
    assert re.search(reason, text), text


@pytest.mark.parametrize("case, reason", [
    ("alone", "no other node on virtual:.* acknowledges them"),
    ("starved", "frames of lower identifiers won arbitration over them [1-9][0-9]* times"),
])
def test_a_send_time_out_says_what_held_the_queue_up(request, buses, vad, case, reason):
    bus = buses(**request.getfixturevalue("starving")) if case == "starved" else buses()
    vad.set("txbuf=1", adapter=bus.virtual_adapter)
    bus.send(can.Message(arbitration_id=0x7FF, is_extended_id=False), timeout=1)
    with pytest.raises(can.CanOperationError, match="still full after 0.2 s: " + reason):
        bus.send(can.Message(arbitration_id=0x7FE, is_extended_id=False), timeout=0.2)


def test_frames_that_all_went_out_give_no_warning(buses, caplog):
    a, b = buses(), buses()
    for i in range(20):
        a.send(can.Message(arbitration_id=i), timeout=1)
    a.shutdown()
    assert unsent_warnings(caplog) == [] and len(list(iter(lambda: b.recv(0.2), None))) == 20
