"""Another node that keeps a bus busy with frames of a low identifier: frames of higher identifiers
from anyone else never win arbitration while it runs."""
import contextlib
import threading

import can

from fdhost_can import virtual


@contextlib.contextmanager
def starving(hog: can.BusABC, can_id: int = 0x100):
    """Sends `can_id` on `hog` back to back until the block ends; entered once its queue is full.

    Open `hog` slowly enough that its full queue outlasts any pause of the test's process (at
    100 kbit/s 512 frames of 8 bytes take 0.6 s): the virtual bus runs on the clock, and after a
    pause longer than that the other node's frame gets through."""
    stop, full = threading.Event(), threading.Event()

    def send():
        while not stop.is_set():
            try:
                hog.send(can.Message(arbitration_id=can_id, is_extended_id=False, data=bytes(8)), timeout=0.05)
            except can.CanOperationError:
                full.set()
    thread = threading.Thread(target=send)
    thread.start()
    try:
        assert full.wait(10), "the starving node's queue never filled"
        yield
    finally:
        stop.set()
        thread.join()
        # Rather than wait for a queue of the slow bus's frames to drain when it closes.
        virtual.controller().unplug(adapter=hog.virtual_adapter)
