// A CAN bus and the nodes (adapters) attached to it.
//
// The bus carries one frame at a time, each as long as its bits take at its sender's bit times,
// and hands every frame that leaves it to every attached node. When the bus comes free, the
// queued frames that are ready arbitrate as on the wire (the lower identifier wins); generated
// traffic only takes moments nobody else wants. On a named bus a frame the host sent needs a node
// that hears it (same bit timing, FD mode for FD frames) to acknowledge it, and a node at another
// timing receives only errors (arbitration.hpp). Time advances lazily: whoever looks first lets
// the bus carry every frame that has finished by then. The nodes of this process live under the
// bus's mutex, so a frame is delivered to all of them in one step. A bus shared between processes
// (shared_bus.cpp) keeps what the others need in shared memory and hands them the frames carried
// when they next look.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "bus_timing.hpp"
#include "generator.hpp"

namespace vad {

class BusNode {
public:
    virtual ~BusNode() = default;
    // Everything below runs with the bus's mutex held.
    virtual BitTimes bit_times() const = 0;
    virtual bool fd_mode() const = 0;
    virtual bool worst_stuffing() const = 0;
    virtual Generator& generator() = 0;  // traffic of other nodes this one stands for
    // A frame left the bus at `end`, sent at bit times `tx`; `sender`: it came from this node's queue.
    virtual void on_frame(const BusFrame& f, Ps end, bool sender, const BitTimes& tx) = 0;
    // The frame at the front of its queue was ready but another one won the bus.
    virtual void on_arbitration_lost() = 0;
    // Frames that left the bus but were gone before this process picked them up.
    virtual void on_frames_lost(std::uint64_t count) = 0;
    // Frames were queued or timing changed: whoever waits for the bus looks again.
    virtual void on_bus_changed() = 0;
};

class CanBus {
public:
    virtual ~CanBus() = default;
    virtual std::mutex& mutex() noexcept = 0;  // the lock of the bus and of every node on it
    virtual const std::string& name() const noexcept = 0;  // empty for a bus of one adapter
    // A named bus: frames the host sends need a node that hears them to acknowledge them, and a
    // node receives only frames at its own bit timing (arbitration.hpp). A bus of one adapter is a
    // bench whose generator's nodes follow that adapter.
    virtual bool strict() const noexcept = 0;

    // The rest with mutex() held. Ports are small numbers; -1 (a detached node) is ignored.
    virtual int attach(BusNode& node) = 0;
    virtual void detach(int port) = 0;
    virtual std::size_t nodes() const = 0;
    virtual void submit(int port, const BusFrame& f) = 0;  // tells every node when it is first in its queue
    virtual std::size_t queued(int port) const = 0;
    virtual std::size_t max_queued() const = 0;  // a port's queue holds no more; submit drops beyond
    virtual void drop_queue(int port) = 0;
    virtual void changed() = 0;  // a node's timing or generator changed: tells every node
    // Carries every frame that ends no later than `now`.
    virtual void advance(Ps now) = 0;
    // End time of the next frame if nothing new is queued; NEVER when the bus stays idle.
    virtual Ps next_completion() const = 0;
    // The port's first frame is due and the bus idle by `now`, but no node would acknowledge it.
    virtual bool unacknowledged(int port, Ps now) const = 0;
};

// A bus that lives in this process.
std::shared_ptr<CanBus> make_local_bus(std::string name);
// The bus `name` that every process of this user reaches; nullptr with `error` set if it cannot
// be opened.
std::shared_ptr<CanBus> make_shared_bus(std::string name, std::string& error);

}  // namespace vad
