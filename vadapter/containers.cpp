#include "containers.hpp"

#include "byte_order.hpp"
#include "receive_container.hpp"
#include "records.hpp"

namespace vad {
namespace {

// Offsets of the records in a well-formed run, found from their DLC codes.
std::vector<std::size_t> record_offsets(const std::vector<std::uint8_t>& records) {
    std::vector<std::size_t> out;
    std::size_t off = 0;
    while (off + fdh::CAN_HEAD_SIZE <= records.size()) {
        out.push_back(off);
        off += fdh::CAN_HEAD_SIZE + static_cast<std::size_t>(fdh::dlc_to_len(records[off + 11] >> 4));
    }
    return out;
}

}  // namespace

std::size_t record_size(const RxFrame& r) noexcept {
    return fdh::CAN_HEAD_SIZE + static_cast<std::size_t>(fdh::dlc_to_len(dlc_code_for(r.frame.len)));
}

void append_rx_record(std::vector<std::uint8_t>& records, const RxFrame& r) {
    const BusFrame& f = r.frame;
    fdh::CanHead h;
    h.id = f.id;
    h.time_stamp = static_cast<std::uint32_t>(monotonic_us(r.done));
    h.reserve = fdh::head_reserve(f.seq, f.fd && f.brs, f.fd && f.esi);
    h.fram_type = f.remote ? 0 : 1;
    h.can_type = f.fd ? 1 : 0;
    h.id_type = f.ext ? 1 : 0;
    h.dir = r.dir ? 1 : 0;
    h.dlc = dlc_code_for(f.len);
    fdh::append_record(records, h, std::span<const std::uint8_t>(f.data.data(), f.len));
}

std::vector<std::uint8_t> damaged_container(std::vector<std::uint8_t> records, const Fault& fault) {
    std::vector<std::uint8_t> c;
    switch (fault.kind) {
        case FaultKind::RxZero:
            return fdh::make_container({});
        case FaultKind::RxDir1:
            for (std::size_t off : record_offsets(records)) records[off + 11] |= 0x08;
            break;
        case FaultKind::RxStray:
            records.insert(records.end(), 5, std::uint8_t{0xEE});
            break;
        case FaultKind::RxCut: {
            // Default: half the last record's data, or a third of its header when it has none.
            const auto offsets = record_offsets(records);
            std::size_t cut = 1;
            if (fault.bytes > 0) {
                cut = static_cast<std::size_t>(fault.bytes);
            } else if (!offsets.empty()) {
                const std::size_t last = records.size() - offsets.back();
                cut = last > fdh::CAN_HEAD_SIZE ? (last - fdh::CAN_HEAD_SIZE + 1) / 2 : 4;
            }
            records.resize(records.size() - std::min(cut, records.size()));
            break;
        }
        default:
            break;
    }
    c = fdh::make_container(records);
    const std::size_t n = records.size();
    switch (fault.kind) {
        case FaultKind::RxStart: c[0] = 0xA4; break;
        case FaultKind::RxEnd: c.back() = 0x5B; break;
        case FaultKind::RxCount: fdh::put_le16(c.data() + 2, static_cast<std::uint16_t>(std::min<std::size_t>(n + 64, 0xFFFF))); break;
        case FaultKind::RxCrc: c[4 + n] ^= 0xFF; break;
        case FaultKind::RxPad: c.insert(c.end() - 1, 3, std::uint8_t{0}); break;
        default: break;
    }
    return c;
}

RxFrame filler_frame(Ps now) {
    RxFrame r;
    r.done = now;
    r.frame.origin = Origin::Injected;
    r.frame.id = 0x7A5;
    r.frame.len = 8;
    for (std::uint8_t i = 0; i < 8; ++i) r.frame.data[i] = static_cast<std::uint8_t>(0xF0 + i);
    return r;
}

}  // namespace vad
