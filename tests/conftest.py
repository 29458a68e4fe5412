"""Test-session set-up: the module under test is loaded once, before any test file imports it as
`src.fdhost` (see load_fdhost.py)."""
import load_fdhost

load_fdhost.load()
