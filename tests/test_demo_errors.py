"""The demonstration program (build/fdhost-demo) when an exception escapes its steps. An Exception is
reported on standard error after the context has been left, the object is closed and the program
ends normally; anything else ends the program as it would a Python script, after the same closing.
The faults are planted by tests/demo_faults/sitecustomize.py in the program's own interpreter."""
import os
import signal
from pathlib import Path

import pytest

from test_demo import CONSTRUCTION, ENTERED, INTERRUPT, STARTUP, Demo

FAULTS = Path(__file__).resolve().parent / "demo_faults"
EXITED = "__exit__   fdhost\nReleased USB device resources\n**********USB Cleaned up**********\n\n"
CLOSED = "close  fdhos\nReleased USB device resources\n**********USB Cleaned up**********\n\n"
CLOSED_AGAIN = "close  fdhos\n"
REPORT = "Error: hardware interface exception: {}\n"
TRACEBACK = "Traceback (most recent call last):\n"

KINDS = {  # kind: (text reported, exit status, last line of the traceback)
    "usb": ("[Errno 19] hardware gone", 0, None),
    "runtime": ("hardware gone", 0, None),
    "custom": ("hardware gone", 0, None),
    "notext": (None, 1, "ValueError: no text"),  # str() of the exception raises
    "keyboard": (None, -signal.SIGINT, "KeyboardInterrupt"),
    "exit3": (None, 3, None),
}
PLACES = ["construct", "enter", "send", "sleep", "exited", "exit", "send+exit"]
CASES = [(p, k) for p in PLACES for k in KINDS if (p, k) != ("send", "usb")]  # send_data reports that one


def expected(place, kind):
    """The merged standard output and error up to any traceback, start-up lines apart."""
    if place == "construct":
        text = ""
    else:
        text = CONSTRUCTION
        if place in ("exited", "exit"):
            text += INTERRUPT  # the planted Ctrl-C ends the loop
        if place == "exit":
            text += "The program exited safely.\n"
        if place in ("send", "sleep", "exited"):
            text += EXITED  # the with block is left with the exception
    reported = KINDS[kind][0]
    if reported:
        text += REPORT.format(reported)
    if place in ("send", "sleep", "exited"):
        text += CLOSED_AGAIN
    elif place != "construct":
        text += CLOSED  # __enter__ or __exit__ failed: the closing at the end releases the adapter
    return text


def printed_lines(text, place):
    """The non-empty lines of `text` once the workers' start lines and the entry banner are taken
    out: they are printed about at once, each text apart from its newline, so they may come in any
    order and inside another line's end."""
    for line in STARTUP:
        printed = place != "construct" and (line != ENTERED or place != "enter")
        assert text.count(line) == printed, (line, text)
        text = text.replace(line, "", 1)
    return [line for line in text.split("\n") if line]


@pytest.mark.parametrize("place, kind", CASES)
def test_escaping_exception_is_reported_and_the_object_closed(place, kind, monkeypatch):
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [str(FAULTS), os.environ.get("PYTHONPATH")])))
    monkeypatch.setenv("FDHOST_DEMO_FAULT", f"{place}:{kind}")
    rc, out, _ = Demo("", merge_stderr=True).finish()
    _, status, last_line = KINDS[kind]
    before, traceback, after = out.partition(TRACEBACK)
    assert rc == status, out
    assert printed_lines(before, place) == [line for line in expected(place, kind).split("\n") if line], out
    if last_line:
        assert traceback and after.endswith(last_line + "\n"), out
        # Raised while another was handled: the traceback shows both, as the interpreter chains them.
        chained = kind == "notext" or place == "send+exit"
        assert ("During handling of the above exception, another exception occurred" in after) == chained, out
    else:
        assert not traceback, out
