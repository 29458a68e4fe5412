// Reference for the section check and the record walk, written the long way round: slices that
// clip at the end of the data, one record at a time, lengths from a switch.
#pragma once
#include <cstdint>
#include <vector>

#include "ref_bytes.hpp"

namespace ref {

enum class SectionVerdict { TooShort, InvalidTotal, CrcFailed, Ok };
enum class Stop { End, Malformed, HeaderTruncated };

struct Record {
    Bytes head;  // the 12 header bytes as found
    Bytes data;  // the data bytes present
    std::size_t end_offset = 0;
};

struct Section {
    SectionVerdict verdict = SectionVerdict::TooShort;
    std::size_t count = 0;
    Bytes records;
    std::uint16_t crc_local = 0, crc_recv = 0;
};

struct Walk {
    std::vector<Record> records;
    Stop stop = Stop::End;
};

inline std::size_t dlc_length(unsigned code) {
    switch (code) {
        case 9: return 12;
        case 10: return 16;
        case 11: return 20;
        case 12: return 24;
        case 13: return 32;
        case 14: return 48;
        case 15: return 64;
        default: return code;  // 0..8 (a 4-bit code is never above 15)
    }
}

inline Section check_section(const Bytes& s, long long actual_len) {
    Section r;
    if (s.empty() || actual_len < 4) return r;
    r.count = le(slice(s, 0, 2));
    if (2 + static_cast<long long>(r.count) + 2 > actual_len) {
        r.verdict = SectionVerdict::InvalidTotal;
        return r;
    }
    r.records = slice(s, 2, 2 + r.count);
    r.crc_local = crc16_arc(slice(s, 0, 2 + r.count));
    r.crc_recv = static_cast<std::uint16_t>(le(slice(s, 2 + r.count, 4 + r.count)));
    r.verdict = r.crc_local == r.crc_recv ? SectionVerdict::Ok : SectionVerdict::CrcFailed;
    return r;
}

// `buf` holds the record bytes present, `count` the number the section claims.
inline Walk walk(const Bytes& buf, std::size_t count) {
    Walk w;
    std::size_t left = count, offset = 0;
    auto stop = [&w](Stop why) {
        w.stop = why;
        return w;
    };
    for (;;) {
        if (left == 0) return stop(Stop::End);
        if (left < 12) return stop(Stop::Malformed);
        Record rec;
        rec.head = slice(buf, offset, offset + 12);
        if (rec.head.size() < 12) return stop(Stop::HeaderTruncated);
        offset += 12;
        left -= 12;
        const std::size_t len = dlc_length(rec.head.at(11) >> 4);
        if (left < len) return stop(Stop::Malformed);
        rec.data = slice(buf, offset, offset + len);
        offset += len;
        left -= len;
        rec.end_offset = offset;
        w.records.push_back(rec);
    }
}

}  // namespace ref
