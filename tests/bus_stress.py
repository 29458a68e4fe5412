"""Python-can Buses on shared virtual buses, stressed the way programs end and race:

    python tests/bus_stress.py exits PROCESSES NAME...   # processes that end with os._exit right after shutdown()
    python tests/bus_stress.py rounds ROUNDS NAME...     # threads racing a shutdown() at a random moment

``exits`` forks PROCESSES children in waves from one process that has loaded nothing native yet;
each opens a Bus on one of the names (in turn), sends a frame, shuts the Bus down and ends with
``os._exit(0)`` at once, leaving the library no chance to tidy up at exit. ``rounds`` runs, per
round and name, a Bus with 8 threads sending, 2 in ``recv()``, one changing filters and one calling
``shutdown()`` after a random time, next to a peer Bus that acknowledges the frames; a round ends
when every thread has. Both then check that each name still works: two fresh Buses on it exchange
a frame. One JSON line on standard output tells what happened; a round whose threads do not end
within ROUND_LIMIT_S counts as hung. The test (tests/can/test_bus_stress.py) runs a short version;
FDHOST_STRESS_PROCESSES and FDHOST_STRESS_ROUNDS make it longer.
"""
import json
import os
import random
import sys
import threading
import time

import load_fdhost  # noqa: F401  (puts the repository on the path)

import can  # noqa: E402
import can.util  # noqa: E402

from fdhost_can import bus as bus_module  # noqa: E402,F401  (imported before forking: nothing native runs yet)

can.interfaces.BACKENDS["fdhost"] = ("fdhost_can.bus", "FdhostBus")
can.util.VALID_INTERFACES = can.util.VALID_INTERFACES | {"fdhost"}

WAVE = 16            # children alive at once
CHILD_LIMIT_S = 30   # a child still running after this is stuck
ROUND_LIMIT_S = 15   # a round's threads still running after this are stuck
OPENED, OPEN_FAILED = 0, 3


def open_bus(name: str) -> can.BusABC:
    return can.Bus(interface="fdhost", channel=f"virtual:{name}")


def child(name: str) -> None:
    try:
        bus = open_bus(name)
    except can.CanError:
        os._exit(OPEN_FAILED)
    try:
        bus.send(can.Message(arbitration_id=0x123, is_extended_id=False), timeout=0.2)
    except can.CanError:
        pass  # alone on the bus, or its queue full: not what this looks at
    bus.shutdown()
    os._exit(OPENED)


def exits(processes: int, names: list[str]) -> dict:
    outcome = {"processes": processes, "opened": 0, "open_failed": 0, "stuck": 0, "other": 0}
    started = 0
    while started < processes:
        pids = {}
        for _ in range(min(WAVE, processes - started)):
            name = names[started % len(names)]
            pid = os.fork()
            if pid == 0:
                child(name)
            pids[pid] = name
            started += 1
        deadline = time.monotonic() + CHILD_LIMIT_S
        while pids:
            pid, status = os.waitpid(-1, os.WNOHANG)
            if pid == 0:
                if time.monotonic() > deadline:
                    for stuck in pids:  # our own children, by pid
                        os.kill(stuck, 9)
                        os.waitpid(stuck, 0)
                    outcome["stuck"] += len(pids)
                    pids.clear()
                time.sleep(0.01)
                continue
            pids.pop(pid, None)
            code = os.waitstatus_to_exitcode(status)
            key = {OPENED: "opened", OPEN_FAILED: "open_failed"}.get(code, "other")
            outcome[key] += 1
    return outcome


def data_frames(bus, timeout: float) -> int:
    """How many data frames `bus` has waiting; its error frames (nobody acknowledging the peer once
    the Bus is gone) are not frames the Bus sent."""
    return sum(1 for m in iter(lambda: bus.recv(timeout), None) if not m.is_error_frame)


def one_round(name: str, rng: random.Random, tally: dict) -> bool:
    """True when every thread ended in time; `tally` counts the frames the Bus sent, those the peer
    received and those the Bus's receivers took."""
    counting = threading.Lock()  # `+=` from several threads loses counts without a GIL

    with open_bus(name) as peer:
        bus = open_bus(name)

        def sending(i: int) -> None:
            while True:
                try:
                    bus.send(can.Message(arbitration_id=0x100 + i, is_extended_id=False, data=bytes([i])), timeout=0.05)
                    with counting:
                        tally["sent"] += 1
                except can.CanOperationError as e:
                    if "shut down" in str(e) or "closed" in str(e):
                        return

        def receiving() -> None:
            while True:
                try:
                    if bus.recv(0.05) is not None:
                        with counting:
                            tally["taken"] += 1
                except can.CanOperationError:
                    return

        def filtering() -> None:
            while True:
                try:
                    bus.set_filters([{"can_id": rng.randrange(0x800), "can_mask": 0x700}] if rng.random() < 0.5 else None)
                except can.CanOperationError:
                    return
                time.sleep(0.001)

        def closing() -> None:
            time.sleep(rng.uniform(0, 0.3))
            bus.shutdown()

        threads = ([threading.Thread(target=sending, args=(i,), daemon=True) for i in range(8)]
                   + [threading.Thread(target=receiving, daemon=True) for _ in range(2)]
                   + [threading.Thread(target=filtering, daemon=True), threading.Thread(target=closing, daemon=True)])
        for t in threads:
            t.start()
        while threads[-1].is_alive():  # the peer's frames keep the receivers busy until the shutdown
            try:
                peer.send(can.Message(arbitration_id=0x80, is_extended_id=False), timeout=0.01)
            except can.CanOperationError:
                pass  # the Bus is gone: nobody acknowledges
            tally["received"] += data_frames(peer, 0.001)
        deadline = time.monotonic() + ROUND_LIMIT_S
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        tally["received"] += data_frames(peer, 0.05)
        return not any(t.is_alive() for t in threads)


def rounds(count: int, names: list[str]) -> dict:
    rng = random.Random(os.environ.get("FDHOST_STRESS_SEED", "20"))
    tally = {"sent": 0, "received": 0, "taken": 0}
    hung = [name for i in range(count) for name in [names[i % len(names)]] if not one_round(name, rng, tally)]
    return {"rounds": count, "hung": len(hung), "hung_names": sorted(set(hung)), **tally}


def names_work(names: list[str]) -> list[str]:
    """The names on which two fresh Buses do not exchange a frame."""
    broken = []
    for name in names:
        try:
            with open_bus(name) as a, open_bus(name) as b:
                a.send(can.Message(arbitration_id=0x7A, is_extended_id=False), timeout=1)
                if b.recv(2) is None:
                    broken.append(name)
        except can.CanError:
            broken.append(name)
    return broken


if __name__ == "__main__":
    what, count, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    result = {"exits": exits, "rounds": rounds, "names": lambda count, names: {}}[what](count, names)
    result["names_not_working"] = names_work(names)
    print(json.dumps(result), flush=True)
