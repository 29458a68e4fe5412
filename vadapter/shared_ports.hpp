// The adapters' ports of a shared bus (bus_segment.hpp) as one process reads and writes them.
//
// A port's owner alone writes its queue slots (then publishes `tail`) and its settings (into the
// copy not in use, then flips `version`); readers check a slot's tag or the version before and
// after copying, so an owner stopped half-way leaves them the previous, whole state. `consumed`
// and `generated` only grow, by compare-and-swap, whoever applies a carried frame.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>

#include "bus_segment.hpp"

namespace vad::segment {

// Raises `word` to `value` if it is below; never lowers it.
inline void raise_to(std::atomic<std::uint64_t>& word, std::uint64_t value) noexcept {
    for (std::uint64_t v = word.load(); v < value && !word.compare_exchange_weak(v, value);) {
    }
}

void write_slot(QueueSlot& slot, std::uint64_t index, const BusFrame& f) noexcept;
bool read_slot(const QueueSlot& slot, std::uint64_t index, BusFrame& out) noexcept;
void write_settings(Port& p, const PortSettings& settings) noexcept;

// What one process keeps of the shared ports between looks: copies of their settings, refreshed
// when a port's version moves, and room for one PortsView at a time.
class PortsCache {
public:
    // The port's current settings; nullptr when they could not be read whole (its owner is
    // rewriting them right now) and none were read before.
    const PortSettings* settings(const Port& p, std::size_t i);

private:
    friend class PortsView;
    struct Copy {
        std::uint64_t version = ~std::uint64_t{0};
        PortSettings settings{};
    };
    struct State {
        bool loaded = false, live = false, front_read = false, front_ok = false;
        Owner owner = 0;
        const PortSettings* settings = nullptr;
        std::uint64_t next = 0, tail = 0;  // queue frames [next, tail) are still waiting
        Generator gen;
        std::uint64_t gen_version = ~std::uint64_t{0};  // of the settings gen was made from
        BusFrame front;
    };
    std::array<Copy, MAX_PORTS> copies_{};
    std::array<State, MAX_PORTS> view_{};
};

// The shared ports as arbitration sees them (arbitration.hpp), with frames taken off queues and
// generators only in this view: what a proposal would do, made real when the log takes it. Reads
// lazily, each port once per view.
class PortsView {
public:
    PortsView(Layout& s, PortsCache& cache);

    static bool strict() { return true; }  // shared buses are named
    std::size_t size() const { return n_; }
    bool live(std::size_t i) { return load(i).live; }
    const BusFrame* front(std::size_t i);
    BusFrame pop(std::size_t i);
    Generator& generator(std::size_t i) { return load(i).gen; }
    BitTimes times(std::size_t i) { return load(i).settings->times; }
    bool worst_stuffing(std::size_t i) { return load(i).settings->worst_stuffing; }
    bool fd_mode(std::size_t i) { return load(i).settings->fd_mode; }

    // What the view knows of a port, for the entry of a frame it carries.
    std::uint64_t queue_index(std::size_t i) { return load(i).next; }
    std::uint32_t gen_epoch(std::size_t i) { return load(i).settings->gen_epoch; }
    Owner owner(std::size_t i) { return load(i).owner; }

private:
    PortsCache::State& load(std::size_t i);

    Layout& s_;
    PortsCache& cache_;
    std::size_t n_;
};

}  // namespace vad::segment
