"""The USB/IP side of the rig's guest: fdhost-usbip on the guest's loopback, and its devices attached
to the real kernel through vhci-hcd with the usbip tool, as a user with vhci-hcd would do it."""
from __future__ import annotations

import os
import re
import select
import signal
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SERVER = ROOT / "build" / "vadapter" / "fdhost-usbip"
SYSFS_USB = Path("/sys/bus/usb/devices")
VID, PID = "34b7", "6877"
BUS = "rig"  # the virtual CAN bus of the rig's adapters, of both front doors


def wait_until(condition, seconds, step=0.05):
    """condition()'s first true value within ``seconds``, else None."""
    end = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > end:
            return value or None
        time.sleep(step)


def run(*argv, check=True, timeout=60):
    return subprocess.run([str(a) for a in argv], capture_output=True, text=True, check=check, timeout=timeout)


@dataclass(frozen=True)
class UsbDevice:
    """A device the kernel enumerated, as sysfs shows it."""

    path: Path
    busnum: int
    devnum: int
    serial: str

    @property
    def location(self) -> str:
        """How the module names it: device:<bus>,<address>."""
        return f"device:{self.busnum},{self.devnum}"


def kernel_devices(serial: str | None = None) -> list[UsbDevice]:
    """Adapters the kernel has enumerated and configured (interface 0 present), optionally by serial."""
    found = []
    for d in SYSFS_USB.glob("[0-9]*-*"):
        if ":" in d.name:
            continue
        try:
            if (d / "idVendor").read_text().strip() != VID or (d / "idProduct").read_text().strip() != PID:
                continue
            sn = (d / "serial").read_text().strip() if (d / "serial").exists() else ""
            if not (d / f"{d.name}:1.0").is_dir():
                continue
            found.append(UsbDevice(d, int((d / "busnum").read_text()), int((d / "devnum").read_text()), sn))
        except OSError:  # gone while looking
            continue
    return [f for f in found if serial is None or f.serial == serial]


def vhci_ports() -> dict[str, int]:
    """busid on the server -> vhci port, for the devices attached now (from `usbip port`)."""
    ports, port = {}, None
    for line in run("usbip", "port", check=False).stdout.splitlines():
        if m := re.match(r"Port (\d+): <Port in Use>", line):
            port = int(m.group(1))
        elif port is not None and (m := re.search(r"-> usbip://[^/]+/(\S+)", line)):
            ports[m.group(1)] = port
            port = None
    return ports


def udev_settle():
    run("udevadm", "settle", "-t", "20", check=False)


class UsbipServer:
    """fdhost-usbip as a child process, steered through its standard input."""

    def __init__(self, adapters=3, bus=None, other=0, port=3240, config=None):
        argv = [SERVER, "--adapters", adapters, "--port", port]
        if bus:
            argv += ["--bus", bus]
        if other:
            argv += ["--other", other]
        if config:
            argv += ["--config", config]
        self.port = port
        self.proc = subprocess.Popen([str(a) for a in argv], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, bufsize=1)
        line = self._line(30)
        if "listening" not in line:
            self.stop()
            raise RuntimeError(f"fdhost-usbip did not start: {line!r} {self.proc.stderr.read()}")
        self.serials = dict(re.findall(r"(\d+-\d+) ([0-9A-Fa-f]+)", line))

    def _line(self, seconds):
        ready, _, _ = select.select([self.proc.stdout], [], [], seconds)
        return self.proc.stdout.readline().strip() if ready else ""

    def command(self, text: str, seconds: float = 10) -> str:
        """One control command; its answer line."""
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return self._line(seconds)

    def counters(self, busid: str) -> dict[str, int]:
        """The model's counters of the adapter at ``busid``."""
        return {k: int(v) for k, v in re.findall(r"(\w+)=(-?\d+)", self.command(f"counters {busid}"))}

    def counter(self, busid: str, name: str) -> int:
        return self.counters(busid)[name]

    def serial(self, busid: str) -> str:
        return self.serials[busid]

    def attach(self, busid: str, seconds: float = 60) -> UsbDevice:
        """Attached through vhci-hcd, enumerated, configured and settled by udev."""
        run("usbip", "--tcp-port", self.port, "attach", "-r", "127.0.0.1", "-b", busid)
        dev = wait_until(lambda: kernel_devices(self.serial(busid)), seconds)
        if not dev:
            raise RuntimeError(f"{busid} attached but not enumerated within {seconds} s")
        udev_settle()
        return dev[0]

    def detach(self, busid: str):
        """The host-side unplug: `usbip detach` of the busid's vhci port."""
        port = vhci_ports().get(busid)
        if port is not None:
            run("usbip", "detach", "-p", port)

    def drop(self, busid: str) -> str:
        """The device-side unplug: the server drops the connection."""
        return self.command(f"drop {busid}")

    def wait_gone(self, busid: str, seconds: float = 10) -> bool:
        return bool(wait_until(lambda: not kernel_devices(self.serial(busid)) and busid not in vhci_ports(),
                               seconds))

    def stop(self):
        for busid in list(vhci_ports()):
            run("usbip", "detach", "-p", vhci_ports()[busid], check=False)
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        udev_settle()
