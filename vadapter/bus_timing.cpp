#include "bus_timing.hpp"

namespace vad {

std::uint8_t dlc_code_for(unsigned n) noexcept {
    if (n <= 8) return static_cast<std::uint8_t>(n);
    constexpr unsigned limits[7] = {12, 16, 20, 24, 32, 48, 64};
    for (unsigned i = 0; i < 7; ++i)
        if (n <= limits[i]) return static_cast<std::uint8_t>(9 + i);
    return 15;
}

std::uint8_t round_up_fd_length(unsigned n) noexcept {
    constexpr std::uint8_t lengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return lengths[dlc_code_for(n)];
}

FrameBits frame_bits(const BusFrame& f, bool worst_stuffing) noexcept {
    const int data_bits = f.remote ? 0 : 8 * f.len;
    FrameBits b;
    if (!f.fd) {
        // SOF, identifier, control, data and CRC are stuffed; CRC delimiter, ACK, EOF and IFS are not.
        const int stuffed = (f.ext ? 54 : 34) + data_bits;
        b.nominal = stuffed + 13;
        if (worst_stuffing) b.nominal += (stuffed - 1) / 4;
        return b;
    }
    // Arbitration up to BRS at the nominal rate; ESI, DLC, data, stuff count and CRC (with their
    // fixed stuff bits) at the data rate; CRC delimiter, ACK, EOF and IFS back at the nominal rate.
    const int arbitration = f.ext ? 36 : 17;
    const bool long_crc = f.len > 16;
    const int data_phase = 1 + 4 + data_bits + 4 + (long_crc ? 21 : 17) + (long_crc ? 7 : 6);
    b.nominal = arbitration + 13;
    b.data = data_phase;
    if (worst_stuffing) {
        const int dynamic = arbitration + 1 + 4 + data_bits;
        const int nominal_stuff = arbitration / 4;
        b.nominal += nominal_stuff;
        b.data += (dynamic - 1) / 4 - nominal_stuff;
    }
    if (!f.brs) {
        b.nominal += b.data;
        b.data = 0;
    }
    return b;
}

}  // namespace vad
