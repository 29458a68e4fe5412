"""The adapter core's own C++ tests against Debian's libusb on the real chain (the cases that need
the stand-in's control API skip themselves there)."""
import ctypes.util
import os
import subprocess

from usbip_rig import ROOT

TESTS = ROOT / "build" / "tests" / "cpp" / "fdh_adapter_tests"
SERIAL_0 = "14AA044B241402B10DDBDAFE448040BB"


def test_core_tests_on_the_system_libusb(adapters):
    env = dict(os.environ, FDHOST_LIBUSB=ctypes.util.find_library("usb-1.0"), FDHOST_TEST_SERIAL=SERIAL_0)
    done = subprocess.run([str(TESTS)], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-2000:]
    assert "[       OK ] CoreOnHardware.OpensTheAdapterTheRigNames" in done.stdout, done.stdout[-3000:]
