"""Eight virtual adapters in one process, each on a CAN FD bus of its own (1 Mbit/s / 5 Mbit/s)
kept saturated with 8-byte frames: 8 x 20,325 = 162,600 frames/s in all.

    python bench/bench_many_adapters.py [--seconds N] [--adapters 8] [--receiver callback]

Two runs of N seconds (default 4): every frame checked by a callback (sequence numbers: lost,
duplicated, out of order), then no-op callbacks, for the CPU of each adapter's worker threads
(reader and heartbeat), of all of them together, and of the process. Targets: 0 lost/duplicated/
reordered; the eight together <= 40 % of one core.

--receiver names how the frames are taken: `callback` (setFrameCallback on each fdhost object), or
`python-can` (a python-can Bus of the fdhost interface per adapter, opened by its serial on the
virtual adapter library through FDHOST_LIBUSB, and a recv() loop per Bus in a thread of its own).
For python-can the recv threads count as workers of their adapter, and the adapter core's one event
thread, which serves all of them, is counted once: what a program receiving that way pays.
"""
import argparse
import os
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_end_to_end import GEN_ID, SEQ_SPACE, SequenceCheck, floor, floor_text, locate_library, say, verdict  # noqa: E402
import load_fdhost  # noqa: E402  (bench_end_to_end put tests/ on the path)
import procstat  # noqa: E402

FD8_RATE = 1e6 / 49.2  # 8-byte FD frames a saturated 1M/5M bus carries per second
TARGET_ALL = 40.0      # % of one core for the eight adapters' worker threads together


class FastSleep:
    """Stands in for the module's `time` while the objects are made: their 1.2 s of pauses each
    shrink to 10 ms; the real module is put back before anything is measured."""

    def __getattr__(self, name):
        return getattr(time, name)

    @staticmethod
    def sleep(seconds):
        time.sleep(min(seconds, 0.01))


class CallbackReceiver:
    """Frames taken by the fdhost object's frame callback on its reader thread."""

    def __init__(self, fh, serial):
        self.dev = fh.fdhost(1000000, 5000000, serial)
        self.threads = {"reader": self.dev.rec_thread.native_id, "heartbeat": self.dev.rec_thread2.native_id}

    def start(self, fn):
        self.dev.setFrameCallback(fn)

    def stop(self):
        self.dev.setFrameCallback(None)

    def drain(self):
        time.sleep(0.01)  # the callbacks may still be working on the last containers

    def close(self):
        self.dev.close()

    @staticmethod
    def checker():
        return SequenceCheck()


class MessageCheck(SequenceCheck):
    """SequenceCheck over can.Message: the sequence number from the data bytes (a Message has no
    header reserve bytes), no latency (its time stamp is wall-clock time)."""

    def _make(self):
        seen = self.seen
        me = self

        def check(msg):
            d = msg.data
            if msg.arbitration_id != GEN_ID or len(d) < 4:
                me.foreign += 1
                return
            seq = (d[0] | d[1] << 8 | d[2] << 16) % SEQ_SPACE
            me.delivered += 1
            if seen[seq]:
                me.duplicated += 1
            else:
                seen[seq] = 1
                if seq < me.highest:
                    me.reordered += 1
                else:
                    me.highest = seq

        return check


class BusReceiver:
    """Frames taken by a python-can Bus of the fdhost interface with a recv() loop in a thread of its own."""

    def __init__(self, fh, serial):
        import can
        import can.util

        # python-can finds an installed fdhost by its entry point; the source checkout is added by hand.
        can.interfaces.BACKENDS.setdefault("fdhost", ("fdhost_can.bus", "FdhostBus"))
        can.util.VALID_INTERFACES = can.util.VALID_INTERFACES | {"fdhost"}
        # Serials are looked up on the hardware libusb: here, the virtual adapter's.
        os.environ["FDHOST_LIBUSB"] = os.environ["FDHOST_VADAPTER_LIB"]
        self.bus = can.Bus(interface="fdhost", channel=serial, bitrate=1_000_000, data_bitrate=5_000_000, fd=True)
        self.fn = None
        self.last = 0.0
        self.running = True
        self.thread = threading.Thread(target=self._loop, name=f"recv-{serial[:8]}", daemon=True)
        self.thread.start()
        self.threads = {"recv": self.thread.native_id}

    def _loop(self):
        recv = self.bus.recv
        while self.running:
            msg = recv(0.05)
            fn = self.fn
            if msg is not None and fn is not None:
                fn(msg)
                self.last = time.monotonic()

    def recv_cost_us(self, vad, adapter, frames=40_000):
        """python-can's own work per frame, in microseconds of thread CPU: recv(0) on frames already
        waiting in the Bus's queue (the loop thread stopped), so no wait or hand-over is in it."""
        self.running = False
        self.thread.join()
        before = vad.counters(adapter)["rx_frames"]
        vad.generator(f"rate={2 * FD8_RATE},dlc=8,fd=1,id={GEN_ID},count={frames}", adapter=adapter)
        limit = time.monotonic() + 30
        while vad.counters(adapter)["rx_frames"] - before < frames and time.monotonic() < limit:
            time.sleep(0.01)
        time.sleep(0.05)  # the reader queues the last container
        recv, taken, t0 = self.bus.recv, 0, time.thread_time()
        while recv(0) is not None:
            taken += 1
        return (time.thread_time() - t0) / max(taken, 1) * 1e6

    def drain(self):
        """Returns once the loop has taken nothing for 20 ms: the queue is empty."""
        limit = time.monotonic() + 10
        while time.monotonic() - self.last < 0.02 and time.monotonic() < limit:
            time.sleep(0.005)

    def start(self, fn):
        self.fn = fn

    def stop(self):
        self.fn = None

    def close(self):
        self.running = False
        self.thread.join()
        self.bus.shutdown()

    @staticmethod
    def checker():
        return MessageCheck()


# How the frames of one adapter are taken: name -> class made with (module, serial), with start(per-frame
# function), drain() (returns once the frames received so far are through), stop(), close(), `threads`
# (worker name -> native id) and checker() (a SequenceCheck).
RECEIVERS = {"callback": CallbackReceiver, "python-can": BusReceiver}


class Fleet:
    def __init__(self, count, receiver):
        locate_library()
        from vadapter import VirtualAdapter, use_with_pyusb

        use_with_pyusb()
        self.vad = VirtualAdapter()
        self.vad.configure(f"adapters={count}")  # each adapter on a bus of its own
        self.fh = load_fdhost.load()
        real_time = self.fh.time
        self.fh.time = FastSleep()
        try:
            self.receivers = [RECEIVERS[receiver](self.fh, self.vad.serial(n)) for n in range(count)]
        finally:
            self.fh.time = real_time
        self.threads = {f"{name}{n}": tid for n, r in enumerate(self.receivers) for name, tid in r.threads.items()}
        # The adapter core's event thread, one for every Bus on the library.
        self.shared = {f"events{i}": tid for i, tid in enumerate(core_event_threads())}
        self.threads.update(self.shared)

    def adapter_cpu(self, cpu, n):
        """{worker name: % of one core} of adapter n's workers in a run's CPU figures."""
        return {name: cpu[f"{name}{n}"] for name in self.receivers[n].threads}

    def run(self, callbacks, seconds):
        """All generators on for `seconds` of saturated bus; returns CPU figures and counters per adapter."""
        count = int(FD8_RATE * seconds)
        for r, cb in zip(self.receivers, callbacks):
            r.start(cb)
        c0 = [self.vad.counters(n) for n in range(len(self.receivers))]
        meter = procstat.CpuMeter(self.threads).start()
        for n in range(len(self.receivers)):
            self.vad.generator(f"rate={2 * FD8_RATE},dlc=8,fd=1,id={GEN_ID},count={count}", adapter=n)
        time.sleep(max(0.0, seconds - 0.05))
        limit = time.monotonic() + 30
        while time.monotonic() < limit:
            cs = [self.vad.counters(n) for n in range(len(self.receivers))]
            if all(c["gen_frames"] - c0[n]["gen_frames"] >= count and
                   c["rx_frames"] + c["rx_overflow"] + c["rx_dropped"] >= c["bus_frames"] for n, c in enumerate(cs)):
                break
            time.sleep(0.005)
        for r in self.receivers:
            r.drain()
        cpu = meter.stop()
        for r in self.receivers:
            r.stop()
        diffs = [{k: self.vad.counters(n)[k] - c0[n][k] for k in c0[n]} for n in range(len(self.receivers))]
        return count, cpu, diffs

    def close(self):
        for r in self.receivers:
            r.close()


def core_event_threads():
    """Native ids of the adapter core's event threads in this process."""
    found = []
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/comm") as f:
            if f.read().strip() == "fdhost-events":
                found.append(int(tid))
    return found


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=4.0, help="length of each run (default 4)")
    ap.add_argument("--adapters", type=int, default=8)
    ap.add_argument("--receiver", default="callback", choices=sorted(RECEIVERS))
    args = ap.parse_args()
    stdout, sys.stdout = sys.stdout, open(os.devnull, "w")  # the objects' own lines
    results = {}
    try:
        fleet = Fleet(args.adapters, args.receiver)
        say(f"{args.adapters} virtual adapters, each on its own saturated FD 1M/5M bus with 8-byte frames"
            f" ({args.adapters * FD8_RATE:,.0f} frames/s in all), frames taken by {args.receiver}; {args.seconds:g} s runs"
            f" (load average {os.getloadavg()[0]:.1f})")
        try:
            checks = [r.checker() for r in fleet.receivers]
            count, cpu, diffs = fleet.run([c.callback for c in checks], args.seconds)
            clean = True
            for n, (check, diff) in enumerate(zip(checks, diffs)):
                ok = check.clean(count)
                clean &= ok
                say(f"  adapter {n}: {check.delivered} of {count} delivered, lost {check.lost(count)}, duplicated"
                    f" {check.duplicated}, out of order {check.reordered}, bad data {check.bad_data};"
                    f" adapter overflow {diff['rx_overflow']}")
            say(f"  checking callbacks: 0 lost/dup/reordered on every adapter: {verdict(clean)};"
                f" workers {cpu['workers']:.1f} %, process {cpu['process']:.1f} % of one core")
            del checks

            count, cpu, diffs = fleet.run([lambda v: None] * len(fleet.receivers), args.seconds)
            handed = sum(d["rx_frames"] for d in diffs)
            say(f"  no-op callbacks: {handed:,} frames handed over in {cpu['wall']:.2f} s"
                f" ({handed / cpu['wall']:,.0f} frames/s), overflow {sum(d['rx_overflow'] for d in diffs)}")
            for n, d in enumerate(diffs):
                parts = fleet.adapter_cpu(cpu, n)
                say(f"  adapter {n}: " + " + ".join(f"{name} {v:4.1f} %" for name, v in parts.items()) +
                    f" = {sum(parts.values()):4.1f} % of one core,"
                    f" {d['rx_containers'] / cpu['wall']:,.0f} containers/s")
            if fleet.shared:
                say("  the adapter core's event thread, serving all of them: " +
                    ", ".join(f"{cpu[name]:.1f} %" for name in fleet.shared))
            say(f"  all {args.adapters} adapters' workers {cpu['workers']:.1f} % (process {cpu['process']:.1f} %)"
                f" vs target <= {TARGET_ALL:.0f} %: {verdict(cpu['workers'] <= TARGET_ALL)}")
            bare = floor("saturated-fd8", args.seconds, args.adapters)
            say(f"  floor, bare C++ loops doing the readers' waits and transfers without handing anything over"
                f" ({args.adapters} threads): {floor_text(bare)}")
            results = {"clean": clean, "workers": cpu["workers"], "process": cpu["process"], "floor": bare}
            if args.receiver != "callback":
                per_frame = fleet.receivers[0].recv_cost_us(fleet.vad, 0)
                own = per_frame * args.adapters * FD8_RATE / 1e4
                say(f"  python-can's own work per frame, recv() on a filled queue: {per_frame:.2f} us, i.e."
                    f" {own:.1f} % of one core at {args.adapters * FD8_RATE:,.0f} frames/s; floor with it"
                    f" {(bare[0] if bare else 0) + own:.1f} % (the rest is handing frames over and the"
                    f" interpreter lock between {args.adapters} recv threads)")
                results["recv_us"] = per_frame
        finally:
            fleet.close()
    finally:
        sys.stdout = stdout
    return results


if __name__ == "__main__":
    main()
