import types

import can
import pytest

from fdhost_can.timing import SetupFields, setup_fields, table_rates

NOMINAL = [100000, 125000, 200000, 250000, 500000, 1000000]


def test_rates_come_from_the_extensions_tables(native_module):
    assert sorted(table_rates(native_module.can_seg_table)) == NOMINAL
    for rate in NOMINAL:
        f = setup_fields(native_module, bitrate=rate)
        assert (f.can_frame_type, f.nominal_bitrate, f.data_bitrate) == (0, rate, rate)
    f = setup_fields(native_module, bitrate=500000, fd=True)  # data phase defaults to the nominal rate
    assert (f.is_fd, f.data_bitrate) == (True, 500000)


def test_fields_in_the_adapters_order(native_module):
    f = setup_fields(native_module, bitrate=1000000, data_bitrate=5000000, fd=True)
    rec = native_module.setup_baudrate_t()
    for name, value in f._asdict().items():
        setattr(rec, name, value)
    assert bytes(f) == bytes(rec.to_bytes()) == bytes.fromhex("011D0A02020D020201")


def test_a_programs_table_change_counts(native_module):
    mod = types.SimpleNamespace(can_seg_table=[[4, 29, 10]], can_fd_seg_table=[[0, 1, 1], [1, 300, 99]])
    assert setup_fields(mod, bitrate=500000).can_prescaler == 4
    with pytest.raises(can.CanInitializationError, match="seg1=300"):
        setup_fields(mod, bitrate=500000, data_bitrate=200000, fd=True)


@pytest.mark.parametrize("kwargs, words", [
    (dict(bitrate=300000), ["300000", "100000, 125000, 200000, 250000, 500000, 1000000"]),
    (dict(bitrate=500000, data_bitrate=3000000, fd=True), ["data bitrate 3000000", "2500000, 4000000, 5000000"]),
    (dict(bitrate="fast"), ["integer"]),
    (dict(bitrate=0), ["positive"]),
])
def test_unsupported_rates_name_the_supported_ones(native_module, kwargs, words):
    with pytest.raises(can.CanInitializationError) as e:
        setup_fields(native_module, **kwargs)
    assert all(w in str(e.value) for w in words)


def test_timing_objects_are_sent_as_they_are(native_module):
    fd = can.BitTimingFd(f_clock=80_000_000, nom_brp=1, nom_tseg1=119, nom_tseg2=40, nom_sjw=40,
                         data_brp=1, data_tseg1=29, data_tseg2=10, data_sjw=10)
    assert setup_fields(native_module, timing=fd, bitrate=1) == SetupFields(1, 119, 40, 40, 1, 29, 10, 10, 1)
    classic = can.BitTiming(f_clock=40_000_000, brp=5, tseg1=13, tseg2=2, sjw=1)  # 500k, recomputed at 80 MHz
    with pytest.warns(UserWarning, match="Adjusted f_clock"):
        f = setup_fields(native_module, timing=classic, fd=True)
    assert (f.can_frame_type, f.nominal_bitrate, f.can_seg1, f.can_seg2) == (0, 500000, 13, 2)


@pytest.mark.parametrize("timing, words", [
    (can.BitTimingFd(f_clock=80_000_000, nom_brp=1, nom_tseg1=256, nom_tseg2=63, nom_sjw=1,
                     data_brp=1, data_tseg1=15, data_tseg2=4, data_sjw=1), ["nom_tseg1=256"]),
    (can.BitTiming(f_clock=24_000_000, brp=1, tseg1=13, tseg2=2, sjw=1), ["f_clock", "80000000"]),
    (can.BitTiming(f_clock=80_000_000, brp=10, tseg1=13, tseg2=2, sjw=1, nof_samples=3), ["nof_samples"]),
])
def test_timing_the_adapter_cannot_do(native_module, timing, words):
    with pytest.raises(can.CanInitializationError) as e:
        setup_fields(native_module, timing=timing)
    assert all(w in str(e.value) for w in words)
