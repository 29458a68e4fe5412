"""Tests on the real kernel USB stack, inside the rig's guest (tools/usb-rig/run.sh sets FDHOST_RIG=1
there). fdhost-usbip serves three virtual adapters on the virtual CAN bus "rig"; 1-1 and 1-2 are
attached through vhci-hcd, so the module, pyusb and Debian's libusb reach them through usbfs; 1-3
stays with the server, where its traffic generator feeds the bus. Anywhere else these tests are
skipped."""
import os

import pytest

IN_RIG = os.environ.get("FDHOST_RIG") == "1"
HERE = os.path.dirname(__file__)


if IN_RIG:
    import fdhost_can_cli  # noqa: F401  registers the fdhost interface with python-can, as installing would


def pytest_collection_modifyitems(config, items):
    if IN_RIG:
        return
    skip = pytest.mark.skip(reason="runs in the real-USB rig's guest (tools/usb-rig/run.sh)")
    for item in items:
        if str(item.fspath).startswith(HERE):
            item.add_marker(skip)


@pytest.fixture(scope="session")
def server():
    from usbip_rig import BUS, UsbipServer

    srv = UsbipServer(adapters=3, bus=BUS)
    try:
        for busid in ("1-1", "1-2"):
            srv.attach(busid)
        yield srv
    finally:
        srv.stop()


@pytest.fixture
def adapters(server):
    """The two attached adapters, attached again if a test unplugged one, with their serials."""
    from usbip_rig import kernel_devices, vhci_ports

    for busid in ("1-1", "1-2"):
        if busid not in vhci_ports() or not kernel_devices(server.serial(busid)):
            server.wait_gone(busid)
            server.attach(busid)
    return server


_report: list[str] = []


@pytest.fixture(scope="session")
def rig_report():
    """Lines a test wants shown at the end of the run (figures, not checks)."""
    return _report


def pytest_terminal_summary(terminalreporter):
    if _report:
        terminalreporter.section("real-USB rig figures")
        for line in _report:
            terminalreporter.write_line(line)
