// Receive records and containers as the adapter sends them on 0x81, well-formed or damaged on purpose.
#pragma once
#include <cstdint>
#include <vector>

#include "bus_frame.hpp"
#include "faults.hpp"

namespace vad {

struct RxFrame {
    BusFrame frame;
    Ps done = 0;          // when it left the bus
    bool dir = false;     // true: the adapter's own transmission
};

inline constexpr std::size_t CONTAINER_OVERHEAD = 7;  // A5, byte 1, count, CRC, 5A

std::size_t record_size(const RxFrame& r) noexcept;
void append_rx_record(std::vector<std::uint8_t>& records, const RxFrame& r);

// A container around the records, damaged as the receive-container fault says.
std::vector<std::uint8_t> damaged_container(std::vector<std::uint8_t> records, const Fault& f);

// Stand-in frame for a damaged container when nothing was captured.
RxFrame filler_frame(Ps now);

}  // namespace vad
