"""The demonstration program on the real chain, ended by a real SIGINT."""
import signal
import subprocess
import time

from usbip_rig import ROOT, kernel_devices, wait_until

DEMO = ROOT / ".venv" / "bin" / "fdhost-demo"
ENDING = "\n".join(["The program exited safely.", "__exit__   fdhost", "Released USB device resources",
                    "**********USB Cleaned up**********", "", "close  fdhos", ""])
# A frame's write has 1 ms to complete, about what one transfer takes through vhci in the emulated
# guest: on a loaded host one times out now and then, is reported so, and the sending goes on.
FRAME_TIMED_OUT = "[Error] Failed to send CAN command: [Errno 110] Operation timed out"


def test_demo_sends_until_interrupted(adapters):
    # The demonstration opens the adapter of the first default serial, the server's 1-1.
    dev = kernel_devices(adapters.serial("1-1"))[0]
    proc = subprocess.Popen([str(DEMO)], cwd=ROOT, text=True, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        before = adapters.counter("1-1", "tx_records")
        # Sending: its frames reach the adapter, about one every 10 ms.
        assert wait_until(lambda: adapters.counter("1-1", "tx_records") - before >= 50, 60), "no frames sent"
        sent = adapters.counter("1-1", "tx_records") - before
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, out + err
    assert out.startswith(f"Found RU-ZEDUZ, device-id: {dev.location} SN: {dev.serial}\n") or \
        f"Choose usb device is {dev.location}\n" in out, out
    assert out.endswith(ENDING), out[-800:]
    errors = [line for line in out.splitlines() if line.startswith("[Error]")]
    assert set(errors) <= {FRAME_TIMED_OUT} and len(errors) * 10 <= sent, (errors, sent)
    assert err == "\nInterrupt signal (2) received.\n"
    time.sleep(0.1)
