// Event handling as a libusb-1.0 program expects it. Finished asynchronous transfers are posted to
// one event source, an eventfd that stays readable while anything waits to be handled (also
// offered through libusb_get_pollfds). libusb_handle_events* sleeps on it without a periodic
// time-out and completes the transfers on its own thread: status, actual_length, callback. The
// events lock and the event-waiters lock and condition let several threads share the work in the
// way libusb documents; transfer time-outs are handled by the library itself, so there is never a
// timeout for the caller to serve (libusb_get_next_timeout gives 0).
#pragma once
#include <libusb.h>
#include <sys/time.h>

namespace vad::events {

// A transfer finished with that status and byte count; its completion waits for event handling.
void post(libusb_transfer* t, libusb_transfer_status status, int actual_length);
// The transfer is being freed: a completion still waiting for it is dropped.
void forget(libusb_transfer* t);
void interrupt();
// A synchronous transfer of the calling thread finished. libusb completes those through event
// handling as well, so a thread handling events at that moment (another thread's loop over its
// asynchronous transfers) wakes for it once, finding nothing of its own; so does this one's.
void synchronous_done();

// libusb_handle_events_timeout_completed; tv must be valid (nullptr is not).
int handle(const timeval* tv, int* completed);
int handle_locked(const timeval* tv);  // the caller holds the events lock

int try_lock();  // 0: obtained, 1: another thread (or this one) holds it
void lock();
void unlock();
int handler_active();
void lock_waiters();
void unlock_waiters();
int wait_for_event(const timeval* tv);  // 0: an event or the events lock came free, 1: time-out

const libusb_pollfd** pollfds();  // freed with std::free

}  // namespace vad::events
