// A CAN bus that every process of one user reaches, in a shared-memory segment (bus_segment.hpp).
//
// The segment holds what any process needs to carry frames: each adapter's port (its queue,
// generator and bit timing), the time the bus comes free, and the frames carried so far, in a
// ring. Whoever looks carries the frames that are due, exactly as the in-process bus does, and
// appends them to the ring; each process hands the ring's new frames to its own adapters when it
// next looks. Carrying changes nobody's schedule, so it wakes nobody: every process computes from
// the segment when the next frame ends and waits for that moment, as on the in-process bus. What
// does change the schedule (a frame queued, a generator or bit timing changed, an adapter or a
// member gone) wakes the other processes' listener threads (a futex on each member entry; an
// idle bus costs no wake-ups), which tell their adapters to look again. Times in the segment
// count from the bus's own CLOCK_MONOTONIC epoch; each process converts at the edge.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "arbitration.hpp"
#include "bus.hpp"
#include "bus_segment.hpp"

namespace vad {
namespace {

using namespace segment;

constexpr Ps SWEEP_PS = 200 * PS_PER_MS;  // how often a looker checks for members that died

// This process's membership of one segment; its listener thread shares it.
struct Membership {
    std::unique_ptr<Segment> seg;
    int me = -1;
    Ps delta = 0;                 // bus time = local time + delta
    std::uint64_t cursor = 0;     // ring frames before this one have reached this process's adapters
    std::atomic<bool> stop{false};      // its listener is to end (and leave the segment)
    std::atomic<bool> done{false};      // its listener has ended
    std::atomic<bool> usable{true};     // false in the child of a fork: that process is no member
    std::atomic<bool> released{false};  // it has left the segment

    Ps to_bus(Ps t) const noexcept { return t == NEVER ? NEVER : t + delta; }
    Ps from_bus(Ps t) const noexcept { return t == NEVER ? NEVER : t - delta; }
};

// Leaves the segment, once: by the listener when its process has no adapter on the bus any
// more, or at exit.
void release(Membership& m) {
    if (m.released.exchange(true) || !m.usable) return;
    if (const Locked lk(*m.seg, m.me); lk) remove_member(*m.seg, m.me);
}

// Every membership of the process, so that exit can leave them and a forked child drop them.
struct Memberships {
    std::mutex mu;
    std::vector<std::weak_ptr<Membership>> all;
};

Memberships& memberships() {
    static auto* m = new Memberships;  // used by exit handlers
    return *m;
}

void leave_all_at_exit() {
    Memberships& ms = memberships();
    std::lock_guard lk(ms.mu);
    for (const auto& w : ms.all)
        if (const auto m = w.lock()) release(*m);
}

void fork_prepare() { memberships().mu.lock(); }
void fork_parent() { memberships().mu.unlock(); }
void fork_child() {
    // The child shares the parent's descriptors, and with them its member locks; it lets go of
    // them so the parent's death shows, and stays off the buses.
    Memberships& ms = memberships();
    for (const auto& w : ms.all)
        if (const auto m = w.lock()) {
            m->usable = false;
            m->seg->abandon();
        }
    ms.mu.unlock();
}

void remember(const std::shared_ptr<Membership>& m) {
    static std::once_flag hooks;
    std::call_once(hooks, [] {
        std::atexit(leave_all_at_exit);
        pthread_atfork(fork_prepare, fork_parent, fork_child);
    });
    Memberships& ms = memberships();
    std::lock_guard lk(ms.mu);
    std::erase_if(ms.all, [](const auto& w) { return w.expired(); });
    ms.all.push_back(m);
}

// The segment's ports as arbitration sees them.
struct SegmentPorts {
    Layout& s;
    std::size_t size() const { return port_limit(s); }
    bool live(std::size_t i) const { return s.ports[i].owner != 0; }
    const BusFrame* front(std::size_t i) const {
        const Port& p = s.ports[i];
        return p.head == p.tail ? nullptr : &p.queue[p.head % QUEUE_CAP];
    }
    BusFrame pop(std::size_t i) {
        Port& p = s.ports[i];
        const BusFrame f = p.queue[p.head % QUEUE_CAP];
        ++p.head;  // one store: a holder dying here loses this frame at most
        return f;
    }
    Generator& generator(std::size_t i) { return s.ports[i].gen; }
    BitTimes times(std::size_t i) const { return s.ports[i].times; }
    bool worst_stuffing(std::size_t i) const { return s.ports[i].worst_stuffing; }
};

class SharedBus final : public CanBus {
public:
    explicit SharedBus(std::string name) : name_(std::move(name)) {}

    ~SharedBus() override {
        std::vector<Listener> listeners;
        {
            std::lock_guard lk(mu_);
            leave();
            listeners.swap(listeners_);
        }
        for (Listener& l : listeners) finish(l);
    }

    // Becomes a member (mu_ held): false with `error` set if the segment cannot be used.
    bool join(std::string& error) {
        auto m = std::make_shared<Membership>();
        for (;;) {
            m->seg = Segment::open(name_, true, error);
            if (!m->seg) return false;
            const Locked lk(*m->seg, -1);
            if (!lk) {
                error = m->seg->name() + ": its lock cannot be recovered";
                return false;
            }
            Layout& s = m->seg->state();
            if (s.dead) continue;  // its last member removed it while it was being opened
            sweep(*m->seg, -1);     // a bus whose members all died comes back to life here
            m->me = add_member(*m->seg);
            if (m->me < 0) {
                error = m->seg->name() + ": " + std::to_string(MAX_MEMBERS) + " processes use it already";
                return false;
            }
            m->delta = (epoch_monotonic_ns() - s.epoch_ns) * 1000;
            m->cursor = s.carried;
            break;
        }
        remember(m);
        m_ = m;
        local_.clear();  // nodes of a membership this process lost in a fork are on no port of this one
        std::erase_if(listeners_, [](Listener& l) {
            if (l.pid == getpid() && !l.m->done) return false;
            finish(l);
            return true;
        });
        listeners_.push_back(Listener{std::thread([this, m] { listen(m); }), m, getpid()});
        return true;
    }

    std::mutex& mutex() noexcept override { return mu_; }
    const std::string& name() const noexcept override { return name_; }

    int attach(BusNode& node) override {
        std::string error;
        if ((!m_ || !m_->usable) && !join(error)) {  // not a member, or only the parent of a fork is
            std::fprintf(stderr, "vadapter: virtual CAN bus %s: %s\n", name_.c_str(), error.c_str());
            return -1;
        }
        int port = -1;
        locked([&](Membership& m, Layout& s) {
            for (std::size_t i = 0; i < MAX_PORTS && port < 0; ++i)
                if (s.ports[i].owner == 0) port = static_cast<int>(i);
            if (port < 0) return;
            Port& p = s.ports[port];
            p.owner = static_cast<std::uint32_t>(m.me + 1);
            p.head = p.tail = 0;
            p.gen = Generator{};
            s.port_limit = static_cast<std::uint32_t>(std::max<std::size_t>(port_limit(s), port + 1));
            local_.push_back(Local{&node, port, s.carried});
            push_settings(m, local_.back());
            wake_others(s, m.me);
        });
        if (port < 0) {
            std::fprintf(stderr, "vadapter: virtual CAN bus %s: no room for another adapter\n", name_.c_str());
            if (local_.empty()) leave();
        }
        return port;
    }

    void detach(int port) override {
        if (port < 0) return;
        locked([&](Membership& m, Layout& s) {
            if (static_cast<std::size_t>(port) < MAX_PORTS && s.ports[port].owner == static_cast<std::uint32_t>(m.me + 1)) {
                free_port(s, static_cast<std::size_t>(port));  // its queued frames leave with it
                wake_others(s, m.me);
            }
        });
        std::erase_if(local_, [&](const Local& l) { return l.port == port; });
        if (local_.empty()) leave();
    }

    std::size_t nodes() const override {
        std::size_t n = 0;
        locked([&](Membership&, Layout& s) { n = port_count(s); });
        return n;
    }

    void submit(int port, const BusFrame& f) override {
        bool first = false;
        locked([&](Membership& m, Layout& s) {
            Port* p = own(m, s, port);
            if (!p || p->tail - p->head >= QUEUE_CAP) return;
            BusFrame& slot = p->queue[p->tail % QUEUE_CAP];
            slot = f;
            slot.ready = m.to_bus(f.ready);
            ++p->tail;  // published by one store, after the frame
            // Only the first frame of a queue takes part in arbitration: one queued behind others
            // changes nobody's schedule (a saturating sender wakes nobody).
            first = p->tail - p->head == 1;
            if (first) wake_others(s, m.me);
        });
        if (first) tell_local();
    }

    std::size_t queued(int port) const override {
        std::size_t n = 0;
        locked([&](Membership& m, Layout& s) {
            if (const Port* p = own(m, s, port)) n = p->tail - p->head;
        });
        return n;
    }

    std::size_t max_queued() const override { return QUEUE_CAP; }

    void drop_queue(int port) override {
        locked([&](Membership& m, Layout& s) {
            if (Port* p = own(m, s, port)) p->head = p->tail;
        });
    }

    void changed() override {
        locked([&](Membership& m, Layout& s) {
            for (const Local& l : local_) push_settings(m, l);
            wake_others(s, m.me);
        });
        tell_local();
    }

    void advance(Ps now) override {
        locked([&](Membership& m, Layout& s) {
            const Ps t = m.to_bus(now);
            if (t >= s.next_sweep) {
                sweep(*m.seg, m.me);
                s.next_sweep = t + SWEEP_PS;
            }
            pull(m);
            SegmentPorts view{s};
            carry_until(view, s.t_free, t, [&](const BusFrame& f, const Pick& p) {
                s.ring[s.carried % RING_CAP] = Carried{f, p.end, p.port, p.from_queue};
                ++s.carried;  // published by one store, after the frame
                pull(m);
            });
            sync_generators(m);  // another process may have run them too
            // Nobody is woken: carrying changes no one's schedule. Every process knows from the
            // segment when the next frame ends, waits for that moment as on an in-process bus,
            // and finds the frames carried meanwhile in the ring.
        });
    }

    Ps next_completion() const override {
        Ps t = NEVER;
        locked([&](Membership& m, Layout& s) {
            if (m.cursor < s.carried) {  // carried by another process, not handed over yet: due now
                t = m.from_bus(s.ring[m.cursor % RING_CAP].end);
                return;
            }
            SegmentPorts view{s};
            const Pick p = pick_next(view, s.t_free);
            if (p.port >= 0) t = m.from_bus(p.end);
        });
        return t;
    }

private:
    struct Local {
        BusNode* node;
        int port;
        std::uint64_t start;  // ring frames from here on are for it
    };
    struct Listener {
        std::thread thread;
        std::shared_ptr<Membership> m;
        pid_t pid;  // the process it runs in: a forked child has the handle but not the thread
    };

    static void finish(Listener& l) {
        if (l.pid == getpid()) l.thread.join();
        else new std::thread(std::move(l.thread));  // nothing to join or detach here; kept, never run
    }

    // Runs f(membership, layout) with the segment locked, if this process is a member.
    template <class F>
    void locked(F&& f) const {
        Membership* m = m_.get();
        if (!m || !m->usable) return;
        const Locked lk(*m->seg, m->me);
        if (lk && !m->released) f(*m, m->seg->state());
    }

    static Port* own(const Membership& m, Layout& s, int port) {
        if (port < 0 || static_cast<std::size_t>(port) >= MAX_PORTS) return nullptr;
        Port& p = s.ports[port];
        return p.owner == static_cast<std::uint32_t>(m.me + 1) ? &p : nullptr;
    }

    // The node's bit timing, and its generator if it made a new one, go to its port.
    void push_settings(const Membership& m, const Local& l) {
        Port& p = m.seg->state().ports[l.port];
        p.times = l.node->bit_times();
        p.worst_stuffing = l.node->worst_stuffing();
        const Generator& g = l.node->generator();
        if (g.serial() != p.gen.serial()) {
            p.gen = g;
            p.gen.shift(m.delta);
        }
    }

    // Whoever carried them, the generators' progress shows in the nodes.
    void sync_generators(const Membership& m) {
        for (const Local& l : local_) {
            Generator g = m.seg->state().ports[l.port].gen;
            g.shift(-m.delta);
            l.node->generator() = g;
        }
    }

    // Hands the frames carried since this process last looked to its nodes.
    void pull(Membership& m) {
        Layout& s = m.seg->state();
        if (s.carried - m.cursor > RING_CAP) {  // overwritten before this process came to them
            const std::uint64_t first = s.carried - RING_CAP;
            for (const Local& l : local_)
                if (first > std::max(m.cursor, l.start)) l.node->on_frames_lost(first - std::max(m.cursor, l.start));
            m.cursor = first;
        }
        for (; m.cursor < s.carried; ++m.cursor) {
            const Carried& c = s.ring[m.cursor % RING_CAP];
            BusFrame f = c.frame;
            f.ready = m.from_bus(f.ready);
            f.len = std::min<std::uint8_t>(f.len, 64);
            const Ps end = m.from_bus(c.end);
            for (const Local& l : local_)
                if (m.cursor >= l.start) l.node->on_frame(f, end, c.from_queue && c.port == l.port);
        }
    }

    void tell_local() {
        for (const Local& l : local_) l.node->on_bus_changed();
    }

    // No adapter of this process is on the bus any more: its listener leaves the segment.
    void leave() {
        if (!m_) return;
        m_->stop = true;
        if (m_->usable) wake(m_->seg->state().members[m_->me]);
        m_.reset();
    }

    void listen(const std::shared_ptr<Membership>& m) {
        pthread_setname_np(pthread_self(), "vadapter-bus");
        Member& e = m->seg->state().members[m->me];
        std::uint32_t seen = e.wake.load();
        while (!m->stop) {
            const std::uint32_t now = e.wake.load();
            if (now == seen) {
                wait_for_change(e, seen, m->stop);
                continue;
            }
            seen = now;
            std::lock_guard lk(mu_);
            if (m_ != m) continue;  // left meanwhile
            bool ok = false;
            locked([&](Membership& mm, Layout&) {
                pull(mm);
                sync_generators(mm);
                ok = true;
            });
            if (ok) tell_local();  // readers look again when their next frame is due
        }
        release(*m);
        m->done = true;
    }

    std::mutex mu_;
    const std::string name_;
    std::shared_ptr<Membership> m_;  // null while this process has no adapter on the bus
    std::vector<Local> local_;
    std::vector<Listener> listeners_;
};

}  // namespace

std::shared_ptr<CanBus> make_shared_bus(std::string name, std::string& error) {
    auto bus = std::make_shared<SharedBus>(std::move(name));
    std::lock_guard lk(bus->mutex());
    return bus->join(error) ? bus : nullptr;
}

}  // namespace vad
