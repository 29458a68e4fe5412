// A CAN bus that every process of one user reaches, in a shared-memory segment (bus_segment.hpp).
//
// The segment holds what any process needs to carry frames: each adapter's port (its queue and its
// settings: bit timing, generator) and the log of the frames carried (shared_log.hpp). Whoever looks
// carries the frames that are due, exactly as the in-process bus does, by extending the log, and
// hands the log's new frames to its own adapters. No process ever waits for another: a member that
// is stopped, slow or killed at any point holds up nobody. Carrying changes nobody's schedule, so it
// wakes nobody: every process computes from the segment when the next frame ends and waits for that
// moment, as on the in-process bus. What does change the schedule (a frame queued, a generator or bit
// timing changed, an adapter or a member gone) wakes the other processes' listener threads (a futex
// on each member entry; an idle bus costs no wake-ups), which tell their adapters to look again.
// Times in the segment count from the bus's own CLOCK_MONOTONIC epoch; each process converts at the
// edge.
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
#include "shared_log.hpp"
#include "shared_ports.hpp"

namespace vad {
namespace {

using namespace segment;

constexpr Ps SWEEP_PS = 200 * PS_PER_MS;  // how often a looker checks for members that died
constexpr int JOIN_TRIES = 100;           // segments that died while being joined, in a row
constexpr int CARRY_TRIES = 1 << 20;      // proposals another member beat, in one look

// This process's membership of one segment; its listener thread shares it.
struct Membership {
    std::unique_ptr<Segment> seg;
    int me = -1;
    Owner tag = 0;                // what this process's ports carry
    Ps delta = 0;                 // bus time = local time + delta
    std::uint64_t cursor = 0;     // log frames before this one have reached this process's adapters
    LogWriter writer;
    PortsCache ports;
    std::vector<LogRange> ranges;
    // When the next frame ends, as computed at log tail `tail` with this process's view of the bus
    // at `changes`: still true while neither moved.
    std::uint64_t changes = 0;  // bumped by whatever changes the schedule as this process sees it
    struct {
        std::uint64_t tail = ~std::uint64_t{0}, changes = ~std::uint64_t{0};
        Ps end = NEVER;
    } next;
    std::atomic<bool> stop{false};      // its listener is to end (and leave the segment)
    std::atomic<bool> done{false};      // its listener has ended
    std::atomic<bool> usable{true};     // false in the child of a fork: that process is no member
    std::atomic<bool> released{false};  // it has left the segment

    Layout& s() const noexcept { return seg->state(); }
    Ps to_bus(Ps t) const noexcept { return t == NEVER ? NEVER : t + delta; }
    Ps from_bus(Ps t) const noexcept { return t == NEVER ? NEVER : t - delta; }
};

// Leaves the segment, once: when its process has no adapter on the bus any more, or at exit.
void release(Membership& m) {
    if (m.released.exchange(true) || !m.usable) return;
    m.seg->leave(m.me);
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
        for (int tries = 0;; ++tries) {
            m->seg = Segment::open(name_, true, error);
            if (!m->seg) return false;
            m->me = m->seg->join(error);
            if (m->me >= 0) break;
            if (m->me == -1 || tries == JOIN_TRIES) {
                if (m->me != -1) error = m->seg->name() + ": it died each time it was joined";
                return false;
            }
        }
        Layout& s = m->s();
        m->tag = m->seg->owner(m->me);
        m->delta = (epoch_monotonic_ns() - s.epoch_ns) * 1000;
        m->cursor = tail_count(s.tail.load());
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
    bool strict() const noexcept override { return true; }

    int attach(BusNode& node) override {
        std::string error;
        if ((!m_ || !m_->usable) && !join(error)) {  // not a member, or only the parent of a fork is
            std::fprintf(stderr, "vadapter: virtual CAN bus %s: %s\n", name_.c_str(), error.c_str());
            return -1;
        }
        Membership& m = *m_;
        Layout& s = m.s();
        const int port = take_port(s, m.tag);
        if (port < 0) {
            std::fprintf(stderr, "vadapter: virtual CAN bus %s: no room for another adapter\n", name_.c_str());
            if (local_.empty()) leave();
            return -1;
        }
        // Epochs of this port's generators go on from wherever its earlier owners left them.
        const Port& p = s.ports[port];
        const std::uint32_t epoch = std::max<std::uint32_t>(p.settings[p.version.load() % 2].gen_epoch,
                                                            static_cast<std::uint32_t>(p.generated.load() >> GEN_SHIFT));
        local_.push_back(Local{&node, port, tail_count(s.tail.load()), ~std::uint64_t{0}, epoch});
        push_settings(m, local_.back());
        ++m.changes;
        wake_others(s, m.me);
        return port;
    }

    void detach(int port) override {
        if (port < 0) return;
        if (Membership* m = member()) {
            free_port(m->s(), static_cast<std::size_t>(port) % MAX_PORTS, m->tag);  // its queued frames leave with it
            ++m->changes;
            wake_others(m->s(), m->me);
        }
        std::erase_if(local_, [&](const Local& l) { return l.port == port; });
        if (local_.empty()) leave();
    }

    std::size_t nodes() const override {
        const Membership* m = member();
        return m ? port_count(m->s()) : 0;
    }

    void submit(int port, const BusFrame& f) override {
        Membership* m = member();
        Port* p = m ? own(*m, port) : nullptr;
        if (!p) return;
        const std::uint64_t tail = p->tail.load(), consumed = p->consumed.load();
        if (tail - consumed >= QUEUE_CAP) return;
        BusFrame g = f;
        g.ready = m->to_bus(f.ready);
        write_slot(p->queue[tail % QUEUE_CAP], tail, g);
        p->tail.store(tail + 1, std::memory_order_release);
        // Only the first frame of a queue takes part in arbitration: one queued behind others
        // changes nobody's schedule (a saturating sender wakes nobody).
        if (tail == consumed) {
            ++m->changes;
            wake_others(m->s(), m->me);
            tell_local();
        }
    }

    std::size_t queued(int port) const override {
        const Membership* m = member();
        const Port* p = m ? own(*m, port) : nullptr;
        return p ? static_cast<std::size_t>(p->tail.load() - p->consumed.load()) : 0;
    }

    std::size_t max_queued() const override { return QUEUE_CAP; }

    void drop_queue(int port) override {
        Membership* m = member();
        if (Port* p = m ? own(*m, port) : nullptr) {
            raise_to(p->consumed, p->tail.load());
            ++m->changes;
        }
    }

    void changed() override {
        Membership* m = member();
        if (!m) return;
        for (Local& l : local_) push_settings(*m, l);
        ++m->changes;
        wake_others(m->s(), m->me);
        tell_local();
    }

    void advance(Ps now) override {
        Membership* m = member();
        if (!m) return;
        Layout& s = m->s();
        const Ps t = m->to_bus(now);
        std::int64_t sweep_at = s.next_sweep.load();
        if (t >= sweep_at && s.next_sweep.compare_exchange_strong(sweep_at, t + SWEEP_PS)) {
            m->seg->sweep(m->me);
            ++m->changes;
        }
        pull(*m);
        carry(*m, t);
        pull(*m);  // what others carried meanwhile
        sync_generators(*m);
        // Nobody is woken: carrying changes no one's schedule. Every process knows from the
        // segment when the next frame ends, waits for that moment as on an in-process bus, and
        // finds the frames carried meanwhile in the log.
    }

    Ps next_completion() const override {
        Membership* m = member();
        if (!m) return NEVER;
        Layout& s = m->s();
        const std::uint64_t tail = s.tail.load(std::memory_order_acquire);
        if (tail_count(tail) > m->cursor) return 0;  // carried by another process, not handed over yet: due now
        if (m->next.tail != tail || m->next.changes != m->changes) {
            apply_batch(s, tail);
            PortsView view(s, m->ports);
            const Pick p = pick_next(view, free_from(s, tail));
            m->next = {tail, m->changes, p.port < 0 ? NEVER : p.end};
        }
        return m->from_bus(m->next.end);
    }

    bool unacknowledged(int port, Ps now) const override {
        Membership* m = member();
        if (!m || port < 0) return false;
        Layout& s = m->s();
        const std::uint64_t tail = s.tail.load(std::memory_order_acquire);
        apply_batch(s, tail);
        PortsView view(s, m->ports);
        return vad::unacknowledged(view, static_cast<std::size_t>(port), free_from(s, tail), m->to_bus(now));
    }

private:
    struct Local {
        BusNode* node;
        int port;
        std::uint64_t start;       // log frames from here on are for it
        std::uint64_t gen_serial;  // of the generator last given to its port
        std::uint32_t gen_epoch;   // and that generator's epoch on the port
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

    // This process's membership while it is one (mu_ held).
    Membership* member() const {
        Membership* m = m_.get();
        return m && m->usable && !m->released ? m : nullptr;
    }

    static Port* own(const Membership& m, int port) {
        if (port < 0 || static_cast<std::size_t>(port) >= MAX_PORTS) return nullptr;
        Port& p = m.s().ports[port];
        return p.owner.load() == m.tag ? &p : nullptr;
    }

    // The node's bit timing and generator go to its port; a generator it was newly given starts
    // a new epoch there.
    static void push_settings(const Membership& m, Local& l) {
        Port* p = own(m, l.port);
        if (!p) return;
        const Generator& g = l.node->generator();
        if (g.serial() != l.gen_serial) {
            l.gen_serial = g.serial();
            ++l.gen_epoch;
        }
        PortSettings ps{};
        ps.owner = m.tag;
        ps.times = l.node->bit_times();
        ps.worst_stuffing = l.node->worst_stuffing();
        ps.fd_mode = l.node->fd_mode();
        ps.gen_epoch = l.gen_epoch;
        ps.gen = g.config();
        ps.gen_start = m.to_bus(g.start());
        write_settings(*p, ps);
    }

    // Whoever carried them, the generators' progress shows in the nodes.
    void sync_generators(const Membership& m) {
        constexpr std::uint64_t low = (std::uint64_t{1} << GEN_SHIFT) - 1;
        for (const Local& l : local_) {
            const std::uint64_t g = m.s().ports[l.port].generated.load();
            if ((g >> GEN_SHIFT) == (l.gen_epoch & ((std::uint64_t{1} << (64 - GEN_SHIFT)) - 1)))
                l.node->generator().set_taken(static_cast<long long>(g & low));
        }
    }

    // Carries every frame due by bus time t, a batch at a time, each batch extending the log.
    void carry(Membership& m, Ps t) {
        Layout& s = m.s();
        for (int attempt = 0; attempt < CARRY_TRIES; ++attempt) {
            const std::uint64_t tail = s.tail.load(std::memory_order_acquire);
            apply_batch(s, tail);
            const std::uint64_t carried = tail_count(tail);
            const std::size_t room = m.writer.room(s, m.tag, tail);
            if (room == 0) return;  // no chunk free to write into: the others carry meanwhile
            const std::size_t base = m.writer.next_entry();
            Chunk& chunk = s.chunks[base / CHUNK_ENTRIES];
            PortsView view(s, m.ports);
            Ps t_free = free_from(s, tail);
            std::size_t n = 0;
            Pick next;
            carry_until(view, t_free, t, [&](const BusFrame& f, const Pick& p) {
                const auto i = static_cast<std::size_t>(p.port);
                Carried c{};
                c.prev = tail;
                c.source = p.from_queue ? view.queue_index(i) - 1 : static_cast<std::uint64_t>(view.generator(i).taken() - 1);
                c.lost = p.lost;
                c.owner = view.owner(i);
                c.end = p.end;
                c.times = view.times(i);
                c.gen_epoch = view.gen_epoch(i);
                c.port = static_cast<std::uint8_t>(i);
                c.pos = static_cast<std::uint8_t>(n);
                c.from_queue = p.from_queue;
                c.frame = f;
                if (chunk.last.load() < carried + n + 1) chunk.last.store(carried + n + 1);
                write_entry(s.log[base + n], carried + n, c);
                ++n;
            }, room, &next);
            if (n == 0) {
                m.next = {tail, m.changes, next.port < 0 ? NEVER : next.end};  // what next_completion asks next
                return;
            }
            std::uint64_t expected = tail;
            const std::uint64_t extended = tail_word(carried + n, base + n - 1);
            if (!s.tail.compare_exchange_strong(expected, extended)) continue;  // another member was first: again
            m.writer.used(n);
            apply_batch(s, extended);
            if (n < room) m.next = {extended, m.changes, next.port < 0 ? NEVER : next.end};
            pull(m);
        }
    }

    // Hands the frames carried since this process last looked to its nodes.
    void pull(Membership& m) {
        Layout& s = m.s();
        const std::uint64_t tail = s.tail.load(std::memory_order_acquire);
        const std::uint64_t count = tail_count(tail);
        if (count <= m.cursor) return;
        const std::uint64_t found = readable_since(s, tail, m.cursor, m.ranges);
        lost(m.cursor, found);
        Carried c;
        for (const LogRange& r : m.ranges)
            for (std::uint64_t k = 0; k < r.n; ++k) {
                const std::uint64_t frame = r.frame + k;
                if (read_entry(s.log[r.first + k], frame, c)) deliver(m, frame, c);
                else lost(frame, frame + 1);  // overwritten while this process got to it
            }
        m.cursor = count;
    }

    void deliver(const Membership& m, std::uint64_t frame, const Carried& c) {
        BusFrame f = c.frame;
        f.ready = m.from_bus(f.ready);
        f.len = std::min<std::uint8_t>(f.len, 64);
        const Ps end = m.from_bus(c.end);
        for (const Local& l : local_) {
            if (frame < l.start) continue;
            if (c.lost >> l.port & 1) l.node->on_arbitration_lost();
            l.node->on_frame(f, end, c.from_queue && c.port == l.port && c.owner == m.tag, c.times);
        }
    }

    // Frames [from, to) of the log were gone before this process picked them up.
    void lost(std::uint64_t from, std::uint64_t to) {
        for (const Local& l : local_) {
            const std::uint64_t first = std::max(from, l.start);
            if (to > first) l.node->on_frames_lost(to - first);
        }
    }

    void tell_local() {
        for (const Local& l : local_) l.node->on_bus_changed();
    }

    // No adapter of this process is on the bus any more: it leaves the segment now, not when its
    // listener next runs (a process may end right after closing its last adapter, without exit
    // handlers; as the last member it would leave the segment behind), and the listener ends.
    void leave() {
        if (!m_) return;
        m_->stop = true;
        if (m_->usable) wake(m_->s().members[m_->me]);
        release(*m_);
        m_.reset();
    }

    void listen(const std::shared_ptr<Membership>& m) {
        pthread_setname_np(pthread_self(), "vadapter-bus");
        Member& e = m->s().members[m->me];
        std::uint32_t seen = e.wake.load();
        while (!m->stop) {
            const std::uint32_t now = e.wake.load();
            if (now == seen) {
                wait_for_change(e, seen, m->stop);
                continue;
            }
            seen = now;
            std::lock_guard lk(mu_);
            if (m_ != m || !member()) continue;  // left meanwhile
            ++m->changes;  // another member changed the schedule
            pull(*m);
            sync_generators(*m);
            tell_local();  // readers look again when their next frame is due
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
