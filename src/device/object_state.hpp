// What an fdhost object holds besides its attributes: the keyword-only options of its constructor
// and the receive queue they may switch on. The attributes stay all of the specified state; this is
// only what those options add. An object made without the constructor (fdhost.__new__) has none
// and behaves as with every option at its default.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <optional>

#include "protocol/records.hpp"
#include "python/printing.hpp"

namespace nb = nanobind;

namespace fdh::receive {
class QueueDelivery;
}

namespace fdh::device {

struct Options {
    nb::object line_sink;                // callable(text, to_stderr) taking every printed line; None: print
    bool settle = true;                  // the constructor's fixed pauses around opening
    std::optional<SetupBaudrate> setup;  // the bit-timing fields to send instead of the table lookup
    std::size_t receive_queue = 0;       // > 0: received frames go to a native queue of that capacity
    bool receive_own = false;            // the queue also takes the adapter's reports of own frames
    bool virtual_adapter = false;        // received headers carry BRS and ESI (the virtual adapter's reserve[2])
};

struct ObjectState {
    Options options;
    // Made by the constructor before the reader starts and kept for the object's life, so the
    // reader and any number of receiving threads share it without further locking.
    std::shared_ptr<receive::QueueDelivery> queue;
};

// The C++ side of an fdhost object.
struct Fdhost {
    ObjectState state;
};

// The options as the constructor's keywords give them; TypeError / ValueError for values that
// cannot be (setup: None or the 9 bytes of the bit-timing command's payload).
Options parse_options(nb::handle line_sink, nb::handle settle, nb::handle setup, nb::handle receive_queue,
                      nb::handle receive_own, nb::handle virtual_adapter);

// The state of an fdhost object, of a subclass's too; nullptr for anything else or an object the
// constructor never ran for.
ObjectState* object_state(nb::handle self);

// The object's queue, or nullptr when its frames go to the callback.
receive::QueueDelivery* receive_queue(nb::handle self);
// The same, shared: for a reader that keeps using it across Python code.
std::shared_ptr<receive::QueueDelivery> receive_queue_shared(nb::handle self);

// While alive, the lines the object prints on this thread go to its line sink, if it has one.
class OutputScope {
public:
    explicit OutputScope(nb::handle self);

private:
    py::LineSinkScope scope_;
};

}  // namespace fdh::device
