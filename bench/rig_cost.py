"""What an fdhost object's workers cost on one front door of the virtual adapter: the reader's
wake-ups per second and the workers' CPU, idle and while frames arrive. The real-USB rig runs it
twice in its guest, once on an adapter attached through vhci-hcd (Debian's libusb, usbfs, the
kernel) and once on the stand-in library, and prints them side by side.

    python bench/rig_cost.py real SERIAL       # pyusb on the system's libusb
    python bench/rig_cost.py standin BUS       # a virtual adapter plugged onto the shared bus BUS

Then, per line on standard input, `idle SECONDS` or `busy SECONDS` measures that long and writes one
JSON object to standard error (standard output carries the object's own lines): wall, frames,
reader wake-ups/s, reader and heartbeat CPU (% of a core). `quit` ends.
"""
import json
import sys
import threading
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for _path in (ROOT, ROOT / "tests", ROOT / "bench"):
    sys.path.insert(0, str(_path))

import procstat  # noqa: E402


def open_object(front: str, target: str):
    if front == "standin":
        from fdhost_can import virtual

        virtual.use_with_pyusb()
        vad = virtual.controller()
        target = vad.serial(vad.plug(target, "capture=1"))
    import load_fdhost

    fh = load_fdhost.load()
    return fh.fdhost(1000000, 5000000, target)


def main() -> None:
    front, target = sys.argv[1], sys.argv[2]
    frames = 0
    lock = threading.Lock()

    def count(_value):
        nonlocal frames
        with lock:
            frames += 1

    dev = open_object(front, target)
    dev.setFrameCallback(count)
    threads = {"reader": dev.rec_thread.native_id, "heartbeat": dev.rec_thread2.native_id}
    print("ready", file=sys.stderr, flush=True)
    for line in sys.stdin:
        words = line.split()
        if not words or words[0] == "quit":
            break
        before = frames
        meter = procstat.CpuMeter(threads).start()
        threading.Event().wait(float(words[1]))
        cpu = meter.stop()
        print(json.dumps({"what": words[0], "wall": cpu["wall"], "frames": frames - before,
                          "reader_wakeups": cpu["reader_wakeups"], "reader_cpu": cpu["reader"],
                          "heartbeat_cpu": cpu["heartbeat"]}), file=sys.stderr, flush=True)
    dev.close()


if __name__ == "__main__":
    main()
