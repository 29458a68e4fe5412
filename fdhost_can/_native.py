"""The ``fdhost`` extension module: the installed top-level ``fdhost`` beside this package, or in a
source checkout the in-place build ``src.fdhost``. Loaded on first use, not on import, so that a
program can still choose pyusb's libusb (the virtual adapter's, say) after importing python-can.
"""
from __future__ import annotations

import sys
import threading
from collections.abc import Sequence
from types import ModuleType
from typing import Any, Optional, Protocol

import can

from ._signals import import_keeping_sigint

_module: ModuleType | None = None

# One frame of the native receive queue:
# (timestamp_s, id, extended, remote, fd, brs, esi, rx, dlc, data).
ReceivedFrame = tuple[float, int, bool, bool, bool, bool, bool, bool, int, bytes]


class NativeBus(Protocol):
    """What the Bus uses of an ``fdhost`` object opened with a receive queue. The extension is
    found at run time (installed or in-place build), so its generated stub cannot be imported
    here; the names and types follow that stub."""

    rec_thread: Optional[threading.Thread]
    rec_thread2: Optional[threading.Thread]

    def close(self) -> None: ...

    def send_message(self, arbitration_id: int, is_extended_id: bool, is_remote_frame: bool, is_fd: bool,
                     bitrate_switch: bool, data: bytes | bytearray | Sequence[int], length: int,
                     timeout: float = -1.0) -> None: ...

    def recv_message(self, timeout: float = -1.0) -> Optional[ReceivedFrame]: ...

    def set_receive_filters(self, rules: Optional[list[tuple[int, int, Optional[bool], bool]]]) -> None: ...

    @property
    def receive_dropped(self) -> int: ...

    def receive_fileno(self) -> int: ...


def load() -> ModuleType:
    """The extension module; raises ``can.CanInitializationError`` when it cannot be imported."""
    global _module
    if _module is None:
        _module = _import()
    return _module


def _import() -> ModuleType:
    # A test session that loaded a particular build (a sanitised one, say) as src.fdhost means that one.
    if "src.fdhost" in sys.modules:
        return sys.modules["src.fdhost"]
    errors = []
    for name in ("fdhost", "src.fdhost"):
        try:
            return import_keeping_sigint(name)
        except ModuleNotFoundError as e:
            if e.name not in (name, name.partition(".")[0]):
                raise can.CanInitializationError(f"the fdhost extension cannot be imported: {e}") from e
            errors.append(name)
        except ImportError as e:
            raise can.CanInitializationError(f"the fdhost extension cannot be imported: {e}") from e
    raise can.CanInitializationError(f"the fdhost extension is not installed (tried {', '.join(errors)})")


def require(module: ModuleType, name: str) -> Any:
    """An attribute of the extension the Bus needs, or a clear error naming what this build lacks."""
    try:
        return getattr(module, name)
    except AttributeError:
        raise can.CanInitializationError(
            f"this build of the fdhost extension has no {name}; rebuild it with python-can support"
        ) from None
