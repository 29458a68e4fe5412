// The virtual CAN bus: one frame at a time, each taking the time its bits need.
//
// Time advances lazily: whoever looks at the bus first lets it carry every frame that has finished
// by now. Queued frames (the host's, injected ones) win arbitration over the generator.
#pragma once
#include <algorithm>
#include <deque>

#include "bus_timing.hpp"
#include "generator.hpp"

namespace vad {

class Bus {
public:
    void set_bit_times(const BitTimes& t) noexcept { times_ = t; }
    const BitTimes& bit_times() const noexcept { return times_; }
    void set_worst_stuffing(bool on) noexcept { worst_stuffing_ = on; }
    // Nothing was on the wire before t (a new bus, or a generator started now).
    void idle_until(Ps t) noexcept { t_free_ = std::max(t_free_, t); }

    void submit(const BusFrame& f) { queue_.push_back(f); }
    std::size_t queued() const noexcept { return queue_.size(); }
    void drop_queue() noexcept { queue_.clear(); }

    Ps duration(const BusFrame& f) const noexcept { return frame_duration(f, times_, worst_stuffing_); }

    // End time of the next frame if nothing new is submitted; NEVER when the bus stays idle.
    Ps next_completion(const Generator& gen) const noexcept {
        Pick p = pick(gen);
        return p.none ? NEVER : p.start + duration(p.shape);
    }

    // Carries every frame that ends no later than `now`, handing each to sink(frame, end_time).
    template <class Sink>
    void advance(Ps now, Generator& gen, Sink&& sink) {
        for (;;) {
            const Pick p = pick(gen);
            if (p.none) return;
            const Ps end = p.start + duration(p.shape);
            if (end > now) return;
            BusFrame f;
            if (p.from_queue) {
                f = queue_.front();
                queue_.pop_front();
            } else {
                f = gen.take();
            }
            t_free_ = end;
            sink(f, end);
        }
    }

private:
    struct Pick {
        bool none = true;
        bool from_queue = false;
        Ps start = 0;
        BusFrame shape;
    };

    Pick pick(const Generator& gen) const noexcept {
        Pick p;
        const Ps queue_ready = queue_.empty() ? NEVER : queue_.front().ready;
        const Ps gen_ready = gen.next_ready();
        const Ps first = std::min(queue_ready, gen_ready);
        if (first == NEVER) return p;
        p.none = false;
        p.start = std::max(t_free_, first);
        p.from_queue = queue_ready <= p.start;
        p.shape = p.from_queue ? queue_.front() : gen.peek_shape();
        return p;
    }

    BitTimes times_;
    bool worst_stuffing_ = false;
    Ps t_free_ = 0;  // the bus is idle from here on
    std::deque<BusFrame> queue_;
};

}  // namespace vad
