// The shared memory of a virtual CAN bus that the processes of one user reach: its layout, how a
// process finds or makes it, and who is a member.
//
// A bus is a POSIX shared-memory segment "/fdhost-vbus.<uid>[.<namespace>].<name>" (components
// %-escaped), made 0600 with O_EXCL, its memory reserved when it is made, and opened only when its
// owner is this user. Nothing in it is guarded by a lock, so that no process ever waits for another
// one (stopped, slow or dead) to get on: a word that several processes write is an atomic that only
// moves forward (a compare-and-swap to a larger value, or from one known value to the next), and a
// larger record has one writer and is read with a check that it did not change meanwhile (a tag or
// a version). The frames the bus carried are kept in a log of such records (shared_log.hpp).
//
// Members are processes; each holds an open-file-description lock on its own byte (1 + member
// index) of the segment for as long as it is a member, so the kernel itself says when a member is
// gone (killed, crashed or exited), however its pid is reused. Byte 0 is held while a segment is
// being made, and a byte past the members' ones, shared, by every process on its way in. Zero
// bytes are a valid empty bus: a new segment only needs its header.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "bus_timing.hpp"
#include "generator.hpp"

namespace vad::segment {

inline constexpr std::size_t MAX_MEMBERS = 32;    // processes on one bus
inline constexpr std::size_t MAX_PORTS = 64;      // adapters on one bus, all processes together
inline constexpr std::uint32_t QUEUE_CAP = 512;   // frames one adapter may have waiting
inline constexpr std::size_t CHUNK_ENTRIES = 256; // log entries a member takes at a time
inline constexpr std::size_t CHUNKS = 2 * MAX_MEMBERS;
inline constexpr std::size_t LOG_ENTRIES = CHUNKS * CHUNK_ENTRIES;  // frames kept for members that fall behind
inline constexpr std::size_t MAX_BATCH = 64;      // frames one proposal carries at most

// Who owns a port or a log chunk: the member's index and which process of that index it was.
using Owner = std::uint64_t;  // incarnation << 8 | (member + 1); 0: nobody
inline Owner owner_tag(int m, std::uint32_t incarnation) noexcept {
    return std::uint64_t{incarnation} << 8 | static_cast<std::uint64_t>(m + 1);
}
inline int owner_member(Owner o) noexcept { return static_cast<int>(o & 0xFF) - 1; }
inline std::uint32_t owner_incarnation(Owner o) noexcept { return static_cast<std::uint32_t>(o >> 8); }

// The segment's life: how many members it has and whether it is usable.
enum : std::uint64_t { LIFE_MAKING = 0, LIFE_READY = 1, LIFE_DEAD = 2, LIFE_STATES = 4 };
inline std::uint64_t life_state(std::uint64_t life) noexcept { return life % LIFE_STATES; }
inline std::uint64_t life_members(std::uint64_t life) noexcept { return life / LIFE_STATES; }

// What other processes need of an adapter to arbitrate and time its frames.
struct PortSettings {
    Owner owner;              // who wrote them: a port is in use once its owner has
    BitTimes times;
    bool worst_stuffing;
    bool fd_mode;
    std::uint32_t gen_epoch;  // each generator the adapter is given has a new one
    Ps gen_start;             // on the bus's time line
    GenConfig gen;
};

struct QueueSlot {
    std::atomic<std::uint64_t> tag;  // queue index + 1 of the frame in it; 0 while it is written
    BusFrame frame;                  // `ready` on the bus's time line
};

struct Port {
    std::atomic<Owner> owner;
    std::atomic<std::uint64_t> version;    // settings[version % 2] is current; the owner writes the other
    PortSettings settings[2];
    std::atomic<std::uint64_t> tail;       // frames queued so far (the owner's)
    std::atomic<std::uint64_t> consumed;   // frames taken off the queue, carried or dropped; only grows
    std::atomic<std::uint64_t> generated;  // gen_epoch << GEN_SHIFT | frames its generator made; only grows
    QueueSlot queue[QUEUE_CAP];            // frame i in queue[i % QUEUE_CAP]
};
inline constexpr unsigned GEN_SHIFT = 40;

// One frame the bus carried, as the member that proposed it wrote it (shared_log.hpp).
struct Carried {
    std::uint64_t prev;    // the log's tail its batch was proposed on
    std::uint64_t source;  // its queue index, or how many frames the generator had made before
    std::uint64_t lost;    // bit i: port i had a frame ready that lost arbitration to it
    Owner owner;           // who had the port then
    Ps end;                // on the bus's time line
    BitTimes times;        // its sender's
    std::uint32_t gen_epoch;
    std::uint8_t port;
    std::uint8_t pos;      // its place in its batch, 0 first
    bool from_queue;       // false: made by the port's generator
    BusFrame frame;
};

struct Entry {
    std::atomic<std::uint64_t> tag;  // frame number + 1; 0 while it is written
    Carried c;
};

// CHUNK_ENTRIES log entries that one member at a time writes into.
struct Chunk {
    std::atomic<Owner> owner;          // 0: free
    std::atomic<std::uint64_t> last;   // highest frame number + 1 written into it
};

struct Member {
    std::atomic<std::uint32_t> wake;         // futex word: bumped when another member changed the bus
    std::atomic<std::uint32_t> sleeping;     // its listener is about to wait, or waits, on wake
    std::atomic<std::int32_t> pid;           // 0: a free entry
    std::atomic<std::uint32_t> incarnation;  // bumped by every process that takes the entry
};

struct Layout {
    std::uint32_t magic, version;
    std::uint64_t bytes;
    std::atomic<std::uint64_t> life;       // members * LIFE_STATES + state
    std::int64_t epoch_ns;                 // CLOCK_MONOTONIC of time 0 of the bus's time line
    std::atomic<std::uint64_t> tail;       // the log's tail (shared_log.hpp)
    std::atomic<std::uint64_t> applied;    // a tail whose batch has had its effects on the ports
    std::atomic<std::int64_t> next_sweep;  // when to look for members that died (bus time)
    std::atomic<std::uint32_t> port_limit; // ports from here on have never been used
    std::uint32_t unused;
    Member members[MAX_MEMBERS];
    Chunk chunks[CHUNKS];
    Port ports[MAX_PORTS];
    Entry log[LOG_ENTRIES];
};

static_assert(std::is_standard_layout_v<Layout> && offsetof(Layout, life) == 16,
              "the life word sits at offset 16, where a test (or a debugger) finds it");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<std::uint32_t>::is_always_lock_free,
              "words shared between processes are plain words");

// Ports [0, port_limit) as far as the layout has them: the segment is memory other processes write.
inline std::size_t port_limit(const Layout& s) noexcept {
    return std::min<std::size_t>(s.port_limit.load(std::memory_order_acquire), MAX_PORTS);
}

// The segment name of a bus, or "" with `error` set. The namespace comes from
// $FDHOST_VADAPTER_NAMESPACE, so that independent groups of processes of one user (test runs)
// can use the same bus names without meeting.
std::string segment_name(std::string_view bus, std::string& error);

class Segment {
public:
    // The bus's segment, made if there is none; nullptr with `error` set if it cannot be used.
    // A segment whose maker died or stalled before finishing it, one left dead by its last
    // member, or one of another layout with no member left, is removed and made anew. With
    // create false a missing segment is an error too.
    static std::unique_ptr<Segment> open(std::string_view bus, bool create, std::string& error);
    ~Segment();
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    Layout& state() const noexcept { return *s_; }
    const std::string& name() const noexcept { return name_; }
    // For the child of a fork, which is no member: lets go of what it inherited (the descriptor,
    // and with it the member lock) and never touches the segment again.
    void abandon() noexcept;

    // Makes this process a member: its index; -1 with `error` set when there is no room; -2 when
    // the segment died meanwhile (open it again).
    int join(std::string& error);
    // Frees the entry, its ports and chunk, and lets go of the member lock; the last member to
    // leave marks the segment dead and removes it. Tells the others.
    void leave(int me);
    // Drops every member whose process is gone, with its ports and chunk.
    void sweep(int me);
    bool alive(int m) const;
    Owner owner(int m) const noexcept;  // the tag member m's ports carry

private:
    Segment(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}
    bool make(std::string& error);
    enum class Opened { Ok, Retry, Failed };
    Opened use_existing(std::int64_t& making_since, std::string& error);
    bool drop(int m, std::int32_t pid);  // takes member m's entry from a gone process
    // One member fewer; the last one out ends the segment. `leaving`: this process itself, which
    // is then the last one when nobody else holds a member byte or is joining.
    void lost_member(bool leaving = false);

    std::string name_;
    int fd_ = -1;
    Layout* s_ = nullptr;
};

// With the segment mapped; none of these waits for anybody.

// Takes a free port for `owner`: its index, or -1.
int take_port(Layout& s, Owner owner);
// Frees a port if `owner` still has it (its queued frames leave with it).
void free_port(Layout& s, std::size_t port, Owner owner);
// Adapters on the bus, over all processes.
std::size_t port_count(const Layout& s);
// Bumps every other member's wake word, waking its listener if it sleeps.
void wake_others(Layout& s, int me);
// Waits on this member's wake word while it still reads `seen` (and nobody stopped it).
void wait_for_change(Member& m, std::uint32_t seen, const std::atomic<bool>& stop);
void wake(Member& m);

// This user's shared buses (of the current namespace) with adapters on them, and how many.
// Segments whose members are all gone are removed on the way.
std::vector<std::pair<std::string, std::size_t>> list_buses();

}  // namespace vad::segment
