"""The core's reports reach the logger can.fdhost at the core's own levels, and nowhere else."""
import logging

import pytest

from fdhost_can import log


@pytest.mark.parametrize("level", [logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR])
def test_reports_keep_their_level(caplog, level):
    caplog.set_level(logging.DEBUG, logger="can.fdhost")
    log.emit(level, "adapter AB: 100% of it")  # no %-formatting of the text
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [("can.fdhost", level, "adapter AB: 100% of it")]
