// Bulk receive containers (adapter -> host on 0x81) and the section of frame records inside them.
//
// Container: A5, one unexamined byte, count N (LE16), N record bytes, CRC (LE16) over count+records,
// then any bytes, the last byte read being 5A. Section handed to the decoder: count, records, CRC.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "records.hpp"

namespace fdh {

enum class ContainerCheck { TooShort, FrameFormat, EmptyCount, Exceeds, Ok };

struct ContainerResult {
    ContainerCheck check = ContainerCheck::TooShort;
    std::uint8_t start = 0;
    std::uint8_t end = 0;
    std::size_t bytes_num = 0;
    std::span<const std::uint8_t> section;  // bytes_num + 4 bytes from offset 2
};

// `data` is exactly the bytes transferred (the caller has already limited it to the valid length).
ContainerResult check_container(std::span<const std::uint8_t> data) noexcept;

enum class SectionCheck { TooShort, InvalidTotal, CrcFailed, Ok };

struct SectionResult {
    SectionCheck check = SectionCheck::TooShort;
    std::size_t bytes_size = 0;               // the count field
    std::span<const std::uint8_t> records;    // up to bytes_size record bytes that are present
    std::uint16_t crc_local = 0;
    std::uint16_t crc_recv = 0;
};

// `actual_len` is the length the caller claims; `section` is what is really there. Fields cut short by
// the end of `section` read as shorter numbers, as slicing would give them.
SectionResult check_section(std::span<const std::uint8_t> section, long long actual_len) noexcept;

struct RecordView {
    CanHead head;
    std::span<const std::uint8_t> data;  // the data bytes present (fewer than the DLC length only if cut short)
};

enum class RecordStep {
    Record,           // `out` holds the next record
    End,              // all counted bytes consumed
    Malformed,        // fewer than 12 bytes left, or the DLC length does not fit what is left
    HeaderTruncated,  // the count promises a header the data does not contain
};

// Walks the records of a checked section in order.
class RecordCursor {
public:
    RecordCursor(std::span<const std::uint8_t> records, std::size_t bytes_size) noexcept
        : buf_(records), remaining_(bytes_size) {}
    RecordStep next(RecordView& out) noexcept;
    std::size_t offset() const noexcept { return offset_; }

private:
    std::span<const std::uint8_t> buf_;
    std::size_t remaining_;
    std::size_t offset_ = 0;
};

// Builds a well-formed container (used by the virtual adapter, tests, benchmarks and fuzz seeds).
void append_record(std::vector<std::uint8_t>& records, const CanHead& head, std::span<const std::uint8_t> data);
std::vector<std::uint8_t> make_container(std::span<const std::uint8_t> records, std::uint8_t byte1 = 0);

}  // namespace fdh
