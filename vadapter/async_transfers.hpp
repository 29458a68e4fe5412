// libusb's asynchronous interface, kept simple: submitted transfers run, one after the other,
// inside the event handling call that picks them up.
#pragma once
#include <libusb.h>
#include <sys/time.h>

namespace vad {

libusb_transfer* alloc_transfer(int iso_packets);
void free_transfer(libusb_transfer* t);
int submit_transfer(libusb_transfer* t);
int cancel_transfer(libusb_transfer* t);
// Waits up to tv (nullptr: 60 s) for submitted transfers, runs them and calls their callbacks;
// returns early once *completed is non-zero or another thread interrupts the wait.
int handle_events(const timeval* tv, int* completed);
void interrupt_event_handler();

}  // namespace vad
