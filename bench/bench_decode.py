"""Decode benchmark: unpack_usb_frame over prepared containers, against a pure-Python decoder."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import load_fdhost  # noqa: E402  (puts the repository on the path too)

import containers  # noqa: E402
import python_decoder  # noqa: E402

fh = load_fdhost.load()


def bare_device():
    """An fdhost object with its attributes but no adapter (the constructor's hardware steps skipped)."""
    dev = fh.fdhost.__new__(fh.fdhost)
    import threading
    dev.mutex_ = threading.Lock()
    dev.frame_callback_ = None
    return dev


def rate(fn, frames_per_call, min_time=0.4):
    calls = 0
    start = time.perf_counter()
    while True:
        fn()
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_time:
            return calls * frames_per_call / elapsed


def main():
    dev = bare_device()
    noop = lambda v: None  # noqa: E731

    def reads(v):
        v.head.id
        v.data[0]

    print(f"{'frames':>7} {'bytes':>5} | {'no callback':>14} {'no-op callback':>15} {'reads id+data':>14}"
          f" | {'python no-op':>13} {'ratio':>7}")
    for data_len in (0, 8, 64):
        for count in (1, 16, containers.max_frames(data_len)):
            c = containers.make(count, data_len)
            n = len(c)
            figures = []
            for cb in (None, noop, reads):
                dev.frame_callback_ = cb
                figures.append(rate(lambda: dev.unpack_usb_frame(c, n), count))
            py = rate(lambda: python_decoder.unpack_usb_frame(c, n, noop), count, min_time=0.3)
            print(f"{count:>7} {data_len:>5} | {figures[0]:>12,.0f}/s {figures[1]:>13,.0f}/s {figures[2]:>12,.0f}/s"
                  f" | {py:>11,.0f}/s {figures[1] / py:>6.1f}x")


if __name__ == "__main__":
    main()
