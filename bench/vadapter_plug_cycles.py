"""What many plug/unplug cycles leave behind in the virtual adapter library: each cycle plugs an
adapter onto a virtual bus, opens it through libusb, writes heartbeats and a frame, reads, closes
it and unplugs it, as a Bus on a `virtual:` channel does around the extension. Prints the process's
resident memory and the library's adapter count as it goes, and how the logs of one long-lived
adapter grow with heartbeats (100 a second for a Bus).

    python3 bench/vadapter_plug_cycles.py [--cycles 20000] [--heartbeats 70000] [--local]

With FDHOST_VADAPTER_LIB naming another build of the library, the same for that one.
"""
import argparse
import os
import sys
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from libusb_raw import Libusb  # noqa: E402
from vadapter import HEARTBEAT, VirtualAdapter, tx_record  # noqa: E402


def rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cycles", type=int, default=20000)
    ap.add_argument("--heartbeats", type=int, default=70000, help="written to one adapter (690 s of a Bus's)")
    ap.add_argument("--local", action="store_true", help="a bus of this process (canbus_local=1)")
    args = ap.parse_args()
    os.environ.setdefault("FDHOST_VADAPTER_NAMESPACE", f"bench{os.getpid()}")
    vad, usb = VirtualAdapter(), Libusb()
    vad.configure("adapters=0")
    bus = f"cycles-{uuid.uuid4().hex[:6]}"
    items = "capture=1;flush_us=500" + (";canbus_local=1" if args.local else "")
    start, t0 = rss_mib(), time.monotonic()
    print(f"{args.cycles} cycles on {'an in-process' if args.local else 'a shared'} bus; RSS {start:.1f} MiB at the start")
    for cycle in range(1, args.cycles + 1):
        a = vad.plug(bus, items)
        handle = usb.open(*usb.device_locations()[-1])
        for _ in range(3):
            usb.bulk(handle, 0x01, HEARTBEAT, timeout=10)
        usb.bulk(handle, 0x03, tx_record(0x123, bytes(8)), timeout=10)
        usb.bulk(handle, 0x81, 51200, timeout=1)
        usb.close(handle)
        vad.unplug(adapter=a)
        if cycle % (args.cycles // 10 or 1) == 0:
            print(f"  {cycle:6} cycles: RSS {rss_mib():6.1f} MiB, {vad.adapter_count()} adapters in the library, "
                  f"{time.monotonic() - t0:5.1f} s")
    print(f"RSS {rss_mib() - start:+.1f} MiB over {args.cycles} cycles, {vad.adapter_count()} adapters left")

    a = vad.plug("", "capture=0")
    handle = usb.open(*usb.device_locations()[-1])
    before = rss_mib()
    for _ in range(args.heartbeats):
        usb.bulk(handle, 0x01, HEARTBEAT, timeout=10)
    print(f"{args.heartbeats} heartbeats to one adapter: its log keeps {vad.lib.vad_log_count(a, 1)} "
          f"(of {vad.log_total(1, adapter=a)}), RSS {rss_mib() - before:+.1f} MiB")
    usb.close(handle)


if __name__ == "__main__":
    main()
