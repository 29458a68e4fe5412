"""The libusb-1.0 C interface of the virtual adapter straight through ctypes, for tests that need
what pyusb hides: raw return codes, errno, the asynchronous interface and its event handling."""
from __future__ import annotations

import ctypes
from ctypes import POINTER, byref, c_int, c_uint, c_uint8, c_void_p

from vadapter import library_path

ERROR_PIPE, ERROR_NO_DEVICE, ERROR_TIMEOUT, ERROR_NOT_FOUND, ERROR_BUSY = -9, -4, -7, -5, -6
COMPLETED, TRANSFER_ERROR, TIMED_OUT, CANCELLED, STALL, NO_DEVICE, OVERFLOW = range(7)
TYPE_CONTROL, TYPE_BULK = 0, 2


class Transfer(ctypes.Structure):
    pass


Callback = ctypes.CFUNCTYPE(None, POINTER(Transfer))
Transfer._fields_ = [("dev_handle", c_void_p), ("flags", c_uint8), ("endpoint", c_uint8), ("type", c_uint8),
                     ("timeout", c_uint), ("status", c_int), ("length", c_int), ("actual_length", c_int),
                     ("callback", Callback), ("user_data", c_void_p), ("buffer", c_void_p),
                     ("num_iso_packets", c_int)]


class Timeval(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]

    @classmethod
    def of(cls, seconds: float) -> "Timeval":
        return cls(int(seconds), int(round((seconds - int(seconds)) * 1e6)))


class Pollfd(ctypes.Structure):
    _fields_ = [("fd", c_int), ("events", ctypes.c_short)]


class Libusb:
    """One handle on the library (the same instance pyusb and VirtualAdapter use), errno kept."""

    def __init__(self, path=None):
        self.lib = ctypes.CDLL(str(path or library_path()), use_errno=True)
        L = self.lib
        for name, res, args in (
            ("libusb_get_device_list", ctypes.c_ssize_t, [c_void_p, POINTER(POINTER(c_void_p))]),
            ("libusb_free_device_list", None, [POINTER(c_void_p), c_int]),
            ("libusb_get_bus_number", c_uint8, [c_void_p]),
            ("libusb_get_device_address", c_uint8, [c_void_p]),
            ("libusb_open", c_int, [c_void_p, POINTER(c_void_p)]),
            ("libusb_close", None, [c_void_p]),
            ("libusb_control_transfer", c_int,
             [c_void_p, c_uint8, c_uint8, ctypes.c_uint16, ctypes.c_uint16, c_void_p, ctypes.c_uint16, c_uint]),
            ("libusb_bulk_transfer", c_int, [c_void_p, c_uint8, c_void_p, c_int, POINTER(c_int), c_uint]),
            ("libusb_alloc_transfer", POINTER(Transfer), [c_int]),
            ("libusb_free_transfer", None, [POINTER(Transfer)]),
            ("libusb_submit_transfer", c_int, [POINTER(Transfer)]),
            ("libusb_cancel_transfer", c_int, [POINTER(Transfer)]),
            ("libusb_handle_events", c_int, [c_void_p]),
            ("libusb_handle_events_timeout", c_int, [c_void_p, POINTER(Timeval)]),
            ("libusb_handle_events_timeout_completed", c_int, [c_void_p, POINTER(Timeval), POINTER(c_int)]),
            ("libusb_interrupt_event_handler", None, [c_void_p]),
            ("libusb_get_pollfds", POINTER(POINTER(Pollfd)), [c_void_p]),
            ("libusb_free_pollfds", None, [POINTER(POINTER(Pollfd))]),
            ("libusb_get_next_timeout", c_int, [c_void_p, POINTER(Timeval)]),
            ("libusb_pollfds_handle_timeouts", c_int, [c_void_p]),
        ):
            fn = getattr(L, name)
            fn.restype, fn.argtypes = res, args

    def device_locations(self) -> list[tuple[int, int]]:
        """(bus, address) of every device enumeration finds, in order."""
        devs = POINTER(c_void_p)()
        n = self.lib.libusb_get_device_list(None, byref(devs))
        assert n >= 0, n
        try:
            return [(self.lib.libusb_get_bus_number(devs[i]), self.lib.libusb_get_device_address(devs[i]))
                    for i in range(n)]
        finally:
            self.lib.libusb_free_device_list(devs, 1)

    def open(self, bus: int, address: int) -> int:
        """A handle (an int) of the device at that location; libusb_close it when done."""
        devs = POINTER(c_void_p)()
        n = self.lib.libusb_get_device_list(None, byref(devs))
        try:
            for i in range(n):
                if (self.lib.libusb_get_bus_number(devs[i]), self.lib.libusb_get_device_address(devs[i])) == (bus, address):
                    handle = c_void_p()
                    rc = self.lib.libusb_open(devs[i], byref(handle))
                    assert rc == 0, rc
                    return handle.value
        finally:
            self.lib.libusb_free_device_list(devs, 1)
        raise LookupError((bus, address))

    def close(self, handle: int) -> None:
        self.lib.libusb_close(handle)

    def control(self, handle, request_type, request, value, index, length, timeout=100):
        """(rc, reply bytes, errno): errno as the call left it when rc < 0."""
        buf = ctypes.create_string_buffer(max(length, 1))
        ctypes.set_errno(0)
        rc = self.lib.libusb_control_transfer(handle, request_type, request, value, index, buf, length, timeout)
        return rc, buf.raw[:max(rc, 0)], ctypes.get_errno() if rc < 0 else 0

    def bulk(self, handle, endpoint, data_or_length, timeout=100):
        """(rc, bytes moved or read)."""
        out = not endpoint & 0x80
        buf = ctypes.create_string_buffer(bytes(data_or_length), len(data_or_length)) if out \
            else ctypes.create_string_buffer(data_or_length)
        done = c_int()
        rc = self.lib.libusb_bulk_transfer(handle, endpoint, buf, len(buf), byref(done), timeout)
        return rc, (done.value if out else buf.raw[:done.value])

    def pollfds(self) -> list[tuple[int, int]]:
        """(fd, events) of every event source the library offers for poll()."""
        fds = self.lib.libusb_get_pollfds(None)
        out, i = [], 0
        while fds[i]:
            out.append((fds[i].contents.fd, fds[i].contents.events))
            i += 1
        self.lib.libusb_free_pollfds(fds)
        return out

    def handle_events(self, seconds: float, completed=None) -> int:
        """libusb_handle_events_timeout_completed with that time limit."""
        flag = None if completed is None else ctypes.byref(completed)
        return self.lib.libusb_handle_events_timeout_completed(None, ctypes.byref(Timeval.of(seconds)), flag)


class AsyncTransfers:
    """Bulk and control transfers through libusb's asynchronous interface on one handle. Every
    completion is recorded in `done` as (name, status, data), together with the thread it ran on."""

    def __init__(self, usb: Libusb, handle: int):
        self.usb, self.handle = usb, handle
        self.done: list[tuple[str, int, bytes]] = []
        self.threads: set[int] = set()
        self._live = {}  # address of the libusb_transfer -> (name, transfer, buffer)
        self.in_flight = set()  # addresses of transfers submitted and not completed
        self._callback = Callback(self._completed)

    def _completed(self, t):
        import threading
        self.in_flight.discard(ctypes.addressof(t.contents))
        name, _, buf = self._live[ctypes.addressof(t.contents)]
        tr = t.contents
        # A control transfer's data follows its setup packet, whose first byte gives the direction.
        control = tr.type == TYPE_CONTROL
        reads = (buf.raw[0] if control else tr.endpoint) & 0x80
        data = ctypes.string_at(ctypes.addressof(buf) + (8 if control else 0), tr.actual_length) if reads else b""
        self.threads.add(threading.get_ident())
        self.done.append((name, tr.status, data))

    def submit(self, name: str, endpoint: int, data_or_length, timeout_ms: int = 0, kind: int = TYPE_BULK):
        """Submits a transfer (an int: an IN transfer of that many bytes) and returns it; rc asserted 0."""
        t = self.prepare(name, endpoint, data_or_length, timeout_ms, kind)
        assert self.resubmit(t) == 0
        return t

    def prepare(self, name, endpoint, data_or_length, timeout_ms=0, kind=TYPE_BULK):
        data = bytes(data_or_length)  # an int: that many zero bytes to read into
        buf = ctypes.create_string_buffer(data, len(data))
        t = self.usb.lib.libusb_alloc_transfer(0)
        tr = t.contents
        tr.dev_handle, tr.endpoint, tr.type, tr.timeout = self.handle, endpoint, kind, timeout_ms
        tr.length, tr.callback, tr.buffer = len(data), self._callback, ctypes.cast(buf, c_void_p)
        self._live[ctypes.addressof(tr)] = (name, t, buf)
        return t

    def cancel(self, t) -> int:
        return self.usb.lib.libusb_cancel_transfer(t)

    def resubmit(self, t) -> int:
        rc = self.usb.lib.libusb_submit_transfer(t)
        if rc == 0:
            self.in_flight.add(ctypes.addressof(t.contents))
        return rc

    def finish(self, seconds: float = 2.0) -> None:
        """Cancels what is still in flight and handles events until it has completed; frees all."""
        import time
        for address in self.in_flight:
            self.cancel(self._live[address][1])
        end = time.monotonic() + seconds
        while self.in_flight and time.monotonic() < end:
            self.usb.handle_events(0.01)
        self.free()

    def wait(self, count: int, seconds: float = 2.0) -> list[tuple[str, int, bytes]]:
        """Handles events until `count` completions are recorded (or the time is up)."""
        import time
        end = time.monotonic() + seconds
        while len(self.done) < count and time.monotonic() < end:
            self.usb.handle_events(0.05)
        return self.done

    def free(self):
        for _, t, _ in self._live.values():
            self.usb.lib.libusb_free_transfer(t)
        self._live.clear()

