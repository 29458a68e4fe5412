"""`list`: adapters found through the adapter core (on the virtual adapter library, named as the
hardware library by FDHOST_LIBUSB), their state from sysfs."""
import ctypes.util
import os
import re
import subprocess
import sys
import uuid
from pathlib import Path

import pytest
from cli_helpers import run_cli

from fdhost_can.adapters import usage


@pytest.fixture
def vadapter(monkeypatch):
    from vadapter import VirtualAdapter, library_path

    if not library_path().exists():
        pytest.skip("the virtual adapter is not built (bash tools/setup.sh)")
    monkeypatch.setenv("FDHOST_LIBUSB", str(library_path()))
    vad = VirtualAdapter()
    yield vad
    vad.configure("")


def test_list_shows_adapters_sorted_by_location(vadapter, capsys):
    vadapter.configure("adapters=3;serials=A1,B2,C3;bus=3:4,1:5,1:2;other=2;a2.fault=nosn")
    assert run_cli("list") == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "adapters:"
    assert lines[1].split() == ["SERIAL", "BUS:ADDRESS", "STATE"]
    rows = [re.split(r"\s{2,}", line.strip()) for line in lines[2:5]]
    assert [r[1] for r in rows] == ["1:2", "1:5", "3:4"]
    assert [r[0] for r in rows[1:]] == ["B2", "A1"]
    assert rows[0][0] == "(no serial)"
    assert all(r[2] == "unknown" for r in rows[1:])  # no sysfs for virtual adapters
    assert lines[5:] == ["virtual buses in use:", "  none"]


def test_list_shows_the_virtual_buses_in_use(vadapter, capsys, monkeypatch):
    monkeypatch.setenv("FDHOST_VADAPTER_NAMESPACE", f"list-{uuid.uuid4().hex[:12]}")  # apart from other runs
    vadapter.configure("adapters=0")
    first = vadapter.plug("listed-a")
    vadapter.plug("listed-a")
    vadapter.plug("listed-b")
    try:
        assert run_cli("list") == 0
        lines = capsys.readouterr().out.splitlines()
        shown = lines[lines.index("virtual buses in use:") + 1:]
        assert shown == ["  virtual:listed-a  2 adapters", "  virtual:listed-b  1 adapter"]
    finally:
        vadapter.configure("")
    assert vadapter.can_buses() == {} and first == 0


def make_device(sysfs, name, drivers):
    (sysfs / name).mkdir()
    for i, driver in enumerate(drivers):
        interface = sysfs / f"{name}:1.{i}"
        interface.mkdir()
        if driver:
            os.symlink(f"../../../bus/usb/drivers/{driver}", interface / "driver")


@pytest.mark.parametrize("drivers, state", [
    ([None, None, None], "free"),
    ([None, "usbfs", None], "in use"),
    (["usbfs", "usbfs", "usbfs"], "in use"),
    (["cdc_acm", None, None], "in use (kernel driver cdc_acm)"),
])
def test_state_from_sysfs(tmp_path, drivers, state):
    make_device(tmp_path, "1-2.4", drivers)
    make_device(tmp_path, "1-2", ["usbfs"])  # the hub above it does not count
    assert usage(1, (2, 4), tmp_path) == state


@pytest.mark.parametrize("bus, ports", [(1, None), (1, ()), (2, (2, 4))])
def test_state_unknown_without_sysfs_entry(tmp_path, bus, ports):
    make_device(tmp_path, "1-2.4", ["usbfs"])
    assert usage(bus, ports, tmp_path) == "unknown"


def test_list_names_the_limit_of_eight(vadapter, capsys):
    vadapter.configure("adapters=9")
    assert run_cli("list") == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[11] == "  (the fdhost extension opens only the first 8 of these, by bus and address)"


REGISTERED = ("import sys, can, can.util; can.interfaces.BACKENDS['fdhost'] = ('fdhost_can.bus', 'FdhostBus'); "
              "can.util.VALID_INTERFACES |= {'fdhost'}; from fdhost_can.cli import main; sys.exit(main(sys.argv[1:]))")


@pytest.mark.parametrize("argv, status, line", [
    (["list"], 0, "  (cannot be listed: {lib} ($FDHOST_VADAPTER_LIB) is not the virtual adapter library (it has no vad_configure))"),
    (["send", "virtual:x", "123#11"], 1, "fdhost-can send: cannot open virtual:x: fdhost virtual bus 'x': the virtual adapter "
                                         "cannot be used: {lib} ($FDHOST_VADAPTER_LIB) is not the virtual adapter "
                                         "library (it has no vad_configure)"),
])
def test_another_library_named_as_the_virtual_adapter_is_one_line(argv, status, line):
    lib = ctypes.util.find_library("c")
    env = dict(os.environ, FDHOST_VADAPTER_LIB=lib, PYTHONPATH=str(Path(__file__).resolve().parents[2]))
    done = subprocess.run([sys.executable, "-c", REGISTERED, *argv], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == status and "Traceback" not in done.stderr
    assert line.format(lib=lib) in (done.stdout + done.stderr).splitlines()
