"""CPU time of threads and of the process, and resident memory, read from /proc (Linux)."""
import os
import time

_TICK = os.sysconf("SC_CLK_TCK")


def _times_from_stat(path: str) -> tuple[float, float]:
    """(utime, stime) of a /proc/.../stat file, in seconds."""
    with open(path, "rb") as f:
        text = f.read().decode()
    # The command name (field 2) may contain spaces and parentheses: split after its closing ")".
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[11]) / _TICK, int(fields[12]) / _TICK  # fields 14 and 15 of the whole line


def thread_times(tid: int) -> tuple[float, float]:
    """(user, system) CPU seconds a thread of this process has used; zeros once it is gone."""
    try:
        return _times_from_stat(f"/proc/self/task/{tid}/stat")
    except (FileNotFoundError, ProcessLookupError):
        return 0.0, 0.0


def thread_cpu(tid: int) -> float:
    """CPU seconds (user + system) a thread of this process has used."""
    return sum(thread_times(tid))


def context_switches(tid: int) -> int:
    """Times a thread of this process has been switched out so far, waiting or preempted: its wake-ups."""
    try:
        with open(f"/proc/self/task/{tid}/status") as f:
            return sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)
    except (FileNotFoundError, ProcessLookupError):
        return 0


def process_cpu() -> float:
    """CPU seconds (user + system) of the whole process, all threads."""
    return sum(_times_from_stat("/proc/self/stat"))


def rss_kib(kind: str = "VmRSS") -> int:
    """Resident memory of this process in KiB: VmRSS in all, or one of its parts (RssAnon, RssFile,
    RssShmem: shared memory such as a virtual bus's segment)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(kind + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {kind} in /proc/self/status")


class CpuMeter:
    """CPU of named threads and of the process between start() and stop(), as % of one core.
    stop() gives, per thread name, the total, name + "_sys" the part spent in the kernel and
    name + "_wakeups" its context switches per second."""

    def __init__(self, threads: dict[str, int]):
        self.threads = dict(threads)

    def start(self):
        self._t0 = {name: thread_times(tid) for name, tid in self.threads.items()}
        self._s0 = {name: context_switches(tid) for name, tid in self.threads.items()}
        self._p0 = process_cpu()
        self._w0 = time.monotonic()
        return self

    def stop(self) -> dict:
        wall = time.monotonic() - self._w0
        out = {}
        for name, tid in self.threads.items():
            (u0, s0), (u1, s1) = self._t0[name], thread_times(tid)
            out[name] = 100.0 * ((u1 - u0) + (s1 - s0)) / wall
            out[name + "_sys"] = 100.0 * (s1 - s0) / wall
            out[name + "_wakeups"] = (context_switches(tid) - self._s0[name]) / wall
        out["workers"] = sum(out[name] for name in self.threads)
        out["process"] = 100.0 * (process_cpu() - self._p0) / wall
        out["wall"] = wall
        return out
