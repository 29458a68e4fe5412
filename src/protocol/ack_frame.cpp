#include "ack_frame.hpp"

#include <algorithm>

#include "constants.hpp"
#include "crc.hpp"

namespace fdh {

std::vector<std::uint8_t> ack_frame(std::uint8_t cmd_code, std::uint8_t ack_code, std::span<const std::uint8_t> data) {
    const std::size_t n = std::min<std::size_t>(data.size(), 0xFFFF);
    std::vector<std::uint8_t> f(8 + n);
    f[0] = FRAME_START;
    f[1] = cmd_code;
    f[2] = ack_code;
    f[3] = static_cast<std::uint8_t>(n & 0xFF);
    f[4] = static_cast<std::uint8_t>(n >> 8);
    std::copy_n(data.begin(), n, f.begin() + 5);
    const std::uint16_t crc = crc16_ibm(std::span<const std::uint8_t>(f).subspan(1, 4 + n));
    f[5 + n] = static_cast<std::uint8_t>(crc & 0xFF);
    f[6 + n] = static_cast<std::uint8_t>(crc >> 8);
    f[7 + n] = FRAME_END;
    return f;
}

AckResult check_ack(std::span<const std::uint8_t> f, std::uint8_t expected_cmd) noexcept {
    AckResult r;
    if (f.empty()) return r;
    const std::size_t size = f.size();
    r.frame_start = f[0];
    r.frame_end = f[size - 1];
    if (r.frame_start != FRAME_START || r.frame_end != FRAME_END) {
        r.check = AckCheck::FrameError;
        return r;
    }
    // Bytes past the read count as absent, as slicing a short read would.
    auto at = [&](std::size_t i) -> int { return i < size ? f[i] : -1; };
    const int lo = at(3), hi = at(4);
    r.ack_len = (lo < 0 ? 0 : lo) | (hi < 0 ? 0 : (hi << 8));
    const std::size_t n = r.ack_len;
    const int c0 = at(5 + n), c1 = at(6 + n);
    r.crc = static_cast<std::uint16_t>((c0 < 0 ? 0 : c0) | (c1 < 0 || c0 < 0 ? 0 : (c1 << 8)));
    const std::size_t crc_end = std::min(size, 5 + n);
    r.crc_local = size > 1 ? crc16_ibm(f.subspan(1, crc_end - 1)) : 0;
    if (r.crc_local != r.crc) {
        r.check = AckCheck::CrcError;
        return r;
    }
    r.cmd_code = static_cast<std::uint8_t>(at(1) < 0 ? 0 : at(1));
    if (at(1) < 0 || r.cmd_code != expected_cmd) {
        r.check = AckCheck::CmdError;
        return r;
    }
    r.ack_code = static_cast<std::uint8_t>(at(2) < 0 ? 0 : at(2));
    const std::size_t data_end = std::min(size, 5 + n);
    r.data = data_end > 5 ? f.subspan(5, data_end - 5) : std::span<const std::uint8_t>{};
    r.data_complete = r.data.size() == n;
    r.check = r.ack_code == 0 ? AckCheck::Accepted : AckCheck::Rejected;
    return r;
}

}  // namespace fdh
