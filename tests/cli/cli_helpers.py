"""Helpers of the command-line tests."""
import threading

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
