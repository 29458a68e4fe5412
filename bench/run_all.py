"""Runs every performance benchmark in turn (the soak is not one: bench/soak.py): the protocol core,
receive-container decoding, the end-to-end runs over the virtual adapter (2 to 6), eight adapters on
saturated buses in one process (frames taken by callbacks, then by python-can Buses with a recv()
loop each), the python-can interface on the adapter core, and the virtual adapter alone.
Extra arguments go to the end-to-end benchmark. A benchmark that misses a target does not stop the
others: the ones that did are named at the end, and the exit status is 1."""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(script, *args):
    name = " ".join((script, *args))
    print(f"\n=== {name} ===  (load average {os.getloadavg()[0]:.2f})", flush=True)
    started = time.monotonic()
    done = subprocess.run([sys.executable, os.path.join(HERE, script), *args])
    return name, time.monotonic() - started, done.returncode


if __name__ == "__main__":
    runs = [
        run("bench_protocol.py"),
        run("bench_decode.py"),
        run("bench_end_to_end.py", *sys.argv[1:]),
        run("bench_many_adapters.py"),
        run("bench_many_adapters.py", "--receiver", "python-can"),
        run("bench_can_bus.py"),
        run("bus_cycles.py"),
        run("vadapter_rates.py"),
    ]
    print("\n" + ", ".join(f"{name} {seconds:.0f} s" for name, seconds, _ in runs))
    print(f"all benchmarks: {sum(seconds for _, seconds, _ in runs):.0f} s; load average at the end "
          f"{os.getloadavg()[0]:.2f}")
    missed = [name for name, _, rc in runs if rc != 0]
    if missed:
        print("missed a target or failed: " + ", ".join(missed))
    sys.exit(1 if missed else 0)
