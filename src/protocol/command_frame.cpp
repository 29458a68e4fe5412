#include "command_frame.hpp"

#include <algorithm>
#include <cstring>

#include "crc.hpp"

namespace fdh {

std::size_t encode_command_frame(std::uint8_t code, std::uint16_t payload_len, const std::uint8_t* payload,
                                 std::span<std::uint8_t> out) noexcept {
    const std::size_t n = payload_len;
    out[0] = FRAME_START;
    out[1] = code;
    out[2] = static_cast<std::uint8_t>(n & 0xFF);
    out[3] = static_cast<std::uint8_t>(n >> 8);
    if (payload)
        std::memcpy(out.data() + 4, payload, n);
    else
        std::fill_n(out.data() + 4, n, std::uint8_t{0});
    const std::uint16_t crc = crc16_ibm(out.subspan(1, 3 + n));
    out[4 + n] = static_cast<std::uint8_t>(crc & 0xFF);
    out[5 + n] = static_cast<std::uint8_t>(crc >> 8);
    out[6 + n] = FRAME_END;
    return 7 + n;
}

std::vector<std::uint8_t> command_frame(std::uint8_t code, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> out(7 + payload.size());
    encode_command_frame(code, static_cast<std::uint16_t>(payload.size()), payload.data(), out);
    return out;
}

std::array<std::uint8_t, HEARTBEAT_SIZE> heartbeat_frame() noexcept {
    std::array<std::uint8_t, HEARTBEAT_SIZE> f{};
    std::array<std::uint8_t, HEARTBEAT_PAYLOAD> ff{};
    ff.fill(0xFF);
    encode_command_frame(HEARTBEAT_CODE, HEARTBEAT_PAYLOAD, ff.data(), f);
    return f;
}

std::optional<ParsedCommand> parse_command_frame(std::span<const std::uint8_t> f) noexcept {
    if (f.size() < 7 || f[0] != FRAME_START || f.back() != FRAME_END) return std::nullopt;
    const std::size_t n = f[2] | (std::size_t{f[3]} << 8);
    if (f.size() != n + 7) return std::nullopt;
    const std::uint16_t crc = static_cast<std::uint16_t>(f[4 + n] | (f[5 + n] << 8));
    if (crc16_ibm(f.subspan(1, 3 + n)) != crc) return std::nullopt;
    return ParsedCommand{f[1], f.subspan(4, n)};
}

}  // namespace fdh
