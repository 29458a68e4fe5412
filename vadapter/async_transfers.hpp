// libusb's asynchronous transfers over the virtual devices.
//
// A submitted transfer waits in its endpoint's queue, in submission order. One thread of the
// library stands in for the host controller: it moves the data of the transfer at the head of each
// queue when the model has it (or room for it), ends transfers that time out or are cancelled,
// and posts every finished transfer to the event source, where libusb_handle_events* completes
// it. The thread sleeps until the model's next due moment or a change of an adapter's state; with
// nothing due it sleeps without a time-out.
#pragma once
#include <libusb.h>

namespace vad {

libusb_transfer* alloc_transfer(int iso_packets);
void free_transfer(libusb_transfer* t);
// timed_by_host: the transfer's time-out is kept by a host beyond this library (the USB/IP server's
// peer), which cancels the transfer when it runs out; a time-out fault holds it until then.
int submit_transfer(libusb_transfer* t, bool timed_by_host = false);
int cancel_transfer(libusb_transfer* t);
// Event handling is completing the transfer: from now on it is no longer in flight.
// False when it was freed in the meantime.
bool retire_transfer(libusb_transfer* t);
// A device's state changed (data, room, settings, unplug, close): waiting transfers may move now.
void device_changed() noexcept;

}  // namespace vad
