"""The subcommands end to end, in process, over python-can's virtual interface."""
import io
import os
import signal
import subprocess
import threading

import can
import pytest
from cli_helpers import drain, feed_when_open, need_tool, run_cli

from fdhost_can.cli import udev
from fdhost_can.cli.candump_format import ScreenFormat
from fdhost_can.cli.frames import parse_frame

FRAMES = ["123#DEADBEEF", "12345678#00.11.22", "123#R3", "213##311223344", "7FF#", "001##1" + "AB" * 10]


def same_frame(a, b):
    return (a.arbitration_id, a.is_extended_id, a.is_remote_frame, a.dlc, a.is_fd, a.bitrate_switch,
            bytes(a.data)) == (b.arbitration_id, b.is_extended_id, b.is_remote_frame, b.dlc, b.is_fd,
                               b.bitrate_switch, bytes(b.data))


# -- send ------------------------------------------------------------------------------------------

def test_send_puts_each_frame_on_the_bus(vbus):
    with vbus.peer() as peer:
        assert run_cli("send", vbus.channel, *FRAMES) == 0
        got = drain(peer)
    assert len(got) == len(FRAMES)
    assert all(same_frame(g, parse_frame(t)) for g, t in zip(got, FRAMES))
    assert vbus.opened == [(vbus.channel, True)]  # an FD frame opens the bus in FD mode


@pytest.mark.parametrize("argv", [
    ["123#DEADBEEF", "123#R9"],          # the good frame before the bad one is not sent either
    ["800#11"],
    ["123#11", "--bitrate", "0"],
    ["123#11", "--timeout", "-1"],
])
def test_send_bad_input_sends_nothing(vbus, capsys, argv):
    with vbus.peer() as peer:
        assert run_cli("send", vbus.channel, *argv) == 1
        assert drain(peer, 0.05) == []
    err = capsys.readouterr().err
    assert err.startswith("fdhost-can send: ") and err.count("\n") == 1
    assert vbus.opened == []


def test_unknown_option_and_command_are_one_line(capsys):
    assert run_cli("dump", "x", "--what") == 1
    assert run_cli("frobnicate") == 1
    lines = capsys.readouterr().err.splitlines()
    assert lines[0].startswith("fdhost-can dump: unrecognized arguments: --what")
    assert lines[1].startswith("fdhost-can: argument COMMAND: invalid choice: 'frobnicate'")


# -- dump ------------------------------------------------------------------------------------------

def dump_while_sending(vbus, frames, *dump_args):
    """`dump` in this thread while `send` (the command) sends `frames` from another."""
    sender = threading.Thread(target=lambda: (vbus.ready.wait(5), run_cli("send", vbus.channel, *frames)))
    sender.start()
    status = run_cli("dump", vbus.channel, "-n", len(frames), *dump_args)
    sender.join(5)
    return status


def test_dump_shows_what_send_sends(vbus, capsys):
    assert dump_while_sending(vbus, FRAMES) == 0
    out, err = capsys.readouterr()
    fmt = ScreenFormat(vbus.channel)
    assert out.splitlines() == [fmt.line(parse_frame(t)) for t in FRAMES]
    assert err.splitlines()[-1].startswith(f"fdhost-can dump: {len(FRAMES)} frames in ")


def test_dump_log_is_read_back_frame_for_frame(vbus, capsys):
    assert dump_while_sending(vbus, FRAMES, "-L") == 0
    out = capsys.readouterr().out
    logged = list(can.CanutilsLogReader(io.StringIO(out)))
    assert len(logged) == len(FRAMES)
    for m, text in zip(logged, FRAMES):
        assert same_frame(m, parse_frame(text)), text
        assert m.channel == vbus.channel
    stamps = [m.timestamp for m in logged]
    assert stamps == sorted(stamps) and abs(stamps[-1] - __import__("time").time()) < 5


def test_dump_log_file_is_read_by_log2asc(vbus, tmp_path, capsys):
    log2asc = need_tool("log2asc")  # log2long: see test_cli_formats
    path = tmp_path / "dump.log"
    assert dump_while_sending(vbus, FRAMES, "-f", path) == 0
    assert capsys.readouterr().out == ""  # logging to a file keeps standard output silent
    name = vbus.channel
    asc = subprocess.run([log2asc, "-I", str(path), name], capture_output=True, text=True, check=True).stdout
    body = [line for line in asc.splitlines() if " Rx " in line]
    assert len(body) == len(FRAMES)
    assert "123" in body[0] and "DE AD BE EF" in body[0] and "CANFD" in body[3]


def test_dump_filters_and_counts_what_it_skipped(vbus, capsys):
    feeder = feed_when_open(vbus, [parse_frame(t) for t in ("100#01", "123#02", "00000123#03", "124#04")])
    status = run_cli("dump", vbus.channel + ",123:C00007FF", "-n", 1, "--name", "can0")
    feeder.join(5)
    out, err = capsys.readouterr()
    assert status == 0
    assert out == "  can0  123   [1]  02\n"
    assert "1 frame of 2 received" in err


def test_dump_ends_after_silence(vbus, capsys):
    feeder = feed_when_open(vbus, [parse_frame("123#01")])
    assert run_cli("dump", vbus.channel, "-T", 150) == 0
    feeder.join(5)
    assert capsys.readouterr().out.count("\n") == 1


def test_dump_ctrl_c_ends_with_a_summary_and_a_clean_log(vbus, capsys):
    feeder = feed_when_open(vbus, [parse_frame(t) for t in FRAMES])
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        status = run_cli("dump", vbus.channel, "-L")
    finally:
        timer.cancel()
    feeder.join(5)
    out, err = capsys.readouterr()
    assert status == 0
    assert len(list(can.CanutilsLogReader(io.StringIO(out)))) == len(FRAMES)
    assert err.strip().startswith(f"fdhost-can dump: {len(FRAMES)} frames in ")


# -- gen -------------------------------------------------------------------------------------------

def test_gen_counts_up_and_reports(vbus, capsys):
    with vbus.peer() as peer:
        assert run_cli("gen", vbus.channel, "-n", 5, "-g", 0, "-I", "42A", "-L", 2, "-D", "i", "-v") == 0
        got = drain(peer)
    assert [(m.arbitration_id, bytes(m.data)) for m in got] == [(0x42A, bytes([i, 0])) for i in range(5)]
    out, err = capsys.readouterr()
    assert out.splitlines()[1] == f"  {vbus.channel}  42A#0100"
    assert "fdhost-can gen: 5 frames sent in" in err


def test_gen_fd_rounds_lengths_and_opens_fd(vbus):
    with vbus.peer() as peer:
        assert run_cli("gen", vbus.channel, "-n", 3, "-g", 0, "-b", "-e", "-L", 10, "--seed", 1) == 0
        got = drain(peer)
    assert [(m.is_fd, m.bitrate_switch, m.is_extended_id, len(m.data)) for m in got] == [(True, True, True, 12)] * 3
    assert vbus.opened == [(vbus.channel, True)]


@pytest.mark.parametrize("argv, reason", [
    (["-I", "800"], "above 7FF (add -e"),
    (["-I", "0x12"], "hexadecimal digits"),
    (["-L", "9"], "at most 8 bytes"),
    (["-f", "-L", "65"], "at most 64 bytes"),
    (["-R", "-b"], "classic CAN only"),
    (["-D", "1"], "hex digit pairs"),
    (["-g", "-1"], "0 or more"),
])
def test_gen_bad_input(vbus, capsys, argv, reason):
    assert run_cli("gen", vbus.channel, *argv) == 1
    err = capsys.readouterr().err
    assert reason in err and err.count("\n") == 1
    assert vbus.opened == []


def test_gen_mixes_opens_fd_and_says_esi_is_not_sent(vbus, capsys):
    with vbus.peer() as peer:
        assert run_cli("gen", vbus.channel, "-n", 40, "-g", 0, "-m", "--seed", 3) == 0
        got = drain(peer)
    assert len(got) == 40 and {m.is_fd for m in got} == {True, False} and vbus.opened == [(vbus.channel, True)]
    err = capsys.readouterr().err.splitlines()
    assert err[0] == "fdhost-can gen: the adapter's transmit record has no error state indicator: CAN FD frames go out without it (ESI 0)"
    assert err[1].startswith("fdhost-can gen: 40 frames sent in ")


class NeverReported(can.BusABC):
    """A bus that takes frames and never reports them sent (nobody acknowledges them); with
    ``full`` its transmit queue takes none."""

    def __init__(self, full=False):
        super().__init__(channel="stuck")
        self.full, self.sent = full, []

    def send(self, msg, timeout=None):
        if self.full:
            raise can.CanOperationError("full") from TimeoutError()
        self.sent.append(msg)

    def _recv_internal(self, timeout):
        threading.Event().wait(min(timeout or 0, 0.01))
        return None, False


@pytest.fixture
def stuck(monkeypatch):
    from fdhost_can.cli import busopen

    bus = NeverReported()
    monkeypatch.setattr(busopen, "open_bus", lambda *a, **kw: bus)
    return bus


def test_frames_the_bus_does_not_take_are_counted_and_fail(stuck, capsys):
    assert run_cli("send", "virtual:stuck", "123#11", "456#22", "--timeout", 0.2) == 1
    assert run_cli("gen", "virtual:stuck", "-n", 3, "-g", 0, "--timeout", 0.2) == 1
    err = capsys.readouterr().err.splitlines()
    assert err[0].startswith("fdhost-can send: 2 of 2 frames not sent within 0.2 s: no node on the bus acknowledged")
    assert err[1].startswith("fdhost-can gen: 0 frames sent in ") and "; 3 not sent within 0.2 s" in err[1]
    assert len(stuck.sent) == 5


def test_gen_i_drops_frames_on_a_full_queue_and_counts_them(stuck, capsys):
    stuck.full = True
    assert run_cli("gen", "virtual:stuck", "-n", 4, "-g", 0, "-i", "-x") == 0
    assert capsys.readouterr().err.strip().endswith("; 4 dropped on a full transmit queue (-i)")


def test_dump_into_a_full_disk_is_one_line(vbus, capsys):
    feed_when_open(vbus, [parse_frame("123#11")] * 3)
    assert run_cli("dump", vbus.channel, "-f", "/dev/full", "-n", 3) == 1
    err = capsys.readouterr().err.splitlines()
    assert err[-1] == "fdhost-can dump: cannot write the log /dev/full: No space left on device"


def test_gen_waits_any_gap(monkeypatch):
    from fdhost_can.cli.common import StopRequest

    stop = StopRequest()
    threading.Timer(0.1, stop.request).start()
    assert stop.wait(1e305) is True  # -g 1e308 is a gap of 1e305 s: a long wait, not an error


def test_dump_reads_several_channels_and_any(vbus, monkeypatch, capsys):
    from fdhost_can.cli import any_channel

    other = vbus.channel + "b"
    monkeypatch.setattr(any_channel, "channels", lambda: [vbus.channel, other])

    def feed():
        assert vbus.ready.wait(5)
        while len(vbus.opened) < 2:
            threading.Event().wait(0.01)
        for channel, frame in ((vbus.channel, "111#01"), (other, "222#02")):
            with can.Bus(interface="virtual", channel=channel) as tx:
                tx.send(parse_frame(frame))

    for argv in (["any,111:7FF,222:7FF"], [vbus.channel, other]):
        vbus.opened.clear()
        vbus.ready.clear()
        thread = threading.Thread(target=feed)
        thread.start()
        assert run_cli("dump", *argv, "-n", 2, "-c") == 0
        thread.join()
        out = capsys.readouterr().out.splitlines()
        assert sorted(out) == sorted([f"  \x1b[1m\x1b[34m {vbus.channel}\x1b[0m  111   [1]  01",
                                      f"  \x1b[1m\x1b[31m{other}\x1b[0m  222   [1]  02"])
        assert [c for c, _ in vbus.opened] == [vbus.channel, other]


@pytest.mark.parametrize("argv, opened, error", [
    (["virtual:x@500000"], ("virtual:x", 500_000, None), None),
    (["virtual:x@1M:5M"], ("virtual:x", 1_000_000, 5_000_000), None),
    (["virtual:a:b@250k", "--bitrate", "250000"], ("virtual:a:b", 250_000, None), None),
    (["virtual:x@500000", "--bitrate", "250000"], None, "give the rate once"),
    (["virtual:x@fast"], None, "a rate after '@' is bit/s"),
])
def test_rates_after_the_channel(monkeypatch, capsys, argv, opened, error):
    from fdhost_can.cli import busopen

    seen = []
    monkeypatch.setattr(busopen, "open_bus", lambda channel, args, **kw: seen.append(
        (channel, args.bitrate, args.data_bitrate)) or NeverReported(full=True))
    run_cli("send", *argv, "123#11", "--timeout", 0)
    assert seen == ([opened] if opened else [])
    if error:
        assert error in capsys.readouterr().err


# -- top -------------------------------------------------------------------------------------------

# A virtual bus times frames without stuff bits, so that is what its load counts unless told.
@pytest.mark.parametrize("stuffing, counted", [([], "no bit stuffing"), (["--stuffing", "worst"], "worst-case bit stuffing")])
def test_top_once_prints_one_snapshot(vbus, capsys, stuffing, counted):
    feeder = feed_when_open(vbus, [parse_frame("123#11223344")] * 5 + [parse_frame("12345678##1AA")], gap_s=0.01)
    assert run_cli("top", vbus.channel, "--once", "--interval", 0.5, "--bitrate", 125000, *stuffing) == 0
    feeder.join(5)
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert lines[0].startswith(f"fdhost-can top  {vbus.channel}  125k  ({counted})")
    assert lines[1].startswith("load ") and "dropped 0" in lines[1]
    # Rates over the window as it was: 0.5 s, or a little longer when the process woke late.
    (std, std_rate), (ext, ext_rate, *kind) = lines[4].split()[:2], lines[5].split()[:4]
    assert std == "123" and 8.0 <= float(std_rate) <= 10.0 and lines[4].endswith("11 22 33 44")
    assert ext == "12345678" and float(ext_rate) == pytest.approx(float(std_rate) / 5, abs=0.06) and kind == ["FD", "BRS"]
    assert err == ""  # --once prints no summary
    assert "\x1b" not in out


# -- udev ------------------------------------------------------------------------------------------

def test_udev_prints_the_rule(capsys):
    assert run_cli("udev") == 0
    rule = [line for line in capsys.readouterr().out.splitlines() if not line.startswith("#")]
    assert rule == ['SUBSYSTEM=="usb", ATTR{idVendor}=="34b7", ATTR{idProduct}=="6877", '
                    'TAG+="uaccess", MODE="0660", GROUP="plugdev"']


@pytest.mark.parametrize("uid, outcome, status", [(0, "ok", 0), (0, "fails", 1), (0, "missing", 1), (1000, "-", 1)])
def test_udev_install(monkeypatch, tmp_path, capsys, uid, outcome, status):
    calls = []

    def fake_run(command, **kw):
        calls.append(command)
        if outcome == "missing":
            raise FileNotFoundError(command[0])
        return subprocess.CompletedProcess(command, 0 if outcome == "ok" else 2, "", "no permission\n")

    monkeypatch.setattr(udev, "RULES_DIR", tmp_path)
    monkeypatch.setattr(os, "geteuid", lambda: uid)
    monkeypatch.setattr(udev.subprocess, "run", fake_run)
    assert run_cli("udev", "--install") == status
    if uid:
        assert "needs root" in capsys.readouterr().err and calls == [] and not any(tmp_path.iterdir())
        return
    assert (tmp_path / "70-fdhost.rules").read_text() == udev.rule_text()
    assert calls == (udev.reload_commands() if outcome == "ok" else udev.reload_commands()[:1])
