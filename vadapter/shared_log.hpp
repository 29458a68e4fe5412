// The frames a shared bus carried: a log that any member extends and none has to wait for.
//
// The log is a chain of batches. A member that looks at the bus computes the frames due from the
// ports (arbitration.hpp over a PortsView), writes them as a batch into its own chunk of log
// entries, each linked to the tail it was computed from, and then moves the segment's tail word
// from that tail to its batch with one compare-and-swap. If another member moved the tail first,
// the batch is simply not part of the log and the member tries again from the new tail; a member
// stopped or killed anywhere in between has only delayed itself. Taking a batch's frames off the
// ports' queues and generators (raising `consumed` and `generated`) is done afterwards by whoever
// comes next, before it proposes: values only grow, so doing it twice does no harm.
//
// The tail word holds how many frames the bus has carried and the entry of the last one; entries
// name the tail before their batch, so a member reads the frames it has not seen yet by walking
// back from the tail. A chunk's entries live until the chunk is taken again (the free chunk with the
// oldest frames first, never the one holding the latest batch, whose frames the next proposer takes
// off their ports), so a member that falls behind by more than about LOG_ENTRIES frames loses the
// older ones, and counts them. A member owns one chunk at a time, and there are twice as many
// chunks as members: whoever needs a chunk finds one.
#pragma once
#include <cstdint>
#include <vector>

#include "bus_segment.hpp"

namespace vad::segment {

inline constexpr unsigned ENTRY_BITS = 20;
inline std::uint64_t tail_word(std::uint64_t count, std::size_t entry) noexcept {
    return count << ENTRY_BITS | static_cast<std::uint64_t>(entry);
}
inline std::uint64_t tail_count(std::uint64_t tail) noexcept { return tail >> ENTRY_BITS; }
inline std::size_t tail_entry(std::uint64_t tail) noexcept {
    return static_cast<std::size_t>(tail & ((std::uint64_t{1} << ENTRY_BITS) - 1)) % LOG_ENTRIES;
}

void write_entry(Entry& e, std::uint64_t frame, const Carried& c) noexcept;
// Copies entry e if it holds frame number `frame` (and kept it while being copied).
bool read_entry(const Entry& e, std::uint64_t frame, Carried& out) noexcept;
// The end of the last frame the log holds (the bus is free from then on), 0 for an empty log.
Ps free_from(const Layout& s, std::uint64_t tail) noexcept;

// The frames of the batch that ends at `tail` taken off their ports, if that was not done yet.
void apply_batch(Layout& s, std::uint64_t tail);

// Where one member writes its proposals: a chunk it owns, and how much of it is used.
class LogWriter {
public:
    // Room for at least one more entry, taking a new chunk if needed: the number of entries free
    // (at most MAX_BATCH), 0 when no chunk can be had right now. `tail`: the log's tail just read.
    std::size_t room(Layout& s, Owner me, std::uint64_t tail);
    std::size_t next_entry() const noexcept { return static_cast<std::size_t>(chunk_) * CHUNK_ENTRIES + used_; }
    // After a batch of n entries became part of the log.
    void used(std::size_t n) noexcept { used_ += n; }
    void forget() noexcept { chunk_ = -1; }  // the chunk was released with the membership

private:
    int chunk_ = -1;
    std::size_t used_ = 0;
};

// A run of frames of the log, all in one chunk: entries first .. first + n - 1.
struct LogRange {
    std::size_t first;    // entry of its first frame
    std::uint64_t frame;  // its first frame's number
    std::uint64_t n;
};
// The frames from number `from` up to the count of `tail` as runs, oldest first, as far back as
// the log still holds them: returns the number of the first frame it found (frames before it,
// from `from` on, were overwritten). Entries can still be overwritten while they are read.
std::uint64_t readable_since(const Layout& s, std::uint64_t tail, std::uint64_t from, std::vector<LogRange>& out);

}  // namespace vad::segment
