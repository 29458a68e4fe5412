"""The interface leaves the process's SIGINT handling alone: importing it and opening a Bus install
no handler and patch nothing, in the main thread or another. Each case runs in a fresh interpreter."""
import subprocess
import sys
import uuid

import pytest

import load_fdhost

PROGRAM = """
import os, signal, threading
def mine(signum, frame): raise KeyboardInterrupt("mine")
signal.signal(signal.SIGINT, mine)
real_signal = signal.signal

def use():
    import can
    from fdhost_can.bus import FdhostBus
    FdhostBus(channel="virtual:sig").shutdown()

if {in_thread}:
    t = threading.Thread(target=use); t.start(); t.join()
else:
    use()
import sys; assert "src.fdhost" not in sys.modules and "fdhost" not in sys.modules
assert signal.signal is real_signal and signal.getsignal(signal.SIGINT) is mine, signal.getsignal(signal.SIGINT)
try:
    os.kill(os.getpid(), signal.SIGINT)
    signal.sigtimedwait([], 0) if hasattr(signal, "sigtimedwait") else None
    for _ in range(1000): pass
except KeyboardInterrupt as e:
    print("interrupted", e)
"""


@pytest.mark.parametrize("in_thread", [False, True])
def test_opening_a_bus_keeps_the_sigint_handler(in_thread):
    env = load_fdhost.env_for_child()
    env["FDHOST_VADAPTER_NAMESPACE"] = f"sig-{uuid.uuid4().hex[:12]}"
    out = subprocess.run([sys.executable, "-c", PROGRAM.format(in_thread=in_thread)], cwd=load_fdhost.ROOT,
                         capture_output=True, text=True, timeout=60, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "interrupted mine"
