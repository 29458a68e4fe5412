// The libusb-1.0 entry points, with the header's own signatures, backed by the registry.
#pragma GCC visibility push(default)
#include <libusb.h>
#pragma GCC visibility pop

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "async_transfers.hpp"
#include "event_handling.hpp"
#include "registry.hpp"
#include "usb_descriptors.hpp"

using vad::Registry;

namespace {

// Read the environment's configuration when the library is loaded, not at the first call.
__attribute__((constructor)) void load_configuration() { Registry::get(); }

// Every context is the one virtual USB; this only gives callers a non-null pointer.
int g_context_anchor;

constexpr libusb_version kVersion = {1, 0, 26, 11724, "", "fdhost virtual adapter"};

struct ErrorText {
    int code;
    const char* name;
    const char* text;
    int posix_errno;  // what a failed transfer leaves in errno
};

constexpr ErrorText kErrors[] = {
    {LIBUSB_SUCCESS, "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED", "Success", 0},
    {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO", "Input/Output Error", EIO},
    {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM", "Invalid parameter", EINVAL},
    {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS", "Access denied (insufficient permissions)", EACCES},
    {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE", "No such device (it may have been disconnected)", ENODEV},
    {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND", "Entity not found", ENOENT},
    {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY", "Resource busy", EBUSY},
    {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT", "Operation timed out", ETIMEDOUT},
    {LIBUSB_ERROR_OVERFLOW, "LIBUSB_ERROR_OVERFLOW", "Overflow", EOVERFLOW},
    {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE", "Pipe error", EPIPE},
    {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED", "System call interrupted (perhaps due to signal)", EINTR},
    {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM", "Insufficient memory", ENOMEM},
    {LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED", "Operation not supported or unimplemented on this platform", ENOSYS},
    {LIBUSB_ERROR_OTHER, "LIBUSB_ERROR_OTHER", "Other error", EIO},
    {LIBUSB_TRANSFER_ERROR, "LIBUSB_TRANSFER_ERROR", nullptr, 0},
    {LIBUSB_TRANSFER_TIMED_OUT, "LIBUSB_TRANSFER_TIMED_OUT", nullptr, 0},
    {LIBUSB_TRANSFER_CANCELLED, "LIBUSB_TRANSFER_CANCELLED", nullptr, 0},
    {LIBUSB_TRANSFER_STALL, "LIBUSB_TRANSFER_STALL", nullptr, 0},
    {LIBUSB_TRANSFER_NO_DEVICE, "LIBUSB_TRANSFER_NO_DEVICE", nullptr, 0},
    {LIBUSB_TRANSFER_OVERFLOW, "LIBUSB_TRANSFER_OVERFLOW", nullptr, 0},
};

int max_packet(libusb_device* dev, unsigned char endpoint) {
    const auto d = Registry::get().device(dev);
    if (!d) return LIBUSB_ERROR_NO_DEVICE;
    const vad::EndpointLayout* e = d->endpoint(endpoint);
    return e ? static_cast<int>(e->max_packet) : static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
}

// A failed transfer leaves errno as the kernel's USB file system does, so callers that look at it
// (a STALL is EPIPE) see what they would on real hardware.
int with_errno(int r) {
    if (r < 0)
        for (const auto& e : kErrors)
            if (e.code == r && e.posix_errno) errno = e.posix_errno;
    return r;
}

// What libusb_handle_events and libusb_handle_events_completed wait at most, as libusb does.
constexpr timeval kDefaultEventWait{60, 0};

bool valid_timeval(const timeval* tv) { return tv && tv->tv_sec >= 0 && tv->tv_usec >= 0 && tv->tv_usec < 1'000'000; }

int present_check(libusb_device_handle* h, int interface_number) {
    if (interface_number < 0) return LIBUSB_ERROR_INVALID_PARAM;
    return Registry::get().check_open(h);
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- library

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    Registry::get();
    if (ctx) *ctx = reinterpret_cast<libusb_context*>(&g_context_anchor);
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context*) {}
void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}
void LIBUSB_CALL libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}
int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) { return LIBUSB_SUCCESS; }
const struct libusb_version* LIBUSB_CALL libusb_get_version(void) { return &kVersion; }
int LIBUSB_CALL libusb_setlocale(const char*) { return LIBUSB_SUCCESS; }

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
    return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0;
}

const char* LIBUSB_CALL libusb_error_name(int code) {
    for (const auto& e : kErrors)
        if (e.code == code) return e.name;
    return "**UNKNOWN**";
}

const char* LIBUSB_CALL libusb_strerror(int code) {
    for (const auto& e : kErrors)
        if (e.code == code && e.text) return e.text;
    return "Other error";
}

// ---------------------------------------------------------------- devices

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list) {
    return Registry::get().device_list(list);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    Registry::get().free_device_list(list, unref_devices != 0);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) { return Registry::get().ref(dev); }
void LIBUSB_CALL libusb_unref_device(libusb_device* dev) { Registry::get().unref(dev); }

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
    const auto d = Registry::get().device(dev);
    if (!d) return LIBUSB_ERROR_NO_DEVICE;
    if (!desc) return LIBUSB_ERROR_INVALID_PARAM;
    *desc = vad::device_descriptor(*d);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t index, struct libusb_config_descriptor** config) {
    const auto d = Registry::get().device(dev);
    if (!d) return LIBUSB_ERROR_NO_DEVICE;
    if (!config) return LIBUSB_ERROR_INVALID_PARAM;
    if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
    *config = vad::new_config_descriptor(*d);
    return *config ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_MEM;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(dev, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value,
                                                      struct libusb_config_descriptor** config) {
    return value == 1 ? libusb_get_config_descriptor(dev, 0, config) : LIBUSB_ERROR_NOT_FOUND;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    vad::delete_config_descriptor(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) {
    const auto d = Registry::get().device(dev);
    return d ? d->bus : 0;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
    const auto d = Registry::get().device(dev);
    return d ? d->address : 0;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
    const auto d = Registry::get().device(dev);
    return d ? d->port : 0;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int len) {
    const auto d = Registry::get().device(dev);
    if (!d) return LIBUSB_ERROR_NO_DEVICE;
    if (d->port == 0) return 0;  // a root hub
    if (len < 1 || !ports) return LIBUSB_ERROR_OVERFLOW;
    ports[0] = d->port;
    return 1;
}

int LIBUSB_CALL libusb_get_port_path(libusb_context*, libusb_device* dev, uint8_t* path, uint8_t len) {
    return libusb_get_port_numbers(dev, path, len);
}

// Every virtual device hangs directly off its bus's root hub, if the configuration has one.
libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device* dev) { return Registry::get().parent(dev); }

int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev) {
    return Registry::get().device(dev) ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_UNKNOWN;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
    return max_packet(dev, endpoint);
}

int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device* dev, unsigned char endpoint) {
    return max_packet(dev, endpoint);
}

// ---------------------------------------------------------------- handles

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    return Registry::get().open(dev, handle);
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) { Registry::get().close(handle); }

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
    const auto h = Registry::get().handle(handle);
    return h ? reinterpret_cast<libusb_device*>(h->dev->token) : nullptr;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vid, uint16_t pid) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* found = nullptr;
    for (ssize_t i = 0; i < n && !found; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == vid && d.idProduct == pid &&
            libusb_open(list[i], &found) != 0)
            found = nullptr;
    }
    libusb_free_device_list(list, 1);
    return found;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* config) {
    return Registry::get().get_configuration(handle, config);
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int configuration) {
    return Registry::get().set_configuration(handle, configuration);
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface_number) {
    return Registry::get().claim(handle, interface_number);
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface_number) {
    return Registry::get().release(handle, interface_number);
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int interface_number, int alt) {
    return Registry::get().set_alt_setting(handle, interface_number, alt);
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
    return Registry::get().clear_halt(handle, endpoint);
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle) { return Registry::get().reset(handle); }

// No kernel driver is ever bound to a virtual interface.
int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int interface_number) {
    return present_check(handle, interface_number);
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int interface_number) {
    const int e = present_check(handle, interface_number);
    return e ? e : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* handle, int interface_number) {
    const int e = present_check(handle, interface_number);
    return e ? e : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int) {
    return Registry::get().check_open(handle);
}

// ---------------------------------------------------------------- synchronous transfers

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                        unsigned int) {
    libusb_control_setup setup{};
    setup.bmRequestType = request_type;
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = index;
    setup.wLength = length;
    const int r = Registry::get().control(handle, setup, data);
    vad::events::synchronous_done();
    return with_errno(r);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* transferred, unsigned int timeout) {
    const int r = Registry::get().bulk(handle, endpoint, data, length, transferred, timeout);
    vad::events::synchronous_done();
    return with_errno(r);
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                          int length, int* transferred, unsigned int timeout) {
    const int r = Registry::get().bulk(handle, endpoint, data, length, transferred, timeout);
    vad::events::synchronous_done();
    return with_errno(r);
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                                   int length) {
    if (index == 0) return LIBUSB_ERROR_INVALID_PARAM;
    if (!data || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char buf[255];
    int r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_STRING << 8, 0,
                                    buf, sizeof buf, 1000);
    if (r < 0) return r;
    if (r < 4) return LIBUSB_ERROR_IO;
    const uint16_t langid = static_cast<uint16_t>(buf[2] | buf[3] << 8);
    r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | index), langid, buf, sizeof buf, 1000);
    if (r < 0) return r;
    if (r < 2 || buf[1] != LIBUSB_DT_STRING || buf[0] > r) return LIBUSB_ERROR_IO;
    int n = 0;
    for (int i = 2; i + 1 < buf[0] && n < length - 1; i += 2)
        data[n++] = buf[i + 1] || buf[i] & 0x80 ? '?' : buf[i];
    data[n] = 0;
    return n;
}

// ---------------------------------------------------------------- asynchronous transfers

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int iso_packets) { return vad::alloc_transfer(iso_packets); }
void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* t) { vad::free_transfer(t); }
int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* t) { return vad::submit_transfer(t); }
int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* t) { return vad::cancel_transfer(t); }

// ---------------------------------------------------------------- event handling

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context*, struct timeval* tv, int* completed) {
    if (!valid_timeval(tv)) return LIBUSB_ERROR_INVALID_PARAM;
    return vad::events::handle(tv, completed);
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
    timeval tv = kDefaultEventWait;
    return libusb_handle_events_timeout_completed(ctx, &tv, completed);
}

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) { return libusb_handle_events_completed(ctx, nullptr); }

int LIBUSB_CALL libusb_handle_events_locked(libusb_context*, struct timeval* tv) {
    if (!valid_timeval(tv)) return LIBUSB_ERROR_INVALID_PARAM;
    return vad::events::handle_locked(tv);
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context*) { vad::events::interrupt(); }
int LIBUSB_CALL libusb_try_lock_events(libusb_context*) { return vad::events::try_lock(); }
void LIBUSB_CALL libusb_lock_events(libusb_context*) { vad::events::lock(); }
void LIBUSB_CALL libusb_unlock_events(libusb_context*) { vad::events::unlock(); }
int LIBUSB_CALL libusb_event_handling_ok(libusb_context*) { return 1; }  // no device close ever needs the lock
int LIBUSB_CALL libusb_event_handler_active(libusb_context*) { return vad::events::handler_active(); }
void LIBUSB_CALL libusb_lock_event_waiters(libusb_context*) { vad::events::lock_waiters(); }
void LIBUSB_CALL libusb_unlock_event_waiters(libusb_context*) { vad::events::unlock_waiters(); }

int LIBUSB_CALL libusb_wait_for_event(libusb_context*, struct timeval* tv) {
    if (tv && !valid_timeval(tv)) return LIBUSB_ERROR_INVALID_PARAM;
    return vad::events::wait_for_event(tv);
}

// Transfer time-outs are served inside the library, as on platforms with a timer descriptor.
int LIBUSB_CALL libusb_pollfds_handle_timeouts(libusb_context*) { return 1; }
int LIBUSB_CALL libusb_get_next_timeout(libusb_context*, struct timeval*) { return 0; }

const struct libusb_pollfd** LIBUSB_CALL libusb_get_pollfds(libusb_context*) { return vad::events::pollfds(); }
void LIBUSB_CALL libusb_free_pollfds(const struct libusb_pollfd** pollfds) { std::free(pollfds); }
// The one event source exists from the start and never changes, so the notifiers never fire.
void LIBUSB_CALL libusb_set_pollfd_notifiers(libusb_context*, libusb_pollfd_added_cb, libusb_pollfd_removed_cb,
                                             void*) {}

}  // extern "C"
