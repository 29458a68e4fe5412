import logging

import pytest

from fdhost_can import log


@pytest.mark.parametrize("line, level", [
    ("[Error] Not found device you specified: AB", logging.ERROR),
    ("Clear halt failed: [Errno 19] No such device", logging.WARNING),
    ("In unpack_can_frame,CRC check failed", logging.WARNING),
    ("发送不完整：预期 88 字节，实际发送 0 字节", logging.WARNING),
    ("Set the data baud rate: 5000000.0", logging.DEBUG),
])
def test_line_levels(caplog, line, level):
    caplog.set_level(logging.DEBUG, logger="can.fdhost")
    log.line_sink(line + "\n")
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [("can.fdhost", level, line)]


def test_several_lines_in_one_write(caplog):
    caplog.set_level(logging.DEBUG, logger="can.fdhost")
    log.line_sink("Heart thread started\n\n[Error] dev.write failed: x\n")
    assert [r.levelno for r in caplog.records] == [logging.DEBUG, logging.ERROR]


def test_drops_are_logged_once_per_burst(caplog, monkeypatch):
    now = [100.0]
    monkeypatch.setattr(log.time, "monotonic", lambda: now[0])
    reporter = log.DropReporter(quiet_s=1.0)
    for t, total in [(100.0, 0), (100.1, 5), (100.2, 9), (100.9, 9), (101.1, 12), (103.0, 12), (103.1, 20)]:
        now[0] = t
        reporter.update(total)
    assert [r.getMessage().split(" were")[0] for r in caplog.records] == [
        "receive queue full: the newest 5 frame(s)", "receive queue full: the newest 8 frame(s)"]
