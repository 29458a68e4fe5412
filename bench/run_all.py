"""Runs every performance benchmark in turn: receive-container decoding (1), then the end-to-end
runs over the virtual adapter (2 to 6). Extra arguments go to the end-to-end benchmark."""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(script, *args):
    print(f"\n=== {script} {' '.join(args)} ===", flush=True)
    subprocess.run([sys.executable, os.path.join(HERE, script), *args], check=True)


if __name__ == "__main__":
    started = time.monotonic()
    run("bench_decode.py")
    run("bench_end_to_end.py", *sys.argv[1:])
    print(f"\nall benchmarks: {time.monotonic() - started:.0f} s")
