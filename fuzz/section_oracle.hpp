// Runs the core's section check and record cursor on one section and demands that they agree with
// the reference in every verdict, field, record and stop reason.
#pragma once
#include <array>
#include <cstdlib>
#include <span>

#include "check.hpp"
#include "receive_container.hpp"
#include "ref_section.hpp"

namespace oracle {

inline ref::SectionVerdict as_ref(fdh::SectionCheck c) {
    switch (c) {
        case fdh::SectionCheck::TooShort: return ref::SectionVerdict::TooShort;
        case fdh::SectionCheck::InvalidTotal: return ref::SectionVerdict::InvalidTotal;
        case fdh::SectionCheck::CrcFailed: return ref::SectionVerdict::CrcFailed;
        case fdh::SectionCheck::Ok: return ref::SectionVerdict::Ok;
    }
    std::abort();
}

inline ref::Stop as_ref(fdh::RecordStep s) {
    switch (s) {
        case fdh::RecordStep::End: return ref::Stop::End;
        case fdh::RecordStep::Malformed: return ref::Stop::Malformed;
        case fdh::RecordStep::HeaderTruncated: return ref::Stop::HeaderTruncated;
        case fdh::RecordStep::Record: break;
    }
    std::abort();
}

inline void compare_walk(std::span<const std::uint8_t> records, std::size_t count) {
    const ref::Walk want = ref::walk(ref::to_bytes(records), count);
    fdh::RecordCursor cursor(records, count);
    fdh::RecordView view;
    std::size_t i = 0;
    fdh::RecordStep step;
    while ((step = cursor.next(view)) == fdh::RecordStep::Record) {
        FUZZ_CHECK(i < want.records.size());
        const ref::Record& r = want.records[i++];
        // The header must be exactly the 12 bytes found, as the encoder would write them back.
        std::array<std::uint8_t, fdh::CAN_HEAD_SIZE> head{};
        fdh::encode_head(view.head, head);
        FUZZ_CHECK(ref::same(head, r.head));
        FUZZ_CHECK(view.head.dlc == (r.head.at(11) >> 4) && view.head.dir == ((r.head.at(11) >> 3) & 1));
        FUZZ_CHECK(ref::same(view.data, r.data));
        FUZZ_CHECK(cursor.offset() == r.end_offset);
    }
    FUZZ_CHECK(i == want.records.size());
    FUZZ_CHECK(as_ref(step) == want.stop);
    if (step == fdh::RecordStep::End) FUZZ_CHECK(cursor.offset() == count);
}

// Checks `section` against the reference; walks the records when the check passed, or also after a
// checksum failure when `walk_unchecked` (the cursor must be safe on any bytes).
inline fdh::SectionResult compare_section(std::span<const std::uint8_t> section, long long actual_len,
                                          bool walk_unchecked) {
    const fdh::SectionResult got = fdh::check_section(section, actual_len);
    const ref::Section want = ref::check_section(ref::to_bytes(section), actual_len);
    FUZZ_CHECK(as_ref(got.check) == want.verdict);
    if (want.verdict == ref::SectionVerdict::TooShort) return got;
    FUZZ_CHECK(got.bytes_size == want.count);
    if (want.verdict == ref::SectionVerdict::InvalidTotal) return got;
    FUZZ_CHECK(ref::same(got.records, want.records));
    FUZZ_CHECK(got.crc_local == want.crc_local && got.crc_recv == want.crc_recv);
    if (got.check == fdh::SectionCheck::Ok || walk_unchecked) compare_walk(got.records, got.bytes_size);
    return got;
}

}  // namespace oracle
