"""``fdhost-usbip``: the virtual adapter's devices exported as USB/IP devices on 127.0.0.1, for the
kernel's vhci-hcd (``usbip attach -r 127.0.0.1 -b 1-1``); see ``fdhost-usbip --help`` and the
virtual adapter's README.

This is only the launcher: the server is a program of its own, shipped in this package beside the
virtual adapter library (``fdhost_can/_vadapter/``), or the build's ``build/vadapter/`` in a source
checkout; ``$FDHOST_USBIP`` names another.
"""
from __future__ import annotations

import os
import sys
from pathlib import Path

from .virtual import vadapter_file

PROGRAM_NAME = "fdhost-usbip"


def program_path() -> Path:
    """The server program: $FDHOST_USBIP, else the one installed with this package, else the
    build's build/vadapter/ of a source checkout."""
    return vadapter_file(PROGRAM_NAME, "FDHOST_USBIP")


def main() -> None:
    """Replaces this process with the server, its arguments passed on."""
    path = program_path()
    if not path.exists():
        sys.exit(f"{PROGRAM_NAME}: the server program is missing: {path}")
    os.execv(path, [str(path), *sys.argv[1:]])


if __name__ == "__main__":
    main()
