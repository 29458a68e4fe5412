// Acknowledgement check against the reference, and ack_frame -> check_ack round trips.
//
// Input: the expected command code, then the bytes of one read.
#include <cstdint>
#include <vector>

#include "ack_frame.hpp"
#include "check.hpp"
#include "ref_ack.hpp"

namespace {

void compare_with_reference(const ref::Bytes& frame, std::uint8_t expected) {
    const fdh::AckResult got = fdh::check_ack(frame, expected);
    const ref::Ack want = ref::check_ack(frame, expected);
    FUZZ_CHECK(got.check == want.check);
    if (want.check == fdh::AckCheck::Empty) return;
    FUZZ_CHECK(got.frame_start == want.start && got.frame_end == want.end);
    if (want.check == fdh::AckCheck::FrameError) return;
    FUZZ_CHECK(got.ack_len == want.len && got.crc == want.crc && got.crc_local == want.crc_local);
    if (want.check == fdh::AckCheck::CrcError) return;
    FUZZ_CHECK(got.cmd_code == want.cmd);
    if (want.check == fdh::AckCheck::CmdError) return;
    FUZZ_CHECK(got.ack_code == want.code);
    FUZZ_CHECK(ref::same(got.data, want.data));
    FUZZ_CHECK(got.data_complete == (want.data.size() == want.len));
    // The data is a view into the read, never past it.
    FUZZ_CHECK(got.data.empty() || got.data.data() + got.data.size() <= frame.data() + frame.size());
}

void round_trip(std::uint8_t cmd, std::uint8_t code, const ref::Bytes& payload) {
    const std::vector<std::uint8_t> frame = fdh::ack_frame(cmd, code, payload);
    FUZZ_CHECK(frame.size() == payload.size() + 8);
    const fdh::AckResult r = fdh::check_ack(frame, cmd);
    FUZZ_CHECK(r.check == (code == 0 ? fdh::AckCheck::Accepted : fdh::AckCheck::Rejected));
    FUZZ_CHECK(r.ack_code == code && r.ack_len == payload.size() && r.data_complete);
    FUZZ_CHECK(ref::same(r.data, payload));
    FUZZ_CHECK(r.crc == ref::crc16_arc(ref::slice(frame, 1, 5 + payload.size())));
    // Matched to its command by the code alone.
    FUZZ_CHECK(fdh::check_ack(frame, static_cast<std::uint8_t>(cmd + 1)).check == fdh::AckCheck::CmdError);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t expected = data[0];
    // Exact-size heap copy: a read past the frame trips ASan.
    const ref::Bytes frame(data + 1, data + size);
    compare_with_reference(frame, expected);
    round_trip(expected, frame.empty() ? 0 : frame[0], frame);
    return 0;
}
