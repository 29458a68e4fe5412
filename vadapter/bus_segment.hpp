// The shared memory of a virtual CAN bus that the processes of one user reach: its layout, how a
// process finds or makes it, the lock guarding it, and who is a member.
//
// A bus is a POSIX shared-memory segment "/fdhost-vbus.<uid>[.<namespace>].<name>" (components
// %-escaped), made 0600 with O_EXCL and opened only when its owner is this user. Every field is
// read and written under one robust, process-shared mutex: a process that dies holding it leaves
// it to the next locker, which drops the dead member and goes on. Members are processes; each
// holds an open-file-description lock on its own byte (1 + member index) of the segment for as
// long as it is a member, so the kernel itself says when a member is gone (killed, crashed or
// exited), however its pid is reused. Zero bytes are a valid empty bus: a new segment only needs
// its mutex, clock and header.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "bus_timing.hpp"
#include "generator.hpp"

namespace vad::segment {

inline constexpr std::size_t MAX_MEMBERS = 32;   // processes on one bus
inline constexpr std::size_t MAX_PORTS = 64;     // adapters on one bus, all processes together
inline constexpr std::uint32_t QUEUE_CAP = 1024; // frames one adapter may have waiting (a power of 2)
inline constexpr std::uint64_t RING_CAP = 16384; // frames carried, kept until every member picked them up

struct Member {
    std::atomic<std::uint32_t> wake;      // futex word: bumped when another member changed the bus
    std::atomic<std::uint32_t> sleeping;  // its listener is about to wait, or waits, on wake
    std::int32_t pid;                     // 0: a free entry
    std::uint32_t unused;
};

struct Port {
    std::uint32_t owner;        // member index + 1; 0: free
    std::uint32_t head, tail;   // queue[head % QUEUE_CAP] up to tail: its frames, oldest first
    bool worst_stuffing;
    BitTimes times;
    Generator gen;              // on the bus's time line
    BusFrame queue[QUEUE_CAP];  // `ready` on the bus's time line
};

struct Carried {
    BusFrame frame;
    Ps end;            // on the bus's time line
    std::int32_t port;
    bool from_queue;   // false: made by the port's generator
};

struct Layout {
    pthread_mutex_t mu;  // first, at offset 0
    std::uint32_t magic, version;
    std::uint64_t bytes;
    std::atomic<std::uint32_t> ready;  // set once the maker has initialised it
    std::uint32_t dead;                // unlinked by its last member: whoever opened it starts over
    std::uint32_t holder;              // member index + 1 of whoever holds mu; 0: unknown
    std::uint32_t port_limit;          // ports from here on are free
    std::int64_t epoch_ns;             // CLOCK_MONOTONIC of time 0 of the bus's time line (picoseconds)
    Ps t_free;                         // the bus is idle from here on
    Ps next_sweep;                     // when to look for members that died
    std::uint64_t carried;             // frames carried so far; frame i is ring[i % RING_CAP]
    Member members[MAX_MEMBERS];
    Port ports[MAX_PORTS];
    Carried ring[RING_CAP];
};

static_assert(std::is_standard_layout_v<Layout> && offsetof(Layout, mu) == 0,
              "the mutex comes first, where a test (or a debugger) finds it");

// Ports [0, port_limit) as far as the layout has them: the segment is memory other processes write.
inline std::size_t port_limit(const Layout& s) noexcept { return std::min<std::size_t>(s.port_limit, MAX_PORTS); }

// The segment name of a bus, or "" with `error` set. The namespace comes from
// $FDHOST_VADAPTER_NAMESPACE, so that independent groups of processes of one user (test runs)
// can use the same bus names without meeting.
std::string segment_name(std::string_view bus, std::string& error);

class Segment {
public:
    // The bus's segment, made if there is none; nullptr with `error` set if it cannot be used.
    // A segment whose maker died before finishing it, or one of another layout with no member
    // left, is removed and made anew. With create false a missing segment is an error too.
    static std::unique_ptr<Segment> open(std::string_view bus, bool create, std::string& error);
    ~Segment();
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    Layout& state() const noexcept { return *s_; }
    const std::string& name() const noexcept { return name_; }
    int fd() const noexcept { return fd_; }
    // For the child of a fork, which is no member: lets go of what it inherited (the descriptor,
    // and with it the member lock) and never touches the segment again.
    void abandon() noexcept;

private:
    Segment(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}
    bool make(std::string& error);
    enum class Opened { Ok, Retry, Failed };
    Opened use_existing(int& not_ready, std::string& error);

    std::string name_;
    int fd_ = -1;
    Layout* s_ = nullptr;
};

// The segment's mutex, held for the guard's lifetime. A holder that died is dropped (with every
// dead member) before the guard is handed over; ok() is false only when the mutex cannot be
// recovered, and then nothing may be touched.
class Locked {
public:
    Locked(const Segment& seg, int me);  // me: this process's member index, -1 for none
    ~Locked();
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    explicit operator bool() const noexcept { return ok_; }

private:
    const Segment& seg_;
    bool ok_ = false;
};

// Everything below with the segment locked.

// Takes a free member entry for this process and its member lock: the entry's index, or -1.
int add_member(const Segment& seg);
// Frees the entry and its ports and lets go of the member lock; the last member to leave
// unlinks the segment. Tells the others.
void remove_member(const Segment& seg, int me);
// Drops every member whose process is gone, with its ports.
void sweep(const Segment& seg, int me);
bool member_alive(const Segment& seg, int m);
void free_port(Layout& s, std::size_t port);
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
