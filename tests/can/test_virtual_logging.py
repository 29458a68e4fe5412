"""python-can's log writers and readers on our traffic: a virtual bus saturated by the virtual
adapter's generator, recorded as it is received and read back frame for frame."""
import time

import can
import pytest

pytestmark = pytest.mark.usefixtures("fdhost_backend")

FRAMES = 10_000  # half a second of the saturated bus: 8-byte FD frames at 1M/5M


@pytest.mark.parametrize("suffix", [".asc", ".blf", ".log"])
def test_logs_record_our_traffic_losslessly_at_saturation(buses, vad, channel, tmp_path, suffix):
    bus = buses()
    generator = vad.plug(channel.partition(":")[2])
    path = tmp_path / f"traffic{suffix}"
    received = []
    try:
        with can.Logger(path) as logger:
            vad.generator(f"saturate,dlc=8,fd=1,brs=1,id=0x1F0,count={FRAMES}", adapter=generator)
            t0 = time.monotonic()
            while len(received) < FRAMES and (msg := bus.recv(2)) is not None:
                logger(msg)
                received.append(msg)
            elapsed = time.monotonic() - t0
    finally:
        vad.unplug(adapter=generator)
    seqs = [int.from_bytes(m.data[:4], "little") for m in received]
    gap = next((i for i, seq in enumerate(seqs) if seq != i), None)
    assert seqs == list(range(FRAMES)) and bus.dropped_frames == 0, (
        f"{len(seqs)} received in {elapsed:.2f} s, first gap at {gap}, {bus.dropped_frames} dropped")
    read = list(can.LogReader(path))
    assert len(read) == FRAMES
    fields = ("arbitration_id", "is_extended_id", "is_fd", "bitrate_switch", "dlc", "data", "is_remote_frame")
    # Time stamps to the microsecond, counted from the first frame (an ASC file's start time has
    # only milliseconds).
    for got, want in zip(read, received):
        assert [getattr(got, f) for f in fields] == [getattr(want, f) for f in fields]
        assert got.timestamp - read[0].timestamp == pytest.approx(want.timestamp - received[0].timestamp, abs=2e-6)
