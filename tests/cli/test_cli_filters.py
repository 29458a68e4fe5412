"""candump's CHANNEL[,FILTER]* argument: which frames each filter set passes, as the Linux CAN
layer decides for candump, and the filter texts refused."""
import can
import pytest

from fdhost_can.cli.candump_filters import parse_channel_argument
from fdhost_can.cli.common import CliError

STD_123 = can.Message(arbitration_id=0x123, is_extended_id=False)
STD_124 = can.Message(arbitration_id=0x124, is_extended_id=False)
EXT_123 = can.Message(arbitration_id=0x123, is_extended_id=True)
EXT_12345678 = can.Message(arbitration_id=0x12345678, is_extended_id=True)
RTR_123 = can.Message(arbitration_id=0x123, is_extended_id=False, is_remote_frame=True, dlc=2)
FD_123 = can.Message(arbitration_id=0x123, is_extended_id=False, is_fd=True)
ERROR = can.Message(is_error_frame=True, arbitration_id=0x4)
FRAMES = (STD_123, STD_124, EXT_123, EXT_12345678, RTR_123, FD_123, ERROR)

# filter text after the channel -> the frames of FRAMES it passes
CASES = [
    ("", {STD_123, STD_124, EXT_123, EXT_12345678, RTR_123, FD_123}),          # 0:0, no error frames
    (",123:7FF", {STD_123, EXT_123, RTR_123, FD_123}),                          # both formats, RTR too
    (",123:C00007FF", {STD_123, FD_123}),                                        # standard data frames only
    (",123:7FF,124:7FF", {STD_123, STD_124, EXT_123, RTR_123, FD_123}),
    (",123~7FF", {STD_124, EXT_12345678}),
    (",0~0", set()),                                                             # no data frames at all
    (",12345678:1FFFFFFF", {EXT_12345678}),
    (",12345678:DFFFFFFF", {EXT_12345678}),                                      # extended flag counts
    (",00000123:DFFFFFFF", {EXT_123}),
    (",00000123:1FFFFFFF", {STD_123, EXT_123, RTR_123, FD_123}),                # flag ignored without bit 31
    (",123:7FF,100:700,j", {STD_123, EXT_123, RTR_123, FD_123}),
    (",123:7FF,124:7FF,j", set()),
    (",123:3FFFFFFF", {STD_123, EXT_123, RTR_123, FD_123}),                     # mask bit 29 cleared
    (",#FFFFFFFF", {STD_123, STD_124, EXT_123, EXT_12345678, RTR_123, FD_123, ERROR}),
    (",0~0,#4", {ERROR}),
    (",0~0,#8", set()),
]


@pytest.mark.parametrize("filters, passing", CASES)
def test_filter_decisions(filters, passing):
    channel, fs = parse_channel_argument("virtual:demo" + filters)
    assert channel == "virtual:demo"
    assert {id(m) for m in FRAMES if fs.passes(m)} == {id(m) for m in passing}


@pytest.mark.parametrize("argument, reason", [
    (",123:7FF", "the channel comes first"),
    ("ch,", "expected <id>:<mask>"),
    ("ch,,123:7FF", "expected <id>:<mask>"),
    ("ch,0x123:7FF", "expected <id>:<mask>"),
    ("ch,123:7FFq", "expected <id>:<mask>"),
    ("ch,123456789:7FF", "expected <id>:<mask>"),
    ("ch,#", "expected <id>:<mask>"),
])
def test_bad_filters(argument, reason):
    with pytest.raises(CliError, match=reason):
        parse_channel_argument(argument)
