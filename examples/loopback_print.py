"""Send a few frames through a virtual adapter in loopback and print every frame that comes back.

Run from the repository root after building (tools/setup.sh):

    FDHOST_VADAPTER="loopback=1" LD_LIBRARY_PATH=build/vadapter python examples/loopback_print.py
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from src import fdhost as fh  # noqa: E402

SERIAL = "14AA044B241402B10DDBDAFE448040BB"

with fh.fdhost(1000000, 5000000, SERIAL) as dev:
    dev.setFrameCallback(dev.print_can_value)
    for i in range(3):
        dev.fdcanFrameSend(bytes([i] * (8 + 8 * i)), 0x100 + i)
        time.sleep(0.05)
    time.sleep(0.2)
