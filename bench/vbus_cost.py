"""What a virtual CAN bus costs per frame: two adapters on one saturated bus, each with a reader
making 1 ms reads of 0x81 straight through ctypes, one adapter generating the traffic.

    python3 bench/vbus_cost.py [--seconds 3] [--gen saturate,dlc=8,fd=1] [--flush-us 0] [--host-traffic]

Three set-ups: both adapters in one process on an in-process bus (canbus_local=1), both in one
process on a shared bus, and one adapter in each of two processes on a shared bus. For each
process: CPU time (all its threads: readers, the library's bus listener and transfer thread)
per frame the bus carried, and the frames each adapter received. With --host-traffic the traffic
is 8-byte FD frames the host writes to 0x03 back to back (a writer thread, blocking while the
adapter's transmit queue is full) instead of the generator's: every frame queued then wakes the
other process.
"""
import argparse
import json
import os
import subprocess
import sys
import threading
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from libusb_raw import Libusb  # noqa: E402
from vadapter import VirtualAdapter, tx_record  # noqa: E402

WARM_UP = 0.3
LINGER = 0.5  # the other process may still be measuring


def readers(usb, handles, stop):
    def read(handle):
        while not stop.is_set():
            usb.bulk(handle, 0x81, 51200, timeout=1)

    threads = [threading.Thread(target=read, args=(h,), daemon=True) for h in handles]
    for t in threads:
        t.start()
    return threads


def role(args):
    """One process: plugs `--adapters` adapters onto the bus, reads them all, reports its figures."""
    vad, usb = VirtualAdapter(), Libusb()
    vad.configure("adapters=0")
    items = f"capture=1;flush_us={args.flush_us}" + (";canbus_local=1" if args.local else "")
    adapters = [vad.plug(args.bus, items) for _ in range(args.adapters)]
    handles = [usb.open(*loc) for loc in usb.device_locations()]
    stop = threading.Event()
    threads = readers(usb, handles, stop)
    print("ready", flush=True)
    if args.generate and args.host_traffic:
        record = tx_record(0x123, bytes(8))

        def write():
            while not stop.is_set():
                usb.bulk(handles[0], 0x03, record, timeout=100)

        threads.append(threading.Thread(target=write, daemon=True))
        threads[-1].start()
    elif args.generate:
        vad.generator(args.gen, adapter=adapters[0])
    while vad.counter("rx_frames", adapters[0]) == 0:
        time.sleep(0.01)
    time.sleep(WARM_UP)
    c0, b0 = time.process_time(), vad.counter("bus_frames", adapters[0])
    r0 = [vad.counter("rx_frames", a) for a in adapters]
    time.sleep(args.seconds)
    c1, b1 = time.process_time(), vad.counter("bus_frames", adapters[0])
    r1 = [vad.counter("rx_frames", a) for a in adapters]
    time.sleep(LINGER)
    stop.set()
    for t in threads:
        t.join()
    print(json.dumps({"cpu": c1 - c0, "carried": b1 - b0, "received": [b - a for a, b in zip(r0, r1)]}), flush=True)


def run(args, bus, adapters, generate, local):
    cmd = [sys.executable, __file__, "--role", "--bus", bus, "--adapters", str(adapters), "--seconds",
           str(args.seconds), "--gen", args.gen, "--flush-us", str(args.flush_us)]
    cmd += ["--host-traffic"] if args.host_traffic else []
    return subprocess.Popen(cmd + (["--generate"] if generate else []) + (["--local"] if local else []),
                            stdout=subprocess.PIPE, text=True)


def started(p):
    assert p.stdout.readline().strip() == "ready"
    return p


def report(name, p, seconds):
    r = json.loads(p.stdout.readline())
    p.wait()
    per_frame = 1e6 * r["cpu"] / r["carried"]
    print(f"  {name:34} {r['carried'] / seconds:8.0f} frames/s carried, received {r['received']}, "
          f"CPU {100 * r['cpu'] / seconds:5.1f} % of a core = {per_frame:5.2f} us per frame")
    return per_frame


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--gen", default="saturate,dlc=8,fd=1")
    ap.add_argument("--flush-us", type=int, default=0, help="the adapters hold frames this long (batching)")
    ap.add_argument("--host-traffic", action="store_true", help="the host's frames instead of the generator's")
    ap.add_argument("--role", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--bus", help=argparse.SUPPRESS)
    ap.add_argument("--adapters", type=int, default=1, help=argparse.SUPPRESS)
    ap.add_argument("--generate", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--local", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.role:
        return role(args)
    os.environ["FDHOST_VADAPTER_NAMESPACE"] = f"bench{os.getpid()}"  # nothing else meets these buses
    traffic = "host writes, 8-byte FD frames" if args.host_traffic else f"gen={args.gen}"
    print(f"{traffic}, flush_us={args.flush_us}, {args.seconds:g} s each")
    bus = f"cost-{uuid.uuid4().hex[:6]}"
    one = report("one process, in-process bus", started(run(args, bus + "l", 2, True, True)), args.seconds)
    shared_one = report("one process, shared bus", started(run(args, bus + "s", 2, True, False)), args.seconds)
    receiver = started(run(args, bus, 1, False, False))
    sender = started(run(args, bus, 1, True, False))
    a = report("two processes: the generating one", sender, args.seconds)
    b = report("two processes: the other one", receiver, args.seconds)
    print(f"per frame: in-process bus {one:.2f} us for both adapters; shared bus in one process {shared_one:.2f} us; "
          f"two processes {a:.2f} + {b:.2f} = {a + b:.2f} us")


if __name__ == "__main__":
    main()
