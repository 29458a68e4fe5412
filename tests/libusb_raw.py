"""The libusb-1.0 C interface of the virtual adapter straight through ctypes, for tests that need
what pyusb hides: raw return codes, errno, the asynchronous interface and its event handling."""
from __future__ import annotations

import ctypes
from ctypes import POINTER, byref, c_int, c_uint, c_uint8, c_void_p

from vadapter import library_path

ERROR_PIPE, ERROR_NO_DEVICE, ERROR_TIMEOUT = -9, -4, -7


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
