"""Measures the virtual adapter behind pyusb: the CPU an idle 1 ms read loop costs, what a
reader doing dev.read(0x81, 51200, timeout=1) in a loop receives from a saturated bus, how often
an event-handling loop over pending asynchronous reads wakes up on an idle bus, and what such a
loop receives from a saturated one.

    python3 bench/vadapter_rates.py [--seconds 3]

Uses the library tests/vadapter.py finds (build/vadapter/, or $FDHOST_VADAPTER_LIB).
"""
import argparse
import ctypes
import os
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from libusb_raw import COMPLETED, AsyncTransfers, Libusb  # noqa: E402
from vadapter import DLC_LENGTHS, HEAD_SEQ_MASK, VirtualAdapter, library_path, use_with_pyusb  # noqa: E402

import usb.core  # noqa: E402
import usb.util  # noqa: E402

SATURATED = [
    # name, generator, frames/s a saturated bus carries (bits per frame at 1 and 5 Mbit/s)
    ("classic, 0 bytes, 1M", "saturate,dlc=0", 1e6 / 47),
    ("FD, 64 bytes, 1M/5M", "saturate,dlc=15,fd=1", 1e6 / 139.8),
    ("FD, 8 bytes, 1M/5M", "saturate,dlc=8,fd=1", 1e6 / 49.2),
]


def open_adapter():
    dev = usb.core.find(idVendor=0x34B7, idProduct=0x6877)
    for n in range(3):
        usb.util.claim_interface(dev, n)
    return dev


def cpu_percent(fn, seconds):
    w0, c0 = time.perf_counter(), time.process_time()
    n = fn(seconds)
    w1, c1 = time.perf_counter(), time.process_time()
    return 100 * (c1 - c0) / (w1 - w0), n / (w1 - w0)


def idle_pyusb(vad, seconds):
    vad.configure("")
    dev = open_adapter()

    def loop(limit):
        n, end = 0, time.perf_counter() + limit
        while time.perf_counter() < end:
            try:
                dev.read(0x81, 51200, timeout=1)
            except usb.core.USBTimeoutError:
                pass
            n += 1
        return n

    try:
        return cpu_percent(loop, seconds)
    finally:
        usb.util.dispose_resources(dev)


def raw_read_loop(lib):
    """(loop, close): loop(limit) makes 1 ms reads of 0x81 of the first adapter straight through
    ctypes, on a handle of its own, for `limit` seconds and returns how many; close() lets go."""
    lib.libusb_get_device_list.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p))]
    lib.libusb_open.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)]
    lib.libusb_close.argtypes = [ctypes.c_void_p]
    lib.libusb_free_device_list.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_int]
    lib.libusb_bulk_transfer.argtypes = [ctypes.c_void_p, ctypes.c_ubyte, ctypes.c_void_p, ctypes.c_int,
                                         ctypes.POINTER(ctypes.c_int), ctypes.c_uint]
    devs = ctypes.POINTER(ctypes.c_void_p)()
    lib.libusb_get_device_list(None, ctypes.byref(devs))
    handle = ctypes.c_void_p()
    lib.libusb_open(devs[0], ctypes.byref(handle))
    lib.libusb_free_device_list(devs, 1)
    buf, got = (ctypes.c_uint8 * 51200)(), ctypes.c_int()

    def loop(limit):
        n, end = 0, time.perf_counter() + limit
        while time.perf_counter() < end:
            lib.libusb_bulk_transfer(handle, 0x81, buf, 51200, ctypes.byref(got), 1)
            n += 1
        return n

    return loop, lambda: lib.libusb_close(handle)


def idle_direct(vad, seconds):
    """The same loop straight through ctypes, without pyusb's own overhead."""
    vad.configure("")
    loop, close = raw_read_loop(vad.lib)
    try:
        return cpu_percent(loop, seconds)
    finally:
        close()


def idle_baseline(seconds):
    """A bare 1 ms timed wait in Python: the wake-up every blocking read pays anyway."""
    import threading
    event = threading.Event()

    def loop(limit):
        n, end = 0, time.perf_counter() + limit
        while time.perf_counter() < end:
            event.wait(0.001)
            n += 1
        return n

    return cpu_percent(loop, seconds)


def saturated(vad, gen, seconds, flush_us=0):
    """Frames/s received, sequence gaps, reads/s, reader CPU and worst hand-over delay."""
    vad.configure(f"capture=1;flush_us={flush_us};gen={gen}")
    dev = open_adapter()
    frames = gaps = reads = 0
    expected_seq = None
    worst_delay = 0
    try:
        w0, c0 = time.perf_counter(), time.process_time()
        end = w0 + seconds
        while time.perf_counter() < end:
            try:
                c = dev.read(0x81, 51200, timeout=1)
            except usb.core.USBTimeoutError:
                continue
            reads += 1
            n = struct.unpack_from("<H", c, 2)[0]
            off, last_ts = 4, None
            while off < 4 + n:
                seq = (c[off + 8] | c[off + 9] << 8 | c[off + 10] << 16) & HEAD_SEQ_MASK
                if expected_seq is not None and seq != expected_seq:
                    gaps += 1
                expected_seq = (seq + 1) & HEAD_SEQ_MASK
                last_ts = c[off + 4] | c[off + 5] << 8 | c[off + 6] << 16 | c[off + 7] << 24
                off += 12 + DLC_LENGTHS[c[off + 11] >> 4]
                frames += 1
            if last_ts is not None:
                worst_delay = max(worst_delay, (vad.now_us() - last_ts) & 0xFFFFFFFF)
        wall, cpu = time.perf_counter() - w0, time.process_time() - c0
        counters = vad.counters()
        return {"rate": frames / wall, "gaps": gaps, "reads": reads / wall, "cpu": 100 * cpu / wall,
                "worst_delay_us": worst_delay, "overflow": counters["rx_overflow"],
                "backlog": counters["bus_frames"] - frames}
    finally:
        usb.util.dispose_resources(dev)


def thread_wakeups(name):
    """Context switches so far of the threads of this process called `name`."""
    total = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().strip() != name:
                    continue
            with open(f"/proc/self/task/{tid}/status") as f:
                total += sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)
        except FileNotFoundError:
            pass
    return total


def idle_async(vad, seconds, transfers=8):
    """Wake-ups per second while `transfers` bulk reads of 0x81 wait on an idle bus: returns of
    libusb_handle_events in a thread of its own, and context switches of the library's transfer thread."""
    import threading

    vad.configure("capture=1")
    usb = Libusb()
    handle = usb.open(1, 2)
    a = AsyncTransfers(usb, handle)
    for n in range(transfers):
        a.submit(f"in{n}", 0x81, 51200)
    returns, stop = [0], threading.Event()

    def handler():
        while not stop.is_set():
            usb.lib.libusb_handle_events(None)
            returns[0] += 1

    th = threading.Thread(target=handler)
    th.start()
    time.sleep(0.1)
    r0, s0, t0 = returns[0], thread_wakeups("vadapter-usb"), time.perf_counter()
    time.sleep(seconds)
    r1, s1, t1 = returns[0], thread_wakeups("vadapter-usb"), time.perf_counter()
    stop.set()
    usb.lib.libusb_interrupt_event_handler(None)
    th.join()
    a.finish()
    usb.close(handle)
    return (r1 - r0) / (t1 - t0), (s1 - s0) / (t1 - t0)


def saturated_async(vad, gen, seconds, transfers=8):
    """Frames/s, sequence gaps and completions per wake-up of a handle_events loop that keeps
    `transfers` reads of 0x81 in flight, resubmitting each from its completion."""
    vad.configure(f"capture=1;gen={gen}")
    usb = Libusb()
    handle = usb.open(1, 2)
    a = AsyncTransfers(usb, handle)
    live = [a.submit(f"{n}", 0x81, 51200) for n in range(transfers)]
    frames = gaps = wakeups = completions = 0
    expected = None
    end = time.perf_counter() + seconds
    w0, c0 = time.perf_counter(), time.process_time()
    while time.perf_counter() < end:
        usb.handle_events(0.1)
        wakeups += 1
        batch, a.done = a.done, []
        completions += len(batch)
        for name, status, c in batch:
            if status != COMPLETED:
                continue
            n = struct.unpack_from("<H", c, 2)[0]
            off = 4
            while off < 4 + n:
                seq = (c[off + 8] | c[off + 9] << 8 | c[off + 10] << 16) & HEAD_SEQ_MASK
                gaps += expected is not None and seq != expected
                expected = (seq + 1) & HEAD_SEQ_MASK
                off += 12 + DLC_LENGTHS[c[off + 11] >> 4]
                frames += 1
            a.resubmit(live[int(name)])
    wall, cpu = time.perf_counter() - w0, time.process_time() - c0
    a.finish()
    usb.close(handle)
    return {"rate": frames / wall, "gaps": gaps, "per_wakeup": completions / max(wakeups, 1),
            "cpu": 100 * cpu / wall}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--flush-us", type=int, default=0, help="hold frames this long before handing them out")
    args = ap.parse_args()
    print(f"library: {library_path()}")
    use_with_pyusb()
    vad = VirtualAdapter()

    cpu, rate = idle_baseline(args.seconds)
    print(f"baseline Event.wait(1 ms):   {rate:7.0f} waits/s, {cpu:5.2f} % of a core")
    cpu, rate = idle_pyusb(vad, args.seconds)
    print(f"idle 1 ms reads via pyusb:   {rate:7.0f} reads/s, {cpu:5.2f} % of a core (target < 5 %)")
    cpu, rate = idle_direct(vad, args.seconds)
    print(f"idle 1 ms reads via ctypes:  {rate:7.0f} reads/s, {cpu:5.2f} % of a core")

    for name, gen, bus_rate in SATURATED:
        r = saturated(vad, gen, args.seconds, args.flush_us)
        print(f"saturated {name:22s} {r['rate']:8.0f} frames/s (bus {bus_rate:6.0f}, {100 * r['rate'] / bus_rate:5.1f} %),"
              f" gaps {r['gaps']}, overflow {r['overflow']}, backlog {r['backlog']} frames,"
              f" {r['reads']:6.0f} reads/s, reader CPU {r['cpu']:5.1f} %, worst delay {r['worst_delay_us']} us")

    handler, engine = idle_async(vad, args.seconds)
    print(f"idle async, 8 reads pending:  handle_events returns {handler:.2f}/s,"
          f" transfer thread wakes {engine:.2f}/s (target 0)")
    for name, gen, bus_rate in SATURATED:
        r = saturated_async(vad, gen, args.seconds)
        print(f"saturated async {name:16s} {r['rate']:8.0f} frames/s (bus {bus_rate:6.0f},"
              f" {100 * r['rate'] / bus_rate:5.1f} %), gaps {r['gaps']},"
              f" {r['per_wakeup']:5.2f} completions per wake-up, process CPU {r['cpu']:5.1f} %")


if __name__ == "__main__":
    main()
