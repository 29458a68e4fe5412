"""Bit timing of an fdhost Bus: python-can's ``bitrate``, ``data_bitrate``, ``fd`` and ``timing``
turned into the nine fields of the adapter's bit-timing command.

- Plain rates are looked up by value in the adapter's tables (``can_seg_table`` for the nominal
  rate, ``can_fd_seg_table`` for the data rate; rows prescaler, segment 1, segment 2 of the 80 MHz
  clock, the same tables the extension module offers under those names; read from the module given
  at call time), with the jump width 2 the extension itself uses.
- ``can.BitTiming`` / ``can.BitTimingFd`` for an 80 MHz clock (or one python-can can recompute for
  it) are sent as they are: prescaler, tseg1, tseg2 and sjw, so any sample point works.
- ``bitrate`` defaults to 500 kbit/s. ``fd=True`` without ``data_bitrate`` runs the data phase at
  the nominal rate: the one data rate every CAN FD node on an unknown bus accepts (frames with the
  bitrate switch then simply do not speed up). ``data_bitrate`` without ``fd`` is ignored, as in
  python-can's other interfaces, with a warning.
- A classic bus sends the nominal timing in the data-phase fields too (the adapter does not use them).
"""
from __future__ import annotations

import logging
import operator
from types import ModuleType
from typing import Any, NamedTuple, Optional, Sequence, Union

import can
from can.util import check_or_adjust_timing_clock

CLOCK_HZ = 80_000_000
DEFAULT_BITRATE = 500_000
TABLE_SJW = 2
_FIELD_MAX = 255

_log = logging.getLogger("can.fdhost")


class SetupFields(NamedTuple):
    """The bit-timing command's payload, field by field in the order the adapter reads them."""

    can_frame_type: int  # 0 classic CAN, 1 CAN FD
    can_seg1: int
    can_seg2: int
    can_sjw: int
    can_prescaler: int
    canfd_seg1: int
    canfd_seg2: int
    canfd_sjw: int
    canfd_prescaler: int

    @property
    def is_fd(self) -> bool:
        return self.can_frame_type == 1

    @property
    def nominal_bitrate(self) -> float:
        return CLOCK_HZ / (self.can_prescaler * (1 + self.can_seg1 + self.can_seg2))

    @property
    def data_bitrate(self) -> float:
        return CLOCK_HZ / (self.canfd_prescaler * (1 + self.canfd_seg1 + self.canfd_seg2))


Timing = Union[can.BitTiming, can.BitTimingFd]


def table_rates(table: Sequence[Any]) -> list[int]:
    """The bit rates a bit-timing table offers, as the adapter computes them, in table order."""
    rates: list[int] = []
    for row in table:
        rate = _row_rate(row)
        if rate is not None and rate not in rates:
            rates.append(rate)
    return rates


def setup_fields(
    native: ModuleType,
    *,
    bitrate: Optional[int] = None,
    data_bitrate: Optional[int] = None,
    fd: bool = False,
    timing: Optional[Timing] = None,
) -> SetupFields:
    """The payload for the requested timing; ``can.CanInitializationError`` names what the adapter
    cannot do (and, for plain rates, the rates it can)."""
    if timing is not None:
        return _from_timing(timing)
    nominal = _rate("bitrate", DEFAULT_BITRATE if bitrate is None else bitrate)
    if not fd and data_bitrate is not None:
        _log.warning("data_bitrate=%s is ignored: the bus is classic CAN (pass fd=True for CAN FD)", data_bitrate)
    nom = _lookup(native.can_seg_table, nominal, "nominal bitrate")
    if not fd:
        return SetupFields(0, nom[1], nom[2], TABLE_SJW, nom[0], nom[1], nom[2], TABLE_SJW, nom[0])
    data = nominal if data_bitrate is None else _rate("data_bitrate", data_bitrate)
    dat = _lookup(native.can_fd_seg_table, data, "data bitrate")
    return SetupFields(1, nom[1], nom[2], TABLE_SJW, nom[0], dat[1], dat[2], TABLE_SJW, dat[0])


def _rate(name: str, value: Any) -> int:
    try:
        if isinstance(value, bool):
            raise TypeError
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        rate = operator.index(value)
    except TypeError:
        raise can.CanInitializationError(f"{name}={value!r}: give the rate in bit/s as an integer") from None
    if rate <= 0:
        raise can.CanInitializationError(f"{name}={rate}: a bit rate is positive")
    return rate


def _row_rate(row: Any) -> Optional[int]:
    try:
        prescaler, seg1, seg2 = row
        rate: int = CLOCK_HZ // prescaler // (1 + seg1 + seg2)
        return rate
    except (TypeError, ValueError, ZeroDivisionError):
        return None  # a row a program broke cannot be chosen


def _lookup(table: Sequence[Any], rate: int, what: str) -> tuple[int, int, int]:
    """The first row giving `rate` exactly, as the extension's own search picks it."""
    for row in table:
        if _row_rate(row) == rate:
            prescaler, seg1, seg2 = (int(v) for v in row)
            _check_fields(what, prescaler=prescaler, seg1=seg1, seg2=seg2)
            return prescaler, seg1, seg2
    supported = ", ".join(str(r) for r in sorted(table_rates(table)))
    raise can.CanInitializationError(f"{what} {rate} bit/s is not supported; the adapter offers {supported}")


def _check_fields(what: str, **fields: int) -> None:
    for name, value in fields.items():
        if not 0 < value <= _FIELD_MAX:
            raise can.CanInitializationError(
                f"{what}: {name}={value} does not fit the adapter's bit-timing field (1 to {_FIELD_MAX})"
            )


def _from_timing(timing: Timing) -> SetupFields:
    if isinstance(timing, can.BitTimingFd):
        return _from_fd_timing(check_or_adjust_timing_clock(timing, [CLOCK_HZ]))
    t = check_or_adjust_timing_clock(timing, [CLOCK_HZ])
    if t.nof_samples != 1:
        raise can.CanInitializationError(
            f"nof_samples={t.nof_samples}: the adapter samples each bit once (use nof_samples=1)"
        )
    _check_fields("timing", brp=t.brp, tseg1=t.tseg1, tseg2=t.tseg2, sjw=t.sjw)
    return SetupFields(0, t.tseg1, t.tseg2, t.sjw, t.brp, t.tseg1, t.tseg2, t.sjw, t.brp)


def _from_fd_timing(t: can.BitTimingFd) -> SetupFields:
    _check_fields("nominal timing", nom_brp=t.nom_brp, nom_tseg1=t.nom_tseg1, nom_tseg2=t.nom_tseg2,
                  nom_sjw=t.nom_sjw)
    _check_fields("data timing", data_brp=t.data_brp, data_tseg1=t.data_tseg1, data_tseg2=t.data_tseg2,
                  data_sjw=t.data_sjw)
    return SetupFields(1, t.nom_tseg1, t.nom_tseg2, t.nom_sjw, t.nom_brp,
                       t.data_tseg1, t.data_tseg2, t.data_sjw, t.data_brp)
