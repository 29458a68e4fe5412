"""pyusb on the virtual adapter: for programs (and the ``fdhost`` extension) that reach adapters
through pyusb rather than through a Bus. pyusb keeps the first libusb it loads for the whole process.

This module reads which library pyusb loaded from pyusb's backend module (``usb.backend.libusb1._lib``,
a name pyusb keeps private); the Bus and the command line never import it.
"""
from __future__ import annotations

import ctypes
import os
from typing import Any

from .virtual import VadError, _not_the_library, is_virtual, library_path


def pyusb_library() -> ctypes.CDLL | None:
    """The libusb library pyusb's libusb1 backend has loaded in this process (a ctypes library),
    or None while it has loaded none."""
    import usb.backend.libusb1 as libusb1

    lib: ctypes.CDLL | None = libusb1._lib
    return lib


def use_with_pyusb(path: os.PathLike[str] | str | None = None) -> Any:
    """Makes pyusb's libusb1 backend run on the virtual adapter and returns that backend.

    pyusb keeps the first libusb it loads for the whole process (also for later default
    usb.core.find() calls), so this must run before anything loads the real one; VadError says
    which one pyusb uses otherwise.
    """
    import usb.backend.libusb1 as libusb1

    lib = str(path or library_path())
    if pyusb_library() is None:  # pyusb takes whatever it is given: the library is checked first
        try:
            probe = ctypes.CDLL(lib)
        except OSError as e:
            raise VadError(f"the virtual adapter library cannot be loaded: {e}") from None
        if not is_virtual(probe):
            raise VadError(_not_the_library(lib))
    backend = libusb1.get_backend(find_library=lambda _name: lib)
    if backend is None or not is_virtual(pyusb_library()):
        loaded = getattr(pyusb_library(), "_name", None)
        raise VadError(f"pyusb uses {loaded!r}, not the virtual adapter at {lib}")
    return backend
