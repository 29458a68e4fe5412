"""The command line between the two attached adapters on the real chain, and the udev rule it writes:
with it a user who is not root opens an adapter; without it the user gets one clear line."""
import os
import subprocess
import time
from pathlib import Path

import pytest
from usbip_rig import ROOT, kernel_devices, run, udev_settle, wait_until

CLI = Path(__file__).with_name("fdhost_can_cli.py")
PYTHON = ROOT / ".venv" / "bin" / "python"
SERIAL_0 = "14AA044B241402B10DDBDAFE448040BB"
SERIAL_1 = "14AA044B241402B10DDBDAFE448040BC"
USER, PLUGDEV = 1500, 46  # a user of no name in the group plugdev; root holds everything else here


def cli(*args, user=False, timeout=120, **popen):
    argv = [str(PYTHON), str(CLI), *map(str, args)]
    if user:
        argv = ["setpriv", f"--reuid={USER}", f"--regid={USER}", f"--groups={PLUGDEV}", "--"] + argv
    env = dict(os.environ, HOME="/tmp" if user else os.environ.get("HOME", "/tmp"))
    if popen:
        return subprocess.Popen(argv, env=env, text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)
    return subprocess.run(argv, env=env, text=True, capture_output=True, timeout=timeout)


def test_list_shows_both_adapters(adapters):
    done = cli("list")
    assert done.returncode == 0, done.stderr
    for serial in (SERIAL_0, SERIAL_1):
        dev = kernel_devices(serial)[0]
        line = next((l for l in done.stdout.splitlines() if serial in l), None)
        assert line is not None, done.stdout
        assert f"{dev.busnum}:{dev.devnum}" in line or f"{dev.busnum:03d}:{dev.devnum:03d}" in line, line


def test_dump_sees_what_send_sends(adapters):
    dump = cli("dump", SERIAL_1, "-n", 3, stdin=subprocess.DEVNULL)
    try:
        time.sleep(8)  # dump opens its adapter (an interpreter start and 1.2 s of settling)
        sent = cli("send", SERIAL_0, "123#DEADBEEF", "12345678#00.11.22", "123#R3")
        assert sent.returncode == 0, sent.stderr
        out, err = dump.communicate(timeout=60)
    finally:
        if dump.poll() is None:
            dump.kill()
    name = SERIAL_1[-15:]
    assert out.splitlines() == [f"  {name}  123   [4]  DE AD BE EF",
                                f"  {name}  12345678   [3]  00 11 22",
                                f"  {name}       123   [3]  remote request"], out + err


def test_gen_feeds_dump(adapters):
    dump = cli("dump", SERIAL_1, "-n", 200, "-L", stdin=subprocess.DEVNULL)
    try:
        time.sleep(8)
        gen = cli("gen", SERIAL_0, "-n", 200, "-g", 1, "-I", "i", "-L", 8, "-D", "i")
        assert gen.returncode == 0, gen.stderr
        out, err = dump.communicate(timeout=60)
    finally:
        if dump.poll() is None:
            dump.kill()
    lines = out.splitlines()
    assert len(lines) == 200, out + err
    # -D i: an incrementing counter, little-endian, in bytes 0-7.
    counters = [int.from_bytes(bytes.fromhex(l.split("#")[1]), "little") for l in lines]
    assert counters == list(range(counters[0], counters[0] + 200)), lines[:5]


@pytest.fixture
def no_rule():
    rule = Path("/etc/udev/rules.d/70-fdhost.rules")
    rule.unlink(missing_ok=True)
    yield rule
    rule.unlink(missing_ok=True)
    run("udevadm", "control", "--reload-rules", check=False)
    run("udevadm", "trigger", "--subsystem-match=usb", check=False)
    udev_settle()


def test_udev_rule_lets_a_user_open_the_adapter(adapters, no_rule):
    denied = cli("send", SERIAL_0, "123#11", user=True)
    assert denied.returncode == 1
    assert denied.stderr.count("\n") == 1 and "Traceback" not in denied.stderr, denied.stderr
    dev = kernel_devices(SERIAL_0)[0]
    assert denied.stderr.startswith(f"fdhost-can send: cannot open {SERIAL_0}: fdhost adapter {SERIAL_0}: adapter "
                                    f"{SERIAL_0} (bus {dev.busnum}, address {dev.devnum}) cannot be opened by this "
                                    "user: LIBUSB_ERROR_ACCESS (access denied: insufficient permissions)"), denied.stderr
    listed = cli("list", user=True)
    assert listed.returncode == 0 and SERIAL_0 in listed.stdout and "no access for this user" in listed.stdout, \
        listed.stdout + listed.stderr
    installed = cli("udev", "--install")
    assert installed.returncode == 0, installed.stderr
    assert no_rule.exists()
    udev_settle()
    dev = kernel_devices(SERIAL_0)[0]
    node = Path(f"/dev/bus/usb/{dev.busnum:03d}/{dev.devnum:03d}")
    assert wait_until(lambda: node.stat().st_gid == PLUGDEV, 10), oct(node.stat().st_mode)
    allowed = cli("send", SERIAL_0, "123#11", user=True)
    assert allowed.returncode == 0, allowed.stderr
