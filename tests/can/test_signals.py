"""The extension installs a SIGINT handler when imported; the interface keeps the process's own.
Each case runs in a fresh interpreter: the extension is imported once per process."""
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

PROGRAM = """
import os, signal, threading
def mine(signum, frame): raise KeyboardInterrupt("mine")
signal.signal(signal.SIGINT, mine)
from fdhost_can import _native
if {in_thread}:
    t = threading.Thread(target=_native.load); t.start(); t.join()
else:
    _native.load()
import sys; assert "src.fdhost" in sys.modules or "fdhost" in sys.modules
assert signal.getsignal(signal.SIGINT) is mine, signal.getsignal(signal.SIGINT)
try:
    os.kill(os.getpid(), signal.SIGINT)
    signal.sigtimedwait([], 0) if hasattr(signal, "sigtimedwait") else None
    for _ in range(1000): pass
except KeyboardInterrupt as e:
    print("interrupted", e)
"""


@pytest.mark.parametrize("in_thread", [False, True])
def test_import_keeps_the_sigint_handler(in_thread):
    out = subprocess.run([sys.executable, "-c", PROGRAM.format(in_thread=in_thread)], cwd=ROOT,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "interrupted mine"
