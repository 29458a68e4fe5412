// The in-process CAN bus.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "arbitration.hpp"
#include "bus.hpp"

namespace vad {
namespace {

class LocalBus final : public CanBus {
public:
    // A bus of one adapter (no name) is a bench: its generator's nodes acknowledge whatever it sends.
    explicit LocalBus(std::string name) : name_(std::move(name)), strict_(!name_.empty()), t_free_(now_ps()) {}

    std::mutex& mutex() noexcept override { return mu_; }
    const std::string& name() const noexcept override { return name_; }
    bool strict() const noexcept override { return strict_; }

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
            // Only the first frame of a queue takes part in arbitration: one queued behind others
            // changes nobody's schedule.
            if (p->queue.size() == 1) changed();
        }
    }

    std::size_t queued(int port) const override {
        const Port* p = at(port);
        return p ? p->queue.size() : 0;
    }

    std::size_t max_queued() const override { return std::numeric_limits<std::size_t>::max(); }

    void drop_queue(int port) override {
        if (Port* p = at(port)) p->queue.clear();
    }

    void changed() override {
        for (Port& p : ports_)
            if (p.node) p.node->on_bus_changed();
    }

    void advance(Ps now) override {
        Ports view{ports_, strict_};
        carry_until(view, t_free_, now, [&](const BusFrame& f, const Pick& p) {
            const BitTimes tx = ports_[static_cast<std::size_t>(p.port)].node->bit_times();
            for (std::size_t i = 0; i < ports_.size(); ++i) {
                BusNode* node = ports_[i].node;
                if (!node) continue;
                if (i < 64 && (p.lost >> i & 1)) node->on_arbitration_lost();
                node->on_frame(f, p.end, p.from_queue && static_cast<int>(i) == p.port, tx);
            }
        });
    }

    Ps next_completion() const override {
        Ports view{const_cast<std::vector<Port>&>(ports_), strict_};
        const Pick p = pick_next(view, t_free_);
        return p.port < 0 ? NEVER : p.end;
    }

    bool unacknowledged(int port, Ps now) const override {
        Ports view{const_cast<std::vector<Port>&>(ports_), strict_};
        return port >= 0 && vad::unacknowledged(view, static_cast<std::size_t>(port), t_free_, now);
    }

private:
    struct Port {
        BusNode* node = nullptr;
        std::deque<BusFrame> queue;
    };

    // The ports as arbitration sees them.
    struct Ports {
        std::vector<Port>& v;
        bool strict_bus;
        bool strict() const { return strict_bus; }
        std::size_t size() const { return v.size(); }
        bool live(std::size_t i) const { return v[i].node; }
        const BusFrame* front(std::size_t i) const { return v[i].queue.empty() ? nullptr : &v[i].queue.front(); }
        BusFrame pop(std::size_t i) {
            const BusFrame f = v[i].queue.front();
            v[i].queue.pop_front();
            return f;
        }
        Generator& generator(std::size_t i) { return v[i].node->generator(); }
        BitTimes times(std::size_t i) const { return v[i].node->bit_times(); }
        bool fd_mode(std::size_t i) const { return v[i].node->fd_mode(); }
        bool worst_stuffing(std::size_t i) const { return v[i].node->worst_stuffing(); }
    };

    Port* at(int port) {
        return port >= 0 && static_cast<std::size_t>(port) < ports_.size() && ports_[static_cast<std::size_t>(port)].node
                   ? &ports_[static_cast<std::size_t>(port)]
                   : nullptr;
    }
    const Port* at(int port) const { return const_cast<LocalBus*>(this)->at(port); }

    std::mutex mu_;
    const std::string name_;
    const bool strict_;
    Ps t_free_;  // the bus is idle from here on
    std::vector<Port> ports_;
};

}  // namespace

std::shared_ptr<CanBus> make_local_bus(std::string name) { return std::make_shared<LocalBus>(std::move(name)); }

}  // namespace vad
