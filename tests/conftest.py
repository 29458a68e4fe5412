"""Test-session set-up: make the repository importable, and load the module under test from another
build when FDHOST_MODULE_DIR names one (the sanitised build, for instance)."""
import importlib.util
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))
TESTS = Path(__file__).resolve().parent
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))


def _load_module_from(directory: str) -> None:
    import sysconfig

    path = Path(directory) / ("fdhost" + sysconfig.get_config_var("EXT_SUFFIX"))
    spec = importlib.util.spec_from_file_location("src.fdhost", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["src.fdhost"] = module
    spec.loader.exec_module(module)
    import src

    src.fdhost = module


if os.environ.get("FDHOST_MODULE_DIR"):
    _load_module_from(os.environ["FDHOST_MODULE_DIR"])
