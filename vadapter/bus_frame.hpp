// A CAN or CAN FD frame while it waits for, or travels over, the virtual bus.
#pragma once
#include <array>
#include <cstdint>

#include "clock.hpp"

namespace vad {

enum class Origin : std::uint8_t { Host, Generator, Injected };

struct BusFrame {
    std::uint32_t id = 0;
    std::uint32_t seq = 0;    // generator sequence number, its low bits reported in the header's reserve bytes
    std::uint8_t len = 0;     // data bytes on the wire, always a valid length for the frame's kind
    bool fd = false;
    bool brs = false;         // data phase at the data bitrate
    bool ext = false;
    bool remote = false;
    bool esi = false;         // FD: sent by an error-passive node
    Origin origin = Origin::Host;
    Ps ready = 0;             // earliest time it may start arbitration
    std::array<std::uint8_t, 64> data{};
};

// Smallest valid CAN FD length holding n bytes and its DLC code (n above 64 counts as 64).
std::uint8_t dlc_code_for(unsigned n) noexcept;
std::uint8_t round_up_fd_length(unsigned n) noexcept;

}  // namespace vad
