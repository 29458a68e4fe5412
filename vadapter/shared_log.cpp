#include "shared_log.hpp"

#include <algorithm>
#include <cstring>

#include "shared_ports.hpp"

namespace vad::segment {
namespace {

constexpr std::uint64_t EPOCH_MASK = (std::uint64_t{1} << (64 - GEN_SHIFT)) - 1;

}  // namespace

// One writer per entry (the member whose chunk it is in): the tag says which frame it holds.
void write_entry(Entry& e, std::uint64_t frame, const Carried& c) noexcept {
    e.tag.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(static_cast<void*>(&e.c), &c, sizeof c);
    e.tag.store(frame + 1, std::memory_order_release);
}

bool read_entry(const Entry& e, std::uint64_t frame, Carried& out) noexcept {
    if (e.tag.load(std::memory_order_acquire) != frame + 1) return false;
    std::memcpy(static_cast<void*>(&out), &e.c, sizeof out);
    std::atomic_thread_fence(std::memory_order_acquire);
    return e.tag.load(std::memory_order_relaxed) == frame + 1;
}

Ps free_from(const Layout& s, std::uint64_t tail) noexcept {
    const std::uint64_t count = tail_count(tail);
    if (count == 0) return 0;
    const Entry& e = s.log[tail_entry(tail)];
    if (e.tag.load(std::memory_order_acquire) != count) return 0;
    const Ps end = e.c.end;
    std::atomic_thread_fence(std::memory_order_acquire);
    return e.tag.load(std::memory_order_relaxed) == count ? end : 0;
}

void apply_batch(Layout& s, std::uint64_t tail) {
    const std::uint64_t count = tail_count(tail);
    if (count == 0 || s.applied.load(std::memory_order_acquire) == tail) return;
    const std::size_t last = tail_entry(tail);
    Carried c;
    // A batch already overwritten was applied long before: its chunk could not be taken again earlier.
    if (!read_entry(s.log[last], count - 1, c) || c.pos > last % CHUNK_ENTRIES) return;
    const std::size_t first = last - c.pos;
    for (std::size_t e = first; e <= last; ++e) {
        if (!read_entry(s.log[e], count - 1 - (last - e), c)) continue;
        Port& p = s.ports[c.port % MAX_PORTS];
        if (c.from_queue) raise_to(p.consumed, c.source + 1);
        else raise_to(p.generated, (c.gen_epoch & EPOCH_MASK) << GEN_SHIFT | (c.source + 1));
    }
    for (std::uint64_t a = s.applied.load(); tail_count(a) < count && !s.applied.compare_exchange_weak(a, tail);) {
    }
}

std::size_t LogWriter::room(Layout& s, Owner me, std::uint64_t tail) {
    if (chunk_ >= 0 && used_ < CHUNK_ENTRIES && s.chunks[chunk_].owner.load() == me)
        return std::min(MAX_BATCH, CHUNK_ENTRIES - used_);
    if (chunk_ >= 0) {
        Owner mine = me;
        s.chunks[chunk_].owner.compare_exchange_strong(mine, 0);
        chunk_ = -1;
    }
    // The free chunk with the oldest frames, except the one holding the latest batch: the next
    // proposer still takes that batch's frames off their ports. Only a chunk's owner writes into
    // it, so that batch stays where it is until a later one follows it.
    const std::size_t latest = tail_count(tail) ? tail_entry(tail) / CHUNK_ENTRIES : CHUNKS;
    for (;;) {
        int best = -1;
        std::uint64_t best_last = 0;
        for (std::size_t i = 0; i < CHUNKS; ++i) {
            const Chunk& c = s.chunks[i];
            const std::uint64_t last = c.last.load();
            if (c.owner.load() != 0 || i == latest) continue;
            if (best < 0 || last < best_last) {
                best = static_cast<int>(i);
                best_last = last;
            }
        }
        if (best < 0) return 0;
        Owner free = 0;
        if (!s.chunks[best].owner.compare_exchange_strong(free, me)) continue;
        // Its last owner may have made it the latest batch's since the tail was read; it cannot
        // become so any more, now that it is this member's.
        const std::uint64_t now = s.tail.load();
        if (tail_count(now) && tail_entry(now) / CHUNK_ENTRIES == static_cast<std::size_t>(best)) {
            s.chunks[best].owner.store(0);
            return 0;
        }
        chunk_ = best;
        used_ = 0;
        return std::min(MAX_BATCH, CHUNK_ENTRIES);
    }
}

std::uint64_t readable_since(const Layout& s, std::uint64_t tail, std::uint64_t from, std::vector<LogRange>& out) {
    out.clear();
    std::uint64_t w = tail;
    std::uint64_t found = tail_count(tail);
    Carried c;
    while (tail_count(w) > from) {
        const std::uint64_t count = tail_count(w);
        const std::size_t last = tail_entry(w);
        if (!read_entry(s.log[last], count - 1, c) || c.pos > last % CHUNK_ENTRIES || c.pos >= count ||
            tail_count(c.prev) != count - 1 - c.pos)
            break;  // overwritten: this batch and everything before it
        std::uint64_t frame = count - 1 - c.pos;
        std::size_t first = last - c.pos;
        if (frame < from) {
            first += static_cast<std::size_t>(from - frame);
            frame = from;
        }
        out.push_back({first, frame, count - frame});
        found = frame;
        w = c.prev;
    }
    std::reverse(out.begin(), out.end());
    return found;
}

}  // namespace vad::segment
