"""The ``fdhost`` extension module (the class ``fdhost`` with its records and tables): the installed
top-level ``fdhost`` beside this package, or in a source checkout the in-place build ``src.fdhost``.
The Bus and the command line do not use it (they run on ``fdhost_can._native``); this is for programs
and tests that want the extension through the package. Importing it installs its SIGINT handler, as
the extension does wherever it is imported.
"""
from __future__ import annotations

import importlib
import sys
from types import ModuleType

_module: ModuleType | None = None


def load() -> ModuleType:
    """The extension module, imported on first use; ImportError when it is neither installed nor built."""
    global _module
    if _module is None:
        _module = _import()
    return _module


def _import() -> ModuleType:
    # A test session that loaded a particular build (a sanitised one, say) as src.fdhost means that one.
    if "src.fdhost" in sys.modules:
        return sys.modules["src.fdhost"]
    tried = []
    for name in ("fdhost", "src.fdhost"):
        try:
            return importlib.import_module(name)
        except ModuleNotFoundError as e:
            if e.name not in (name, name.partition(".")[0]):
                raise
            tried.append(name)
    raise ModuleNotFoundError(f"the fdhost extension is not installed (tried {', '.join(tried)})", name="fdhost")
