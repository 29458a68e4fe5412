// Bits a frame occupies on the wire, split into nominal-rate and data-rate bits.
#pragma once
#include "bus_frame.hpp"

namespace vad {

struct FrameBits {
    int nominal = 0;
    int data = 0;
};

// Includes the 3-bit intermission, so back-to-back frames tile the bus exactly.
// worst_stuffing adds the largest number of dynamic stuff bits the frame can carry.
FrameBits frame_bits(const BusFrame& f, bool worst_stuffing) noexcept;

struct BitTimes {
    Ps nominal = 1'000'000;  // 1 Mbit/s
    Ps data = 200'000;       // 5 Mbit/s
};

inline Ps frame_duration(const BusFrame& f, const BitTimes& t, bool worst_stuffing) noexcept {
    const FrameBits b = frame_bits(f, worst_stuffing);
    return b.nominal * t.nominal + b.data * t.data;
}

// Bit time of an 80 MHz clock divided by prescaler x (1 + seg1 + seg2) time quanta.
inline Ps bit_time_from_timing(unsigned prescaler, unsigned seg1, unsigned seg2) noexcept {
    return Ps{12'500} * prescaler * (1 + seg1 + seg2);
}
inline Ps bit_time_from_rate(double bps) noexcept {
    return bps > 0 ? static_cast<Ps>(1e12 / bps + 0.5) : 1'000'000;
}

}  // namespace vad
