// Which frame a bus carries next, and carrying frames up to a moment: the rules every bus
// implementation shares, over whatever holds its ports.
//
// A port view P offers, for ports 0 .. P::size() - 1:
//   bool live(i)                    a node is there
//   const BusFrame* front(i)        the first frame it queued, or nullptr
//   BusFrame pop(i)                 takes that frame off its queue
//   Generator& generator(i)         traffic of other nodes it stands for
//   BitTimes times(i), bool worst_stuffing(i)
#pragma once
#include <algorithm>
#include <cstdint>

#include "bus_timing.hpp"
#include "generator.hpp"

namespace vad {

// The arbitration field as it goes on the wire, so that the smaller value wins as a dominant 0
// does: standard ID[10:0] RTR IDE=0; extended ID[28:18] SRR=1 IDE=1 ID[17:0] RTR.
inline std::uint64_t arbitration_key(const BusFrame& f) noexcept {
    const std::uint64_t rtr = f.remote ? 1 : 0;
    if (!f.ext) return std::uint64_t{f.id & 0x7FFu} << 21 | rtr << 20;
    return std::uint64_t{f.id >> 18 & 0x7FFu} << 21 | 1u << 20 | 1u << 19 | std::uint64_t{f.id & 0x3FFFFu} << 1 | rtr;
}

struct Pick {
    int port = -1;  // -1: the bus stays idle
    bool from_queue = false;
    Ps end = 0;
};

// The frame the bus carries next: it starts once the bus is free (t_free) and the first frame is
// ready. The queued frames ready by then arbitrate; a generator only gets a moment nobody else wants.
template <class Ports>
Pick pick_next(Ports& ports, Ps t_free) {
    const std::size_t n = ports.size();
    Ps first = NEVER;
    for (std::size_t i = 0; i < n; ++i) {
        if (!ports.live(i)) continue;
        if (const BusFrame* f = ports.front(i)) first = std::min(first, f->ready);
        first = std::min(first, ports.generator(i).next_ready());
    }
    Pick best;
    if (first == NEVER) return best;
    const Ps start = std::max(t_free, first);
    std::uint64_t best_key = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const BusFrame* f = ports.live(i) ? ports.front(i) : nullptr;
        if (!f || f->ready > start) continue;
        const std::uint64_t key = arbitration_key(*f);
        if (best.port < 0 || key < best_key) {
            best = {static_cast<int>(i), true, 0};
            best_key = key;
        }
    }
    for (std::size_t i = 0; best.port < 0 && i < n; ++i)
        if (ports.live(i) && ports.generator(i).next_ready() <= start) best = {static_cast<int>(i), false, 0};
    const auto p = static_cast<std::size_t>(best.port);
    const BusFrame shape = best.from_queue ? *ports.front(p) : ports.generator(p).peek_shape();
    best.end = start + frame_duration(shape, ports.times(p), ports.worst_stuffing(p));
    return best;
}

// Carries every frame that ends no later than `now`, handing each to deliver(frame, pick) once
// t_free has moved to its end.
template <class Ports, class Deliver>
void carry_until(Ports& ports, Ps& t_free, Ps now, Deliver&& deliver) {
    for (;;) {
        const Pick p = pick_next(ports, t_free);
        if (p.port < 0 || p.end > now) return;
        const auto i = static_cast<std::size_t>(p.port);
        const BusFrame f = p.from_queue ? ports.pop(i) : ports.generator(i).take();
        t_free = p.end;
        deliver(f, p);
    }
}

}  // namespace vad
