// Command frames: the parser accepts exactly what the reference accepts, a parsed frame is rebuilt
// byte for byte by the builder, and built frames parse back with a textbook CRC-16/ARC.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "command_frame.hpp"
#include "ref_bytes.hpp"

namespace {

bool ref_is_frame(const ref::Bytes& f) {
    if (f.size() < 7 || f.at(0) != 0xA5 || f.at(f.size() - 1) != 0x5A) return false;
    const std::size_t n = ref::le(ref::slice(f, 2, 4));
    if (f.size() != n + 7) return false;
    return ref::le(ref::slice(f, 4 + n, 6 + n)) == ref::crc16_arc(ref::slice(f, 1, 4 + n));
}

void check_built(const std::vector<std::uint8_t>& f, std::uint8_t code, const ref::Bytes& payload) {
    const std::size_t n = payload.size();
    FUZZ_CHECK(f.size() == n + 7 && f.front() == 0xA5 && f.back() == 0x5A && f.at(1) == code);
    FUZZ_CHECK(ref::le(ref::slice(f, 2, 4)) == n);
    FUZZ_CHECK(ref::le(ref::slice(f, 4 + n, 6 + n)) == ref::crc16_arc(ref::slice(f, 1, 4 + n)));
    const auto parsed = fdh::parse_command_frame(f);
    FUZZ_CHECK(parsed && parsed->code == code && ref::same(parsed->payload, payload));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exact-size heap copy: a read past the frame trips ASan.
    const ref::Bytes in(data, data + size);

    const auto parsed = fdh::parse_command_frame(in);
    FUZZ_CHECK(parsed.has_value() == ref_is_frame(in));
    if (parsed) {
        FUZZ_CHECK(parsed->code == in.at(1) && ref::same(parsed->payload, ref::slice(in, 4, in.size() - 3)));
        // A valid frame is fully determined by its code and payload.
        FUZZ_CHECK(fdh::command_frame(parsed->code, parsed->payload) == in);
    }

    // Round trip with the input as payload, and the same length with no payload given (zeros).
    const std::uint8_t code = size ? in[0] : 0;
    const ref::Bytes payload = ref::slice(in, 1, 1 + fdh::MAX_COMMAND_PAYLOAD);
    check_built(fdh::command_frame(code, payload), code, payload);
    std::vector<std::uint8_t> zeros(payload.size() + 7, 0xEE);
    const std::size_t written =
        fdh::encode_command_frame(code, static_cast<std::uint16_t>(payload.size()), nullptr, zeros);
    FUZZ_CHECK(written == zeros.size());
    check_built(zeros, code, ref::Bytes(payload.size(), 0));
    return 0;
}
