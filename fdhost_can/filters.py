"""python-can receive filters in the form the adapter core applies them.

A rule matches as python-can's own software filter does: ``((id ^ can_id) & can_mask) == 0`` and,
when the filter has an ``extended`` key, the identifier format equals it (a value that equals
neither True nor False never matches, as in python-can). Two additions, both for values no real
identifier can have:

- ``can_id`` with bit 29 set (0x20000000, what python-can's command-line ``<id>~<mask>`` produces)
  is an inverted filter: it matches when the masked bits differ. python-can's software filter
  ignores that bit, so elsewhere such a filter matches the very frames it was meant to exclude.
- Bits above 31 are resolved here exactly as Python's arithmetic would (the core works on 32 bits).
"""
from __future__ import annotations

import operator
from typing import Any, Iterable, Mapping, Optional

CAN_INV_FILTER = 0x20000000
_MASK32 = 0xFFFFFFFF
# A rule no frame matches: it asks for bit 31, which no identifier has.
_NEVER: "Rule" = (0x80000000, 0x80000000, None, False)

# (can_id, can_mask, extended: bool | None, invert: bool)
Rule = tuple[int, int, Optional[bool], bool]


def native_rules(filters: Optional[Iterable[Mapping[str, Any]]]) -> Optional[list[Rule]]:
    """None when every frame passes (no filters, or an empty list); otherwise one rule per filter.
    Raises ValueError for a filter without integer ``can_id`` and ``can_mask``."""
    if not filters:
        return None
    rules = [_rule(f) for f in filters]
    return rules or None


def _rule(f: Mapping[str, Any]) -> Rule:
    try:
        can_id = operator.index(f["can_id"])
        can_mask = operator.index(f["can_mask"])
    except (KeyError, TypeError) as e:
        raise ValueError(f"filter {f!r}: needs integer 'can_id' and 'can_mask' ({e!r})") from None
    extended = None
    if "extended" in f:
        if f["extended"] == True:  # noqa: E712 - python-can compares with ==, so 1 counts as True
            extended = True
        elif f["extended"] == False:  # noqa: E712
            extended = False
        else:
            return _NEVER
    invert = can_id >= 0 and bool(can_id & CAN_INV_FILTER)
    if invert:
        can_id &= ~CAN_INV_FILTER
    if (can_id & can_mask) >> 32:
        # A bit above 31 in both: every identifier differs there.
        return (0, 0, extended, False) if invert else _NEVER
    return (can_id & _MASK32, can_mask & _MASK32, extended, invert)
