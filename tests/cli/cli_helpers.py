"""Helpers of the command-line tests."""
import os
import shutil
import threading

import pytest

from fdhost_can.cli import main


def run_cli(*argv):
    """main() with the arguments as text."""
    return main([str(a) for a in argv])


def drain(bus, timeout=0.2):
    """Every frame ``bus`` receives until it stays quiet for ``timeout`` seconds."""
    frames = []
    while (msg := bus.recv(timeout)) is not None:
        frames.append(msg)
    return frames


def feed_when_open(vbus, frames, gap_s=0.0):
    """A started thread that sends ``frames`` on the channel once a command has opened it."""
    def feed():
        assert vbus.ready.wait(5), "the command never opened its bus"
        with vbus.peer() as tx:
            for msg in frames:
                tx.send(msg)
                if gap_s:
                    threading.Event().wait(gap_s)

    thread = threading.Thread(target=feed, daemon=True)
    thread.start()
    return thread


def need_tool(name):
    """The path of a can-utils program; the test is skipped without it, and fails in CI."""
    path = shutil.which(name)
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail(f"{name} (Debian's can-utils) is not installed")
        pytest.skip(f"{name} (Debian's can-utils) is not installed")
    return path
