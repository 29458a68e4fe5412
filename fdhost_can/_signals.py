"""Importing the extension without giving up the process's Ctrl-C handling.

The extension installs its own SIGINT handler when it is imported (it only clears its run flag), so
a python-can tool such as ``can.logger`` would no longer end on Ctrl-C. During our import the
extension's ``signal.signal(SIGINT, ...)`` call is answered without installing anything. That keeps
whatever handler the process had and, unlike restoring it afterwards, also works when the first
import happens in a thread other than the main one, where installing a handler raises and the
extension cannot be imported a second time.
"""
from __future__ import annotations

import importlib
import signal
import threading
from types import ModuleType
from typing import Any

_lock = threading.Lock()


def import_keeping_sigint(name: str) -> ModuleType:
    """``importlib.import_module(name)`` with SIGINT left as it was; other signals pass through."""
    with _lock:
        importer = threading.get_ident()
        before = signal.getsignal(signal.SIGINT)
        real = signal.signal

        def guarded(signum: int, handler: Any) -> Any:
            if signum == signal.SIGINT and threading.get_ident() == importer:
                return before
            return real(signum, handler)

        signal.signal = guarded  # type: ignore[assignment]  # stands in for it during the import only
        try:
            return importlib.import_module(name)
        finally:
            signal.signal = real
