// Which frame a bus carries next, and carrying frames up to a moment: the rules every bus
// implementation shares, over whatever holds its ports.
//
// A port view P offers, for ports 0 .. P::size() - 1:
//   bool live(i)                    a node is there
//   const BusFrame* front(i)        the first frame it queued, or nullptr
//   BusFrame pop(i)                 takes that frame off its queue
//   Generator& generator(i)         traffic of other nodes it stands for
//   BitTimes times(i), bool worst_stuffing(i), bool fd_mode(i)
//   bool strict()                   a named bus: a frame the host sent needs another node that
//                                   hears it to acknowledge it (see acknowledged())
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

// Whether a node at bit times `rx` (in CAN FD mode: rx_fd) can take part in frame f sent at `tx`:
// the same nominal bit time; an FD frame also needs an FD node and, with the bitrate switch, the
// same data bit time. A node that cannot sees only errors where the frame is.
inline bool hears(const BitTimes& rx, bool rx_fd, const BusFrame& f, const BitTimes& tx) noexcept {
    if (rx.nominal != tx.nominal) return false;
    if (!f.fd) return true;
    return rx_fd && (!f.brs || rx.data == tx.data);
}

// A frame the host of port `sender` sent is acknowledged (and so leaves the bus) only when another
// node hears it: another adapter, or the nodes a generator stands for, which follow their adapter's
// timing. Generated and injected frames come from such nodes and the adapter itself acknowledges them.
template <class Ports>
bool acknowledged(Ports& ports, std::size_t sender, const BusFrame& f) {
    if (!ports.strict() || f.origin != Origin::Host) return true;
    const BitTimes tx = ports.times(sender);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (!ports.live(i)) continue;
        const bool listener = i != sender || ports.generator(i).active();
        if (listener && hears(ports.times(i), ports.fd_mode(i), f, tx)) return true;
    }
    return false;
}

struct Pick {
    int port = -1;  // -1: the bus stays idle
    bool from_queue = false;
    Ps end = 0;
    std::uint64_t lost = 0;  // bit i: port i (< 64) had a frame ready that lost arbitration to this one
};

// The frame the bus carries next: it starts once the bus is free (t_free) and the first frame is
// ready. The queued frames ready by then arbitrate; a generator only gets a moment nobody else wants.
// A frame nobody would acknowledge does not take part (its sender retries it while the bus is idle).
template <class Ports>
Pick pick_next(Ports& ports, Ps t_free) {
    const std::size_t n = ports.size();
    Ps first = NEVER;
    for (std::size_t i = 0; i < n; ++i) {
        if (!ports.live(i)) continue;
        if (const BusFrame* f = ports.front(i); f && acknowledged(ports, i, *f)) first = std::min(first, f->ready);
        first = std::min(first, ports.generator(i).next_ready());
    }
    Pick best;
    if (first == NEVER) return best;
    const Ps start = std::max(t_free, first);
    std::uint64_t best_key = 0, ready = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const BusFrame* f = ports.live(i) ? ports.front(i) : nullptr;
        if (!f || f->ready > start || !acknowledged(ports, i, *f)) continue;
        if (i < 64) ready |= std::uint64_t{1} << i;
        const std::uint64_t key = arbitration_key(*f);
        if (best.port < 0 || key < best_key) {
            best = {static_cast<int>(i), true, 0, 0};
            best_key = key;
        }
    }
    for (std::size_t i = 0; best.port < 0 && i < n; ++i)
        if (ports.live(i) && ports.generator(i).next_ready() <= start) best = {static_cast<int>(i), false, 0, 0};
    const auto p = static_cast<std::size_t>(best.port);
    if (best.from_queue && p < 64) best.lost = ready & ~(std::uint64_t{1} << p);
    const BusFrame shape = best.from_queue ? *ports.front(p) : ports.generator(p).peek_shape();
    best.end = start + frame_duration(shape, ports.times(p), ports.worst_stuffing(p));
    return best;
}

// Carries every frame that ends no later than `now` (at most `limit` of them), handing each to
// deliver(frame, pick) once t_free has moved to its end. Returns how many it carried; `next`, if
// given, is the frame the bus carries next when it stopped for want of a due frame.
template <class Ports, class Deliver>
std::size_t carry_until(Ports& ports, Ps& t_free, Ps now, Deliver&& deliver, std::size_t limit = SIZE_MAX,
                        Pick* next = nullptr) {
    std::size_t carried = 0;
    while (carried < limit) {
        const Pick p = pick_next(ports, t_free);
        if (p.port < 0 || p.end > now) {
            if (next) *next = p;
            break;
        }
        const auto i = static_cast<std::size_t>(p.port);
        const BusFrame f = p.from_queue ? ports.pop(i) : ports.generator(i).take();
        t_free = p.end;
        deliver(f, p);
        ++carried;
    }
    return carried;
}

// Whether the frame at the front of port `port`'s queue is due, the bus idle by `now`, and nobody
// there to acknowledge it: on a wire its sender would be retrying it, with acknowledgement errors.
template <class Ports>
bool unacknowledged(Ports& ports, std::size_t port, Ps t_free, Ps now) {
    if (port >= ports.size() || !ports.live(port)) return false;
    const BusFrame* f = ports.front(port);
    return f && std::max(f->ready, t_free) <= now && !acknowledged(ports, port, *f);
}

}  // namespace vad
