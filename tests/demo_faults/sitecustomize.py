"""Loaded by the demonstration program's interpreter at start-up (this folder is put on PYTHONPATH by
tests/test_demo_errors.py): raises the exception FDHOST_DEMO_FAULT names at the place it names.

FDHOST_DEMO_FAULT is "place:kind". Places: construct (the bus scan), enter (the "__enter__" banner),
send (the third frame's write on 0x03), sleep (the loop's third pause), exited ("The program exited
safely."), exit (the "__exit__" banner), send+exit (the third frame's write raises RuntimeError("first
fault"), then the "__exit__" banner raises the kind). The places at or after the loop's end send the
program a SIGINT on its third frame, as Ctrl-C would. Long pauses are cut to 10 ms.
"""
import builtins
import os
import signal
import threading
import time

import usb.core

PLACE, KIND = os.environ["FDHOST_DEMO_FAULT"].split(":")


class AdapterLost(Exception):
    pass


class NoText(Exception):
    def __str__(self):
        raise ValueError("no text")


def fault():
    return {
        "usb": lambda: usb.core.USBError("hardware gone", errno=19),
        "runtime": lambda: RuntimeError("hardware gone"),
        "custom": lambda: AdapterLost("hardware gone"),
        "notext": NoText,
        "keyboard": KeyboardInterrupt,
        "exit3": lambda: SystemExit(3),
    }[KIND]()


def on_main_thread():
    return threading.current_thread() is threading.main_thread()


if PLACE == "construct":
    def find(*args, **kwargs):
        raise fault()

    usb.core.find = find

_write = usb.core.Device.write
_frames = 0


def write(self, endpoint, data, timeout=None):
    global _frames
    if endpoint == 3 and on_main_thread():
        _frames += 1
        if _frames == 3:
            if PLACE == "send":
                raise fault()
            if PLACE == "send+exit":
                raise RuntimeError("first fault")
            if PLACE in ("exited", "exit"):
                os.kill(os.getpid(), signal.SIGINT)
    return _write(self, endpoint, data, timeout)


usb.core.Device.write = write

_sleep = time.sleep
_pauses = 0


def sleep(seconds):
    global _pauses
    if PLACE == "sleep" and seconds == 0.01 and on_main_thread():
        _pauses += 1
        if _pauses == 3:
            raise fault()
    _sleep(min(seconds, 0.01))


time.sleep = sleep

_print = builtins.print
RAISING_TEXT = {"enter": "__enter__  fdhost ", "exited": "The program exited safely.",
                "exit": "__exit__   fdhost", "send+exit": "__exit__   fdhost"}.get(PLACE)


def print(*args, **kwargs):
    if args and args[0] == RAISING_TEXT and on_main_thread():
        raise fault()
    return _print(*args, **kwargs)


builtins.print = print
