"""Test-session set-up: the module under test is loaded once, before any test file imports it as
`src.fdhost` (see load_fdhost.py); the virtual buses the tests plug are kept apart from those of
any other run of the user's (a `fdhost-can dump virtual:demo` left open, another test run)."""
import os
import uuid

import load_fdhost

os.environ.setdefault("FDHOST_VADAPTER_NAMESPACE", f"tests-{uuid.uuid4().hex[:12]}")
load_fdhost.load()
