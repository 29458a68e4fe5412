// The in-process CAN bus.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "bus.hpp"

namespace vad {
namespace {

// The arbitration field as it goes on the wire, so that the smaller value wins as a dominant 0
// does: standard ID[10:0] RTR IDE=0; extended ID[28:18] SRR=1 IDE=1 ID[17:0] RTR.
std::uint64_t arbitration_key(const BusFrame& f) {
    const std::uint64_t rtr = f.remote ? 1 : 0;
    if (!f.ext) return std::uint64_t{f.id & 0x7FFu} << 21 | rtr << 20;
    return std::uint64_t{f.id >> 18 & 0x7FFu} << 21 | 1u << 20 | 1u << 19 | std::uint64_t{f.id & 0x3FFFFu} << 1 | rtr;
}

class LocalBus final : public CanBus {
public:
    explicit LocalBus(std::string name) : name_(std::move(name)), t_free_(now_ps()) {}

    std::mutex& mutex() noexcept override { return mu_; }
    const std::string& name() const noexcept override { return name_; }

    int attach(BusNode& node) override {
        auto it = std::find_if(ports_.begin(), ports_.end(), [](const Port& p) { return !p.node; });
        if (it == ports_.end()) it = ports_.insert(ports_.end(), Port{});
        it->node = &node;
        return static_cast<int>(it - ports_.begin());
    }

    void detach(int port) override {
        if (Port* p = at(port)) *p = Port{};  // its queued frames leave with it
    }

    std::size_t nodes() const override {
        return static_cast<std::size_t>(std::count_if(ports_.begin(), ports_.end(), [](const Port& p) { return p.node; }));
    }

    void submit(int port, const BusFrame& f) override {
        if (Port* p = at(port)) {
            p->queue.push_back(f);
            changed();
        }
    }

    std::size_t queued(int port) const override {
        const Port* p = at(port);
        return p ? p->queue.size() : 0;
    }

    void drop_queue(int port) override {
        if (Port* p = at(port)) p->queue.clear();
    }

    void changed() override {
        for (Port& p : ports_)
            if (p.node) p.node->on_bus_changed();
    }

    void advance(Ps now) override {
        for (;;) {
            const Pick p = pick();
            if (p.port < 0 || p.end > now) return;
            Port& from = ports_[static_cast<std::size_t>(p.port)];
            BusFrame f;
            if (p.from_queue) {
                f = from.queue.front();
                from.queue.pop_front();
            } else {
                f = from.node->generator().take();
            }
            t_free_ = p.end;
            for (std::size_t i = 0; i < ports_.size(); ++i)
                if (ports_[i].node) ports_[i].node->on_frame(f, p.end, p.from_queue && static_cast<int>(i) == p.port);
        }
    }

    Ps next_completion() const override {
        const Pick p = pick();
        return p.port < 0 ? NEVER : p.end;
    }

private:
    struct Port {
        BusNode* node = nullptr;
        std::deque<BusFrame> queue;
    };

    struct Pick {
        int port = -1;  // -1: the bus stays idle
        bool from_queue = false;
        Ps end = 0;
    };

    Port* at(int port) {
        return port >= 0 && static_cast<std::size_t>(port) < ports_.size() && ports_[static_cast<std::size_t>(port)].node
                   ? &ports_[static_cast<std::size_t>(port)]
                   : nullptr;
    }
    const Port* at(int port) const { return const_cast<LocalBus*>(this)->at(port); }

    // The frame the bus carries next: it starts once the bus is free and the first frame is ready.
    // The queued frames ready by then arbitrate; a generator only gets a moment nobody else wants.
    Pick pick() const {
        Ps first = NEVER;
        for (const Port& p : ports_) {
            if (!p.node) continue;
            if (!p.queue.empty()) first = std::min(first, p.queue.front().ready);
            first = std::min(first, p.node->generator().next_ready());
        }
        Pick best;
        if (first == NEVER) return best;
        const Ps start = std::max(t_free_, first);
        std::uint64_t best_key = 0;
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            const Port& p = ports_[i];
            if (!p.node || p.queue.empty() || p.queue.front().ready > start) continue;
            const std::uint64_t key = arbitration_key(p.queue.front());
            if (best.port < 0 || key < best_key) {
                best = {static_cast<int>(i), true, 0};
                best_key = key;
            }
        }
        for (std::size_t i = 0; best.port < 0 && i < ports_.size(); ++i)
            if (ports_[i].node && ports_[i].node->generator().next_ready() <= start) best = {static_cast<int>(i), false, 0};
        const Port& p = ports_[static_cast<std::size_t>(best.port)];
        const BusFrame shape = best.from_queue ? p.queue.front() : p.node->generator().peek_shape();
        best.end = start + frame_duration(shape, p.node->bit_times(), p.node->worst_stuffing());
        return best;
    }

    std::mutex mu_;
    const std::string name_;
    Ps t_free_;  // the bus is idle from here on
    std::vector<Port> ports_;
};

}  // namespace

std::shared_ptr<CanBus> make_local_bus(std::string name) { return std::make_shared<LocalBus>(std::move(name)); }

}  // namespace vad
