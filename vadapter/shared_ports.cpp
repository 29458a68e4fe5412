#include "shared_ports.hpp"

#include <cstring>

namespace vad::segment {
namespace {

constexpr int SETTINGS_TRIES = 4;
constexpr std::uint64_t EPOCH_MASK = (std::uint64_t{1} << (64 - GEN_SHIFT)) - 1;

}  // namespace

// One writer per slot (the port's owner): the tag says which frame the slot holds once written.
void write_slot(QueueSlot& slot, std::uint64_t index, const BusFrame& f) noexcept {
    slot.tag.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(static_cast<void*>(&slot.frame), &f, sizeof f);
    slot.tag.store(index + 1, std::memory_order_release);
}

bool read_slot(const QueueSlot& slot, std::uint64_t index, BusFrame& out) noexcept {
    if (slot.tag.load(std::memory_order_acquire) != index + 1) return false;
    std::memcpy(static_cast<void*>(&out), &slot.frame, sizeof out);
    std::atomic_thread_fence(std::memory_order_acquire);
    return slot.tag.load(std::memory_order_relaxed) == index + 1;
}

void write_settings(Port& p, const PortSettings& settings) noexcept {
    const std::uint64_t v = p.version.load(std::memory_order_acquire);
    std::atomic_thread_fence(std::memory_order_release);  // readers of the copy in use two versions ago see v first
    std::memcpy(static_cast<void*>(&p.settings[(v + 1) % 2]), &settings, sizeof settings);
    p.version.store(v + 1, std::memory_order_release);
}

const PortSettings* PortsCache::settings(const Port& p, std::size_t i) {
    Copy& c = copies_[i];
    for (int attempt = 0; attempt < SETTINGS_TRIES; ++attempt) {
        const std::uint64_t v = p.version.load(std::memory_order_acquire);
        if (v == c.version) return &c.settings;
        PortSettings fresh;
        std::memcpy(static_cast<void*>(&fresh), &p.settings[v % 2], sizeof fresh);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (p.version.load(std::memory_order_relaxed) == v) {
            c.settings = fresh;
            c.version = v;
            return &c.settings;
        }
    }
    // Its owner rewrites them faster than they can be copied: the last whole copy will do.
    return c.version == ~std::uint64_t{0} ? nullptr : &c.settings;
}

PortsView::PortsView(Layout& s, PortsCache& cache) : s_(s), cache_(cache), n_(port_limit(s)) {
    for (std::size_t i = 0; i < n_; ++i) cache_.view_[i].loaded = false;
}

PortsCache::State& PortsView::load(std::size_t i) {
    PortsCache::State& st = cache_.view_[i];
    if (st.loaded) return st;
    static const PortSettings none{};
    st.loaded = true;
    st.live = st.front_read = st.front_ok = false;
    Port& p = s_.ports[i];
    st.owner = p.owner.load(std::memory_order_acquire);
    st.settings = st.owner ? cache_.settings(p, i) : nullptr;
    // A port is in use once its owner has written its settings.
    if (!st.settings || st.settings->owner != st.owner) {
        st.settings = &none;
        st.gen = Generator{};
        st.gen_version = ~std::uint64_t{0};
        return st;
    }
    st.live = true;
    st.tail = p.tail.load(std::memory_order_acquire);
    st.next = std::min(p.consumed.load(std::memory_order_acquire), st.tail);
    const std::uint64_t generated = p.generated.load(std::memory_order_acquire);
    const std::uint64_t epoch = generated >> GEN_SHIFT, current = st.settings->gen_epoch & EPOCH_MASK;
    const auto taken = static_cast<long long>(generated & ((std::uint64_t{1} << GEN_SHIFT) - 1));
    // Progress of an older generator says nothing of this one; progress of a newer one means these
    // settings are already stale, and this view leaves the generator out.
    const std::uint64_t version = cache_.copies_[i].version;
    if (epoch > current) {
        st.gen = Generator{};
        st.gen_version = ~std::uint64_t{0};
    } else if (st.gen_version != version) {
        st.gen = Generator::resumed(st.settings->gen, st.settings->gen_start, epoch == current ? taken : 0);
        st.gen_version = version;
    } else {
        st.gen.set_taken(epoch == current ? taken : 0);
    }
    return st;
}

const BusFrame* PortsView::front(std::size_t i) {
    PortsCache::State& st = load(i);
    if (!st.live || st.next >= st.tail) return nullptr;
    if (!st.front_read) {
        // A slot rewritten meanwhile (its owner dropped the queue and queued anew) is not this frame.
        st.front_ok = read_slot(s_.ports[i].queue[st.next % QUEUE_CAP], st.next, st.front);
        st.front_read = true;
    }
    return st.front_ok ? &st.front : nullptr;
}

BusFrame PortsView::pop(std::size_t i) {
    PortsCache::State& st = load(i);
    const BusFrame f = st.front;
    ++st.next;
    st.front_read = false;
    return f;
}

}  // namespace vad::segment
