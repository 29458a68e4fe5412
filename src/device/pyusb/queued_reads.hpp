// The reader on the direct path: several receive transfers always queued with libusb's
// asynchronous interface, completions awaited in libusb's event handling.
//
// A 1 ms read in a loop wakes the reader a thousand times a second on an idle bus and hands over
// one container per wake-up under load. With transfers kept queued the reader sleeps in libusb's
// event handling until a transfer completes (an idle bus costs no wake-up), and one wake-up hands
// over every container that completed meanwhile, in the order the transfers were submitted. When
// containers come close together the reader waits a short, bounded moment for more before it
// takes the interpreter lock, so a busy bus is handed over in batches.
//
// Only for pyusb's own Device on its own libusb1 backend with every guard of the direct path
// holding (see fast_path.hpp), and a stop_thread that is a plain threading.Event (its set() wakes
// the reader, see stop_waker.hpp). The guards are checked again at every wake-up; when one no
// longer holds the reader delivers what it has, cancels its transfers and steps back to reads
// through pyusb.
#pragma once
#include <nanobind/nanobind.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>

namespace nb = nanobind;

namespace fdh::device {

// Hands one received container on, with the moment libusb reported it.
using DeliverContainer =
    std::function<void(std::span<const std::uint8_t> container, std::chrono::steady_clock::time_point received)>;

// How the reader hands over the containers of one wake-up, in one hold of the interpreter lock:
// `begin`, `container` for each in order, then `end`, which runs on every way out (also when a
// container raised), without the interpreter lock once the reader has let go of it to wait again
// (never more than a wait later), and must not raise.
struct Delivery {
    std::function<void()> begin;
    DeliverContainer container;
    std::function<void()> end;
};

enum class QueuedRead {
    NotTaken,  // the direct path does not hold: read through pyusb
    Ended,     // read until stopped or a guard changed; every transfer is reaped
};

// Needs the interpreter lock (released while waiting). Reads the endpoint the module global
// `endpoint_name` names of `dev`, the device of `self`, in transfers of RX_LENGTH bytes until the object is stopped (stop_thread set, close,
// usb_clear) or a guard no longer holds. A transfer that fails is raised as pyusb raises the same
// failure of a synchronous read (nb::python_error), once the other transfers are reaped; a
// time-out or a cancellation the reader did not ask for is passed over.
QueuedRead read_queued(nb::handle self, nb::handle dev, const char* endpoint_name, const Delivery& deliver);

// Wakes the queued reads of `self` to stop them; they then end without waiting for the event.
void wake_queued_reads(nb::handle self);

// Stops the queued reads of `self` and waits until none of their transfers is in flight any more:
// to be called before pyusb closes the handle they were submitted on. Needs the interpreter lock
// (released while waiting).
void withdraw_queued_reads(nb::handle self);

}  // namespace fdh::device
