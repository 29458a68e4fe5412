"""The ``fdhost`` extension module: the installed top-level ``fdhost`` beside this package, or in a
source checkout the in-place build ``src.fdhost``. Loaded on first use, not on import, so that a
program can still choose pyusb's libusb (the virtual adapter's, say) after importing python-can.
"""
from __future__ import annotations

import sys
from types import ModuleType
from typing import Any

import can

from ._signals import import_keeping_sigint

_module: ModuleType | None = None


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
