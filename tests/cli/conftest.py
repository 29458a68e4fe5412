"""Command-line tests: ``open_bus`` opens python-can's own ``virtual`` interface instead of an
fdhost Bus, so the commands run end to end inside the test process."""
import itertools
import threading
import types

import can
import pytest

from fdhost_can.cli import busopen

_names = itertools.count()


@pytest.fixture
def vbus(monkeypatch):
    """A fresh virtual channel; ``opened`` records each bus a command opened (channel, fd; own frames
    come back when the command asks for them, as the adapter reports frames that left the bus),
    ``ready`` is set once one is open; ``peer()`` opens another bus on the same channel."""
    state = types.SimpleNamespace(channel=f"virtual:t{next(_names)}", opened=[], ready=threading.Event())

    def open_virtual(channel, args, fd=False, receive_own=False):
        bus = can.Bus(interface="virtual", channel=channel, receive_own_messages=receive_own)
        state.opened.append((channel, bool(fd or args.fd or args.data_bitrate)))
        state.ready.set()
        return bus

    def peer():
        return can.Bus(interface="virtual", channel=state.channel)

    monkeypatch.setattr(busopen, "open_bus", open_virtual)
    state.peer = peer
    return state
