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



SIZES = {"can_head_type": 12, "can_value_type": 76, "can_tx_type": 88, "setup_baudrate_t": 9, "can_ack_type": 64}


def filled(cls):
    """A record whose every field holds a value other than its initial one."""
    record = cls()
    record.from_bytes(b"\xff" * SIZES[cls.__name__])
    return record


def encoded_with(cls, name, value):
    record = cls()
    setattr(record, name, value)
    return record.to_bytes()


# A program's own view of a field is what to_bytes encodes, however the field is replaced.
@pytest.mark.parametrize("cls,name", FIELDS, ids=[f"{c.__name__}.{n}" for c, n in FIELDS])
def test_to_bytes_reads_a_field_as_a_subclass_presents_it(cls, name):
    value = getattr(filled(cls), name)
    sub = type("Sub", (cls,), {name: property(lambda self: value)})
    assert sub().to_bytes() == encoded_with(cls, name, value) != cls().to_bytes()


@pytest.mark.parametrize("cls", RECORDS, ids=[c.__name__ for c in RECORDS])
def test_to_bytes_follows_a_field_replaced_on_the_class(cls, monkeypatch):
    name = fields_of(cls)[0]
    value = getattr(filled(cls), name)
    expected = encoded_with(cls, name, value)
    monkeypatch.setattr(cls, name, property(lambda self: value))
    assert cls().to_bytes() == expected
