"""The Windows build's bit-timing report, from the second build of the module (FDHOST_WINDOWS_REPORT)."""
import os
import subprocess
import sys
import textwrap

import pytest

import load_fdhost

VARIANT_DIR = os.environ.get("FDHOST_WINREPORT_MODULE_DIR")

SCRIPT = textwrap.dedent(
    """
    import sys, load_fdhost
    fdhost = load_fdhost.load(sys.argv[1])

    class Dev:
        def clear_halt(self, ep): pass
        def write(self, ep, data, timeout=None):
            sys.stdout.write("wire " + bytes(data).hex() + "\\n")
            return len(data)
        def read(self, ep, size, timeout=None):
            body = bytes([0x05, 0x00, 0x00, 0x00])
            crc = fdhost.CRC16_IBM(body)
            return bytes([0xA5]) + body + bytes([crc & 0xFF, crc >> 8, 0x5A])

    obj = fdhost.fdhost.__new__(fdhost.fdhost)
    obj.dev_handle = Dev()
    print("result", obj.USB_CMD_SETUP_BUARD(1, 1, 1, 63, 16, 15, 4))
    """
)


@pytest.mark.skipif(not VARIANT_DIR, reason="Windows-report build not configured (tools/test.sh builds it)")
def test_windows_build_reports_both_sampling_points():
    out = subprocess.run([sys.executable, "-c", SCRIPT, VARIANT_DIR], capture_output=True, text=True, check=True,
                         env=load_fdhost.env_for_child())
    lines = out.stdout.splitlines()
    assert lines[:4] == [
        "Set the arbitration domain baud rate: 1000000.0",
        "Set the data baud rate: 4000000.0",
        "Domain Sampling point: 80.0%",
        "Data Sampling point: 80.0%",
    ]
    assert "Sampling point: 80.0%" not in lines
    # The payload on the wire is the same as the Linux build's.
    assert lines[4].startswith("wire a5050900013f1002010f040201")
    assert lines[-1] == "result 0"
