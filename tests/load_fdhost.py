"""The one way tests, benchmarks and the Python processes they start load the module under test:
`src.fdhost` from the in-place build, or, when $FDHOST_MODULE_DIR (or the argument) names the
directory of another build (the sanitised one, the Windows-report one), the module built there,
under the same name. Importing this puts the repository and tests/ on sys.path.

With $FDHOST_TESTS_WITHOUT_EXTENSION=1 nothing is loaded: a run of the python-can Bus and the command
line on an interpreter the extension is not built for (another version against the same abi3
fdhost_can._native, a free-threaded one), which must then not need it."""
import importlib
import importlib.util
import os
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
TESTS = ROOT / "tests"
for _path in (str(TESTS), str(ROOT)):
    if _path not in sys.path:
        sys.path.insert(0, _path)

NAME = "src.fdhost"
WITHOUT_EXTENSION = os.environ.get("FDHOST_TESTS_WITHOUT_EXTENSION") == "1"


def load(directory=None):
    """The module under test, loaded on the first call (later calls return the same module); None
    in a run without the extension."""
    if WITHOUT_EXTENSION:
        return None
    if NAME in sys.modules:
        return sys.modules[NAME]
    directory = directory or os.environ.get("FDHOST_MODULE_DIR")
    if not directory:
        return importlib.import_module(NAME)
    path = Path(directory) / ("fdhost" + sysconfig.get_config_var("EXT_SUFFIX"))
    spec = importlib.util.spec_from_file_location(NAME, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[NAME] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        del sys.modules[NAME]
        raise
    import src

    src.fdhost = module
    return module


def env_for_child(env=None):
    """The environment for a Python process a test starts, in which `import load_fdhost` works."""
    env = dict(os.environ if env is None else env)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(TESTS), env.get("PYTHONPATH")) if p)
    return env
