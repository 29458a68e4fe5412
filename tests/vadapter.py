"""The tests' name for the virtual adapter's control client, which ships in the package as
fdhost_can.virtual (many tests and benchmarks import it under this name)."""
import sys
from pathlib import Path

_ROOT = str(Path(__file__).resolve().parents[1])
if _ROOT not in sys.path:
    sys.path.insert(0, _ROOT)

from fdhost_can.virtual import *  # noqa: E402,F401,F403
from fdhost_can.virtual import __all__  # noqa: E402,F401
