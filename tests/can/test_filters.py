"""The rules handed to the native reader decide exactly as python-can's own software filter does
(BusABC._matches_filters is the oracle), except the deliberate inverted filters."""
import can
import pytest

from fdhost_can.filters import native_rules


def native_passes(rules, arbitration_id, extended):
    """The reader's rule on 32-bit fields (frame_filter.hpp)."""
    if rules is None:
        return True
    return any((ext is None or ext == extended) and ((((arbitration_id ^ cid) & mask) == 0) != inv)
               for cid, mask, ext, inv in rules)


class SoftwareFilter(can.BusABC):
    def __init__(self, filters):
        self._filters = filters

    def send(self, msg, timeout=None):
        pass


FILTER_LISTS = [
    None, [],
    [{"can_id": 0x123, "can_mask": 0x7FF}],
    [{"can_id": 0x123, "can_mask": 0xFF, "extended": True}],
    [{"can_id": 0x100, "can_mask": 0x700, "extended": False}, {"can_id": 0, "can_mask": 0, "extended": 1}],
    [{"can_id": 0x123, "can_mask": 0x7FF, "extended": None}],       # never matches in python-can
    [{"can_id": 1 << 40 | 0x5, "can_mask": -1}],                     # bits beyond 32: never
    [{"can_id": 1 << 40 | 0x5, "can_mask": 0xF}],                    # masked away: matches id 5
    [{"can_id": -1, "can_mask": 0x7FF}],
    [{"can_id": 0x1ABCDE00, "can_mask": 0x1FFFFF00, "extended": True}],
]
FRAMES = [(i, e) for i in (0, 5, 0x123, 0x124, 0x1FF, 0x7FF, 0x1123, 0x1ABCDE42, 0x1FFFFFFF)
          for e in (False, True)]


@pytest.mark.parametrize("filters", FILTER_LISTS)
def test_same_decisions_as_python_can(filters):
    rules = native_rules(filters)
    oracle = SoftwareFilter(filters or None)
    for arbitration_id, extended in FRAMES:
        msg = can.Message(arbitration_id=arbitration_id, is_extended_id=extended)
        assert native_passes(rules, arbitration_id, extended) == oracle._matches_filters(msg), (arbitration_id, extended)


def test_command_line_inverted_filter():
    rules = native_rules([{"can_id": 0x123 | 0x20000000, "can_mask": 0x7FF}])
    assert rules == [(0x123, 0x7FF, None, True)]
    assert [native_passes(rules, i, False) for i in (0x123, 0x124)] == [False, True]


@pytest.mark.parametrize("bad", [{"can_id": 1}, {"can_id": 1.5, "can_mask": 3}, {"can_id": "1", "can_mask": 3}])
def test_malformed_filter(bad):
    with pytest.raises(ValueError, match="can_mask"):
        native_rules([bad])
