#include "receive_container.hpp"

#include <algorithm>

#include "byte_order.hpp"
#include "constants.hpp"
#include "crc.hpp"

namespace fdh {

ContainerResult check_container(std::span<const std::uint8_t> d) noexcept {
    ContainerResult r;
    if (d.size() < 4) return r;
    r.start = d[0];
    r.end = d[d.size() - 1];
    r.bytes_num = get_le16(d.data() + 2);
    if (r.start != FRAME_START || r.end != FRAME_END) {
        r.check = ContainerCheck::FrameFormat;
        return r;
    }
    if (r.bytes_num == 0) {
        r.check = ContainerCheck::EmptyCount;
        return r;
    }
    if (r.bytes_num + 6 > d.size()) {
        r.check = ContainerCheck::Exceeds;
        return r;
    }
    r.section = d.subspan(2, r.bytes_num + 4);
    r.check = ContainerCheck::Ok;
    return r;
}

SectionResult check_section(std::span<const std::uint8_t> s, long long actual_len) noexcept {
    SectionResult r;
    if (s.empty() || actual_len < 4) return r;
    r.bytes_size = get_le_clipped(s, 0, 2);
    if (static_cast<long long>(r.bytes_size) + 4 > actual_len) {
        r.check = SectionCheck::InvalidTotal;
        return r;
    }
    const std::size_t body_end = std::min(s.size(), r.bytes_size + 2);
    r.records = s.subspan(std::min<std::size_t>(2, s.size()), body_end - std::min<std::size_t>(2, s.size()));
    r.crc_local = crc16_ibm(s.first(body_end));
    r.crc_recv = static_cast<std::uint16_t>(get_le_clipped(s, r.bytes_size + 2, 2));
    r.check = r.crc_local == r.crc_recv ? SectionCheck::Ok : SectionCheck::CrcFailed;
    return r;
}

RecordStep RecordCursor::next(RecordView& out) noexcept {
    if (remaining_ == 0) return RecordStep::End;
    if (remaining_ < CAN_HEAD_SIZE) return RecordStep::Malformed;
    if (offset_ + CAN_HEAD_SIZE > buf_.size()) return RecordStep::HeaderTruncated;
    out.head = decode_head(buf_.data() + offset_);
    offset_ += CAN_HEAD_SIZE;
    remaining_ -= CAN_HEAD_SIZE;
    const long len = dlc_to_len(out.head.dlc);
    if (len < 0 || len > 64 || remaining_ < static_cast<std::size_t>(len)) return RecordStep::Malformed;
    const std::size_t avail = offset_ < buf_.size() ? std::min<std::size_t>(len, buf_.size() - offset_) : 0;
    out.data = buf_.subspan(std::min(offset_, buf_.size()), avail);
    offset_ += static_cast<std::size_t>(len);
    remaining_ -= static_cast<std::size_t>(len);
    return RecordStep::Record;
}

void append_record(std::vector<std::uint8_t>& records, const CanHead& head, std::span<const std::uint8_t> data) {
    std::uint8_t h[CAN_HEAD_SIZE];
    encode_head(head, std::span<std::uint8_t, CAN_HEAD_SIZE>(h));
    records.insert(records.end(), h, h + CAN_HEAD_SIZE);
    const std::size_t len = static_cast<std::size_t>(dlc_to_len(head.dlc));
    const std::size_t n = std::min(len, data.size());
    records.insert(records.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    records.insert(records.end(), len - n, std::uint8_t{0});
}

std::vector<std::uint8_t> make_container(std::span<const std::uint8_t> records, std::uint8_t byte1) {
    std::vector<std::uint8_t> c;
    c.reserve(records.size() + 7);
    const auto n = static_cast<std::uint16_t>(records.size());
    c.push_back(FRAME_START);
    c.push_back(byte1);
    c.push_back(static_cast<std::uint8_t>(n & 0xFF));
    c.push_back(static_cast<std::uint8_t>(n >> 8));
    c.insert(c.end(), records.begin(), records.end());
    const std::uint16_t crc = crc16_ibm(std::span<const std::uint8_t>(c).subspan(2));
    c.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    c.push_back(static_cast<std::uint8_t>(crc >> 8));
    c.push_back(FRAME_END);
    return c;
}

}  // namespace fdh
