import can
import pytest

from fdhost_can.channels import AdapterChannel, VirtualChannel, parse_channel, select_serial


@pytest.mark.parametrize("given, parsed", [
    (None, AdapterChannel()),
    ("  ", AdapterChannel()),
    ("ab12cd", AdapterChannel("AB12CD")),
    (12345, AdapterChannel("12345", from_number=True)),
    ("virtual:bench-1", VirtualChannel("bench-1")),
    ("VIRTUAL:Mixed.Case", VirtualChannel("Mixed.Case")),
])
def test_parse(given, parsed):
    assert parse_channel(given) == parsed


@pytest.mark.parametrize("given", [True, -5, 1.5, b"AB", "virtual:", "virtual:a/b", "virtual:a b",
                                   "virtual:" + "x" * 65, "AB\x00", "A B"])
def test_parse_rejects(given):
    with pytest.raises(can.CanInitializationError):
        parse_channel(given)


PRESENT = ["ab12", "0012345", "AB99", ""]


@pytest.mark.parametrize("channel, serial", [
    ("AB12", "ab12"),          # any case, answered as the adapter spells it
    ("0012345", "0012345"),
    (12345, "0012345"),        # a config file's number lost the leading zeros
])
def test_select(channel, serial):
    assert select_serial(parse_channel(channel), PRESENT) == serial


@pytest.mark.parametrize("channel, present, words", [
    (None, PRESENT, ["4 fdhost adapters", "ab12, 0012345, AB99, (no serial)"]),
    (None, [], ["no fdhost adapter"]),
    ("CD", PRESENT, ["no fdhost adapter with serial CD", "AB99"]),
    ("ab12", ["AB12", "ab12"], ["several"]),
    (123, ["0123", "00123"], ["several"]),
])
def test_select_errors_list_the_adapters(channel, present, words):
    with pytest.raises(can.CanInitializationError) as e:
        select_serial(parse_channel(channel), present)
    assert all(w in str(e.value) for w in words)


def test_single_adapter_needs_no_channel():
    assert select_serial(parse_channel(None), [""]) == ""
