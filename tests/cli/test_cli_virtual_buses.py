"""The commands on fdhost Buses over the virtual adapter: whether frames reach the bus, what held them
up, the notice on a bus nobody else is on, and no limit on the number of adapters."""
import uuid

import can
import can.util
import pytest
import starving_node
from cli_helpers import run_cli

from fdhost_can import virtual


@pytest.fixture
def vad(monkeypatch):
    monkeypatch.setitem(can.interfaces.BACKENDS, "fdhost", ("fdhost_can.bus", "FdhostBus"))
    monkeypatch.setattr(can.util, "VALID_INTERFACES", can.util.VALID_INTERFACES | {"fdhost"})
    try:
        return virtual.controller()
    except virtual.VadError as e:
        pytest.skip(str(e))


@pytest.fixture
def channel(vad):
    return f"virtual:cli{uuid.uuid4().hex[:10]}"


def peer(channel, bitrate=500_000, **kw):
    return can.Bus(interface="fdhost", channel=channel, bitrate=bitrate, **kw)


def test_frames_reach_a_bus_another_node_is_on(channel, capsys):
    with peer(channel) as other:
        assert run_cli("send", channel, "123#11", "7FF#") == 0
        assert run_cli("gen", channel, "-n", 5, "-g", 0, "-L", 1) == 0
        got = [other.recv(1) for _ in range(7)]
    assert [m.arbitration_id for m in got[:2]] == [0x123, 0x7FF] and None not in got
    err = capsys.readouterr().err
    assert "fdhost-can gen: 5 frames sent in " in err and "not sent" not in err and "nothing else" not in err


def test_alone_on_a_bus_the_frames_wait_and_it_says_why(channel, capsys):
    assert run_cli("send", channel, "123#11", "--timeout", 0.3) == 1
    notice, result = capsys.readouterr().err.splitlines()
    assert notice.startswith(f"fdhost-can send: nothing else is on {channel} (user ")
    assert "virtual buses belong to one user" in notice
    assert result == (f"fdhost-can send: 1 of 1 frame not sent within 0.3 s: no other node on {channel} acknowledges "
                      "them: none can receive them (another bitrate, or a classic node for CAN FD frames)")


def test_a_sender_starved_by_arbitration_is_told_so(channel, capsys):
    with peer(channel, bitrate=100_000) as busy, starving_node.starving(busy, 0x001):
        status = run_cli("send", channel, "7FF#AA", "--timeout", 0.5, "--bitrate", 100_000)
    assert status == 1
    result = capsys.readouterr().err.splitlines()[-1]
    assert result.startswith("fdhost-can send: 1 of 1 frame not sent within 0.5 s: frames of lower identifiers won "
                             "arbitration over them ")


def test_a_dump_alone_on_its_bus_says_so_once(channel, capsys):
    assert run_cli("dump", channel, "-T", 100) == 0
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 2 and err[0].startswith(f"fdhost-can dump: nothing else is on {channel} (user ")
    assert "wait for a node" not in err[0]


def test_adapters_beyond_eight_open(vad, channel):
    # The Bus's adapter is the ninth in this process; the adapter core sets no limit.
    vad.configure("adapters=8")
    try:
        with peer(channel) as other:
            assert run_cli("send", channel, "123#11") == 0
            assert other.recv(2).arbitration_id == 0x123
    finally:
        vad.configure("adapters=0")


def test_the_bus_does_not_repeat_what_send_says_itself(channel, capsys, caplog):
    """send counts its unsent frames and notes the ESI itself: the Bus's warnings saying the same
    are left out, the others stay."""
    assert run_cli("send", channel, "213##211", "--timeout", 0.3) == 1
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 3 and "error state indicator" in err[0] and "1 of 1 frame not sent" in err[2]
    assert [r.getMessage() for r in caplog.records if r.name == "can.fdhost" and r.levelno >= 30] == []
