"""Test-session set-up: the module under test is loaded once, before any test file imports it as
`src.fdhost` (see load_fdhost.py); the virtual buses the tests plug are kept apart from those of
any other run of the user's (a `fdhost-can dump virtual:demo` left open, another test run). On a
free-threaded interpreter every test must leave the GIL disabled."""
import os
import sys
import sysconfig
import uuid

import pytest

import load_fdhost

os.environ.setdefault("FDHOST_VADAPTER_NAMESPACE", f"tests-{uuid.uuid4().hex[:12]}")
load_fdhost.load()


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture(autouse=True)
def gil_stays_disabled():
    """Importing a module that does not declare it runs without the GIL turns the GIL on for good:
    the tests would then pass without showing anything about free-threading."""
    yield
    if FREE_THREADED:
        assert not sys._is_gil_enabled(), "a module imported during this test enabled the GIL"


def pytest_sessionfinish(session):
    # A run without the extension (see load_fdhost.py): nothing may have imported it behind its back.
    if load_fdhost.WITHOUT_EXTENSION:
        imported = {"fdhost", load_fdhost.NAME} & set(sys.modules)
        if imported:
            print(f"\nimported the extension in a run without it: {sorted(imported)}", file=sys.stderr)
            session.exitstatus = pytest.ExitCode.TESTS_FAILED
