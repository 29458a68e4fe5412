"""The workers' cost on the real chain beside the same run on the stand-in, in the same guest: reader
wake-ups per second and worker CPU per frame, idle and with the bus busy. Figures, not limits (the
guest is emulated, so only the ratios mean something); they are printed at the end of the run."""
import json
import subprocess
import sys

import pytest
from usbip_rig import BUS, ROOT

SCRIPT = ROOT / "bench" / "rig_cost.py"
SERIAL_0 = "14AA044B241402B10DDBDAFE448040BB"
SECONDS = 5
RATE = 5000  # frames/s from the server's generator while busy


class Child:
    def __init__(self, *args):
        # Its answers come on standard error; the object's own lines on standard output are not needed.
        self.proc = subprocess.Popen([sys.executable, str(SCRIPT), *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, bufsize=1)
        line = self.proc.stderr.readline()
        assert line.strip() == "ready", f"rig_cost.py {' '.join(args)}: {line}{self.proc.stderr.read()}"

    def measure(self, what):
        self.proc.stdin.write(f"{what} {SECONDS}\n")
        return json.loads(self.proc.stderr.readline())

    def close(self):
        self.proc.stdin.write("quit\n")
        self.proc.stdin.close()
        self.proc.wait(30)


def test_cost_real_chain_beside_stand_in(adapters, rig_report):
    real, standin = Child("real", SERIAL_0), Child("standin", BUS)
    rows = {}
    try:
        for name, child in (("real chain", real), ("stand-in", standin)):
            rows[name, "idle"] = child.measure("idle")
        assert adapters.command(f"gen 1-3 {RATE},dlc=8,fd=1").startswith("ok")
        for name, child in (("real chain", real), ("stand-in", standin)):
            rows[name, "busy"] = child.measure("busy")
    finally:
        adapters.command("gen 1-3 off")
        real.close()
        standin.close()
    for key in rows:
        assert rows[key]["wall"] > 0
    lines = [f"workers' cost, idle and with {RATE} frames/s ({SECONDS} s each, emulated guest):",
             f"{'':12s} {'idle wake-ups/s':>16s} {'idle CPU %':>11s} {'busy wake-ups/s':>16s} "
             f"{'busy CPU us/frame':>18s} {'frames':>7s}"]
    for name in ("real chain", "stand-in"):
        idle, busy = rows[name, "idle"], rows[name, "busy"]
        per_frame = (busy["reader_cpu"] + busy["heartbeat_cpu"]) / 100 * busy["wall"] / max(busy["frames"], 1) * 1e6
        lines.append(f"{name:12s} {idle['reader_wakeups']:16.1f} {idle['reader_cpu'] + idle['heartbeat_cpu']:11.2f} "
                     f"{busy['reader_wakeups']:16.1f} {per_frame:18.1f} {busy['frames']:7d}")
    r, s = rows["real chain", "busy"], rows["stand-in", "busy"]
    lines.append(f"ratio real/stand-in: idle wake-ups "
                 f"{rows['real chain', 'idle']['reader_wakeups'] / max(rows['stand-in', 'idle']['reader_wakeups'], 0.01):.1f}x, "
                 f"busy CPU per frame {((r['reader_cpu'] + r['heartbeat_cpu']) / max(r['frames'], 1)) / max((s['reader_cpu'] + s['heartbeat_cpu']) / max(s['frames'], 1), 1e-9):.2f}x")
    rig_report.extend(lines)
