// A section with a claimed length that may lie: the check and the record walk must stay inside the
// bytes really there and agree with the reference.
//
// Input: mode byte, four bytes for the claimed length, then the section.
//   mode bit 0     write the right checksum at the position the count gives (if it lies inside)
//   mode bits 1-2  claimed length: 0 section size + int8(byte 1), 1 int32 LE of bytes 1-4,
//                  2 the section size, 3 int8(byte 1)
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "ref_bytes.hpp"
#include "section_oracle.hpp"

namespace {

long long claimed_length(const std::uint8_t* ctl, std::size_t section_size) {
    const auto small = static_cast<std::int8_t>(ctl[1]);
    switch ((ctl[0] >> 1) & 3) {
        case 0: return static_cast<long long>(section_size) + small;
        case 1: {
            std::int32_t v;
            std::memcpy(&v, ctl + 1, 4);
            return v;
        }
        case 2: return static_cast<long long>(section_size);
        default: return small;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    // Exact-size heap copy: a read past the section trips ASan.
    ref::Bytes section(data + 5, data + size);
    if (data[0] & 1) {
        const std::size_t count = ref::le(ref::slice(section, 0, 2));
        if (count + 4 <= section.size()) {
            const std::uint16_t crc = ref::crc16_arc(ref::slice(section, 0, 2 + count));
            section.at(2 + count) = static_cast<std::uint8_t>(crc);
            section.at(3 + count) = static_cast<std::uint8_t>(crc >> 8);
        }
    }
    const long long actual_len = claimed_length(data, section.size());
    const fdh::SectionResult got = oracle::compare_section(section, actual_len, true);
    if (got.check == fdh::SectionCheck::Ok || got.check == fdh::SectionCheck::CrcFailed) {
        // The record view never reaches outside the section, and is short only when the section is.
        FUZZ_CHECK(got.records.empty() || (got.records.data() >= section.data() + 2 &&
                                           got.records.data() + got.records.size() <= section.data() + section.size()));
        FUZZ_CHECK(got.records.size() == got.bytes_size || section.size() < got.bytes_size + 2);
    }
    return 0;
}
