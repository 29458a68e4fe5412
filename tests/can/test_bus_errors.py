"""Error frames and the bus state of a Bus on a virtual bus, from its adapter's error counters, in
SocketCAN's layout (what candump -e and the command line's dump -e put in words)."""
import can
import pytest

from fdhost_can import bus_errors
from fdhost_can.cli.error_frames import describe

pytestmark = pytest.mark.usefixtures("fdhost_backend")

QUIET = dict(tx_ack_errors=0, rx_errors=0, rx_overflow=0, tx_error_counter=0, rx_error_counter=0)


@pytest.mark.parametrize("change, words", [
    (dict(tx_ack_errors=1, tx_error_counter=128), "controller-problem{tx-error-passive}\n\tno-acknowledgement-on-tx"),
    (dict(rx_errors=2, rx_error_counter=16), "protocol-violation{{}{}}\n\tbus-error"),
    (dict(rx_error_counter=96), "controller-problem{rx-error-warning}"),
    (dict(rx_overflow=5), "controller-problem{rx-overflow}"),
    ({}, None),
])
def test_what_changed_becomes_one_error_frame(change, words):
    frame = bus_errors.error_frame(QUIET, dict(QUIET, **change), "virtual:x")
    if words is None:
        assert frame is None
        return
    assert frame.is_error_frame and frame.dlc == 8 and frame.channel == "virtual:x"
    counters = f"\n\terror-counter-tx-rx{{{{{frame.data[6]}}}{{{frame.data[7]}}}}}" if any(frame.data[6:]) else ""
    assert describe(frame) == words + counters


def errors(bus, timeout=0.5):
    return [m for m in iter(lambda: bus.recv(timeout), None) if m.is_error_frame]


def test_a_frame_nobody_acknowledges_gives_an_error_frame_and_error_passive(buses):
    alone = buses()
    assert alone.state == can.BusState.ACTIVE
    alone.send(can.Message(arbitration_id=0x10), timeout=1)
    [frame] = errors(alone)
    assert frame.arbitration_id == bus_errors.CAN_ERR_ACK | bus_errors.CAN_ERR_CRTL
    assert frame.data[1] == bus_errors.CRTL_TX_PASSIVE and frame.data[6] >= 128
    assert alone.state == can.BusState.ERROR
    # Another node acknowledges: each frame that leaves takes the counter down by one.
    other = buses()
    for i in range(40):
        alone.send(can.Message(arbitration_id=0x20 + i), timeout=1)
    assert len([m for m in iter(lambda: other.recv(0.5), None)]) == 41
    states = [m.data[1] for m in errors(alone)]
    assert states[-1] == bus_errors.CRTL_ACTIVE and alone.state == can.BusState.ACTIVE


def test_a_classic_node_sees_fd_frames_as_errors_unless_it_ignores_them(buses):
    classic, ignoring = buses(fd=False), buses(fd=False, ignore_rx_error_frames=True)
    sender, receiver = buses(), buses()
    sender.send(can.Message(arbitration_id=0x30, is_fd=True, data=b"\x01"), timeout=1)
    assert receiver.recv(1).arbitration_id == 0x30
    [frame] = errors(classic)
    assert frame.arbitration_id & bus_errors.CAN_ERR_PROT and frame.data[7] == 8
    assert ignoring.recv(0.3) is None
