"""Runs every performance benchmark in turn (the soak is not one: bench/soak.py): the protocol core,
receive-container decoding, the end-to-end runs over the virtual adapter (2 to 6), eight adapters on
saturated buses in one process (frames taken by callbacks, then by python-can Buses with a recv()
loop each), the python-can interface on a virtual bus, and the virtual adapter alone.
Extra arguments go to the end-to-end benchmark. Stops at the first that fails."""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(script, *args):
    print(f"\n=== {script} {' '.join(args)} ===", flush=True)
    started = time.monotonic()
    subprocess.run([sys.executable, os.path.join(HERE, script), *args], check=True)
    return time.monotonic() - started


if __name__ == "__main__":
    took = {
        "bench_protocol.py": run("bench_protocol.py"),
        "bench_decode.py": run("bench_decode.py"),
        "bench_end_to_end.py": run("bench_end_to_end.py", *sys.argv[1:]),
        "bench_many_adapters.py": run("bench_many_adapters.py"),
        "bench_many_adapters.py --receiver python-can": run("bench_many_adapters.py", "--receiver", "python-can"),
        "bench_can_bus.py": run("bench_can_bus.py"),
        "vadapter_rates.py": run("vadapter_rates.py"),
    }
    print("\n" + ", ".join(f"{name} {seconds:.0f} s" for name, seconds in took.items()))
    print(f"all benchmarks: {sum(took.values()):.0f} s")
