"""The demonstration program (build/fdhost-demo) against the virtual adapter, interrupted by a real SIGINT."""
import os
import signal
import subprocess
import threading
import time
from pathlib import Path

import pytest

from vadapter import library_path

ROOT = Path(__file__).resolve().parents[1]
# tools/setup.sh links the built program into the project environment's bin: started from there, its
# embedded interpreter finds the environment's pyvenv.cfg and with it the environment's pyusb.
VENV_DEMO = ROOT / ".venv" / "bin" / "fdhost-demo"
DEMO = VENV_DEMO if VENV_DEMO.exists() else ROOT / "build" / "fdhost-demo"
LIB = library_path()
pytestmark = pytest.mark.skipif(not (DEMO.exists() and LIB.exists()),
                                reason=f"demonstration or virtual adapter not built: {DEMO}, {LIB}")

SERIAL = "14AA044B241402B10DDBDAFE448040BB"
# Printed by the two workers and the main thread at about the same moment: each print's text is
# one write and its newline another, so the three texts may come in any order and even share a line.
ENTERED = "__enter__  fdhost "
STARTUP = ("Heart thread started", "USB receiving thread started", ENTERED)
CONSTRUCTION = "\n".join([
    f"Found RU-ZEDUZ, device-id: device:1,2 SN: {SERIAL}", "Choose usb device is device:1,2",
    "Claimed interface 0", "Claimed interface 1", "Claimed interface 2",
    "ACK successful", "CMD_START_CAP ACK SUCCESS",
    "Set the arbitration domain baud rate: 1000000.0", "Set the data baud rate: 5000000.0",
    "Sampling point: 87.5%", "ACK successful", "CMD_SETUP_BUARD ACK SUCCESS", ""])
ENDING = "\n".join(["The program exited safely.", "__exit__   fdhost", "Released USB device resources",
                    "**********USB Cleaned up**********", "", "close  fdhos", ""])
INTERRUPT = "\nInterrupt signal (2) received.\n"


class Demo:
    """The demonstration as a child process; its output is collected line by line as it comes."""

    def __init__(self, config, merge_stderr=False):
        env = dict(os.environ, PYTHONUNBUFFERED="1", FDHOST_VADAPTER=config,
                   LD_LIBRARY_PATH=os.pathsep.join(filter(None, [str(LIB.parent), os.environ.get("LD_LIBRARY_PATH")])))
        self.proc = subprocess.Popen([str(DEMO)], cwd=ROOT, env=env, text=True, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT if merge_stderr else subprocess.PIPE)
        self.out, self.err = [], []
        self.readers = [threading.Thread(target=self._collect, args=(self.proc.stdout, self.out), daemon=True)]
        if not merge_stderr:
            self.readers.append(threading.Thread(target=self._collect, args=(self.proc.stderr, self.err),
                                                 daemon=True))
        for r in self.readers:
            r.start()

    @staticmethod
    def _collect(stream, into):
        for line in stream:
            into.append(line)

    def wait_for(self, text, seconds=15.0):
        end = time.monotonic() + seconds
        while text not in "".join(self.out):
            assert time.monotonic() < end and self.proc.poll() is None, "".join(self.out + self.err)
            time.sleep(0.01)

    def finish(self, seconds=15.0):
        try:
            rc = self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        for r in self.readers:
            r.join(5)
        return rc, "".join(self.out), "".join(self.err)

    def run_then_interrupt(self, seconds):
        """Waits for the end of construction, lets the loop run that long, sends SIGINT; returns the
        loop's time too."""
        try:
            self.wait_for(ENTERED)
        except AssertionError:
            self.proc.kill()
            self.finish()
            raise
        started = time.monotonic()
        time.sleep(seconds)
        self.proc.send_signal(signal.SIGINT)
        return (time.monotonic() - started,) + self.finish()


def without_startup_lines(text):
    for line in STARTUP:
        assert line in text
        text = text.replace(line, "", 1)
    return text


def test_interrupted_demonstration_closes_cleanly():
    _, rc, out, err = Demo("").run_then_interrupt(1.0)
    assert rc == 0, out + err
    assert out.startswith(CONSTRUCTION) and out.endswith(ENDING), out
    assert without_startup_lines(out[len(CONSTRUCTION):-len(ENDING)]) == "\n" * 3
    assert err == INTERRUPT


def test_demonstration_sends_one_frame_about_every_10_ms():
    # Every transmit write stalls, so each frame the loop sends shows up as one printed failure;
    # stderr goes into the same pipe, so the interrupt message's place is seen too.
    loop_time, rc, out, _ = Demo("fault=stall,ep=3,count=always", merge_stderr=True).run_then_interrupt(1.0)
    assert rc == 0, out
    failure = "[Error] Failed to send CAN command: [Errno 32] Pipe error\n"
    assert out.startswith(CONSTRUCTION) and out.endswith(ENDING), out[-2000:]
    loop, interrupt, after = out[len(CONSTRUCTION):-len(ENDING)].partition(INTERRUPT)
    assert interrupt and after in ("", failure)  # after it, at most the frame then being sent
    loop = without_startup_lines(loop)
    assert loop.endswith(failure) and "Clear halt failed" not in loop
    # A print writes its parts one by one (text, separator, text, end of line), and the workers'
    # start lines may come between any two of them: count the parts.
    sent = loop.count("[Error] Failed to send CAN command:")
    rest = loop.replace("[Error] Failed to send CAN command:", "").replace("[Errno 32] Pipe error", "")
    assert loop.count("[Errno 32] Pipe error") == sent and sorted(rest) == sorted(" " * sent + "\n" * (sent + 3))
    expected = loop_time / 0.010
    assert 0.5 * expected <= sent <= expected + 5, (sent, loop_time)


@pytest.mark.parametrize("config, out, err", [
    ("adapters=0", "[Error] RU-ZEDUZ device not found\n**********USB Cleaned up**********\n\n",
     "[Error] RU-ZEDUZ device not found, program terminated\n"),
    ("serials=0123",
     f"Found RU-ZEDUZ, device-id: device:1,2 SN: 0123\n[Error] Not found device you specified: {SERIAL}\n",
     "[Error] Failed to open usb device\n"),
])
def test_demonstration_without_its_adapter_exits_with_minus_one(config, out, err):
    # Construction fails before the object is bound: nothing is closed and SystemExit(-1) ends the
    # program quietly, without a traceback or the hardware-exception report.
    rc, got_out, got_err = Demo(config).finish()
    assert (rc, got_out, got_err) == (255, out, err)
