"""`list`: adapters found through the adapter core (on the virtual adapter library, named as the
hardware library by FDHOST_LIBUSB), their state from sysfs."""
import os
import re
import uuid

import pytest
from cli_helpers import run_cli

from fdhost_can.cli.listing import usage


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
