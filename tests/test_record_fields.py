"""Every field of every record class, taken from the classes themselves: a field may hold any object,
so a reference cycle through any of them must be found and broken by the garbage collector."""
import gc
import weakref

import pytest

import src.fdhost as fd

RECORDS = [fd.can_head_type, fd.can_value_type, fd.can_tx_type, fd.setup_baudrate_t, fd.can_ack_type]


def fields_of(cls):
    return [name for name, value in vars(cls).items() if isinstance(value, property)]


FIELDS = [(cls, name) for cls in RECORDS for name in fields_of(cls)]


class Box:
    pass


def test_every_record_has_its_fields():
    assert {cls.__name__: len(fields_of(cls)) for cls in RECORDS} == {
        "can_head_type": 8, "can_value_type": 2, "can_tx_type": 15, "setup_baudrate_t": 9, "can_ack_type": 2}


@pytest.mark.parametrize("cls,name", FIELDS, ids=[f"{c.__name__}.{n}" for c, n in FIELDS])
def test_cycle_through_a_field_is_collected(cls, name):
    record, box = cls(), Box()
    box.record = record
    setattr(record, name, box)
    alive = weakref.ref(box)
    del record, box
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("cls,name", FIELDS, ids=[f"{c.__name__}.{n}" for c, n in FIELDS])
def test_record_holding_itself_is_collected(cls, name):
    # Only the record's own clearing can break this cycle; a box in another field shows it went.
    record, box = cls(), Box()
    other = next(n for n in fields_of(cls) if n != name)
    setattr(record, other, box)
    setattr(record, name, record)
    alive = weakref.ref(box)
    del record, box
    gc.collect()
    assert alive() is None
