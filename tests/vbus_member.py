"""A process on a shared virtual CAN bus, steered by a test: one JSON command per line on stdin, one
JSON answer per line on stdout. It loads the virtual adapter through the ctypes client and talks
to its adapter through the libusb interface.

    {"op": "plug", "bus": "demo", "config": "capture=1"}    -> {"adapter": 0}
    {"op": "send", "id": 291, "data": "01", "fd": true}     -> {}
    {"op": "recv", "count": 2, "timeout": 1.0}              -> {"frames": [[id, dir, time_stamp, "hex"], ...]}
    {"op": "quiet", "seconds": 0.1}                         -> {"frames": [...]}  (everything within that time)
    {"op": "first_after", "id": 512, "after_us": t, "timeout": 2.0}
        the first frame with that identifier that left the bus at CLOCK_MONOTONIC µs t or later -> {"at_us": t or null}
    {"op": "collect", "id": 256, "seconds": 2.0}   reads for that long: the counters (data bytes 0-3,
        little-endian) of the frames with that identifier, and how many frames arrived -> {"counters": [...], "frames": n}
    {"op": "watch", "id": 256}     starts collecting as "collect" does, in the background -> {}
    {"op": "watched"}              stops it: what it collected -> {"counters": [...], "frames": n}
    {"op": "gen", "settings": "saturate,dlc=8"}             -> {}
    {"op": "stream", "id": 1280}   starts sending frames back to back (data: a counter) -> {}
    {"op": "fork"}  forks a child that just lives on                                  -> {"pid": n}
    {"op": "open_file", "path": "...", "create": false, "mode": 384}  -> {"errno": 0}
    {"op": "unplug"}, {"op": "configure", "config": "adapters=0"}, {"op": "buses"}, {"op": "counters"}
    {"op": "exit"}  exits normally

Answers are {"error": "..."} when a command fails. With --as-nobody the process drops to the
user nobody once everything is loaded.
"""
import json
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from libusb_raw import Libusb  # noqa: E402
from vadapter import VirtualAdapter, parse_container, tx_record  # noqa: E402

READ = 51200


class Member:
    def __init__(self):
        self.vad = VirtualAdapter()
        self.usb = Libusb()
        self.vad.configure("adapters=0")
        self.handle = None
        self.adapter = None
        self.lock = threading.Lock()  # one transfer on the data endpoints at a time from the commands
        self.streaming = False

    def plug(self, bus, config=""):
        if self.handle is not None:
            self.usb.close(self.handle)
        self.adapter = self.vad.plug(bus, config)
        (location,) = self.usb.device_locations()
        self.handle = self.usb.open(*location)
        return {"adapter": self.adapter}

    def send(self, id, data="", fd=True):
        rc, n = self.usb.bulk(self.handle, 0x03, tx_record(id, bytes.fromhex(data), fd=fd), timeout=500)
        if rc != 0 or n != 88:
            return {"error": f"write: {rc}"}
        return {}

    def _read(self, frames, until, count=None):
        while time.monotonic() < until and (count is None or len(frames) < count):
            rc, raw = self.usb.bulk(self.handle, 0x81, READ, timeout=20)
            if rc == 0:
                frames += [[r.id, r.dir, r.time_stamp, r.data.hex()] for r in parse_container(raw)]
            elif rc != -7:  # anything but a time-out
                return {"error": f"read: {rc}", "frames": frames}
        return {"frames": frames}

    def recv(self, count, timeout=1.0):
        return self._read([], time.monotonic() + timeout, count)

    def quiet(self, seconds):
        return self._read([], time.monotonic() + seconds)

    def first_after(self, id, after_us, timeout=2.0):
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            rc, raw = self.usb.bulk(self.handle, 0x81, READ, timeout=20)
            if rc == 0:
                for r in parse_container(raw):
                    # Time stamps are the low 32 bits of the microsecond clock.
                    if r.id == id and (r.time_stamp - after_us) % (1 << 32) < (1 << 31):
                        return {"at_us": after_us + (r.time_stamp - after_us) % (1 << 32)}
            elif rc != -7:
                return {"error": f"read: {rc}"}
        return {"at_us": None}

    def collect(self, id, seconds, stop=None):
        counters, frames, until = [], 0, time.monotonic() + seconds
        while time.monotonic() < until and not (stop and stop.is_set()):
            rc, raw = self.usb.bulk(self.handle, 0x81, READ, timeout=20)
            if rc == 0:
                records = parse_container(raw)
                frames += len(records)
                counters += [int.from_bytes(r.data[:4], "little") for r in records if r.id == id]
            elif rc != -7:
                return {"error": f"read: {rc}"}
        return {"counters": counters, "frames": frames}

    def watch(self, id):
        stop, out = threading.Event(), {}
        thread = threading.Thread(target=lambda: out.update(self.collect(id, 1e9, stop)), daemon=True)
        thread.start()
        self.watching = (stop, thread, out)
        return {}

    def watched(self):
        stop, thread, out = self.watching
        stop.set()
        thread.join()
        return out

    def gen(self, settings):
        self.vad.generator(settings, adapter=self.adapter)
        return {}

    def stream(self, id):
        self.streaming = True

        def run():
            n = 0
            while self.streaming:
                self.usb.bulk(self.handle, 0x03, tx_record(id, n.to_bytes(4, "little"), fd=True), timeout=100)
                n += 1

        threading.Thread(target=run, daemon=True).start()
        return {}

    def fork(self):
        """A child that only lives on (for 30 s), as a forked worker would: its pid."""
        pid = os.fork()
        if pid == 0:
            time.sleep(30)
            os._exit(0)
        return {"pid": pid}

    def open_file(self, path, create=False, mode=0o600):
        """Opens (or makes) a file read-write: its errno, 0 when it worked."""
        try:
            os.close(os.open(path, os.O_RDWR | (os.O_CREAT | os.O_EXCL if create else 0), mode))
            if create:
                os.chmod(path, mode)
        except OSError as e:
            return {"errno": e.errno}
        return {"errno": 0}

    def unplug(self):
        self.vad.unplug(adapter=self.adapter)
        return {}

    def configure(self, config):
        self.vad.configure(config)
        return {}

    def buses(self):
        return {"buses": self.vad.can_buses()}

    def counters(self):
        return {"counters": self.vad.counters(self.adapter)}


def main():
    member = Member()
    if "--as-nobody" in sys.argv:
        os.setgid(65534)
        os.setuid(65534)
    print(json.dumps({"ready": os.getpid()}), flush=True)
    for line in sys.stdin:
        command = json.loads(line)
        op = command.pop("op")
        if op == "exit":
            break
        try:
            answer = getattr(member, op)(**command)
        except Exception as e:  # noqa: BLE001 - every failure goes back to the test
            answer = {"error": f"{type(e).__name__}: {e}"}
        print(json.dumps(answer), flush=True)


if __name__ == "__main__":
    main()
