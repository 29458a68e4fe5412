// The parts of libusb-1.0's binary interface the workers call directly, written out here: the
// module never links libusb (it calls the functions of the library pyusb loaded), so it needs no
// libusb header to build. The layout has been fixed since libusb 1.0.0; where the real header is
// at hand the build checks it against this one.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define FDH_LIBUSB_CALL __stdcall
#else
#define FDH_LIBUSB_CALL
#include <sys/time.h>
#endif

namespace fdh::device::libusb {

constexpr int ERROR_IO = -1, ERROR_NO_DEVICE = -4, ERROR_NOT_FOUND = -5, ERROR_TIMEOUT = -7;
constexpr int ERROR_OVERFLOW = -8, ERROR_PIPE = -9, ERROR_INTERRUPTED = -10, ERROR_OTHER = -99;
constexpr unsigned char TRANSFER_TYPE_BULK = 2, TRANSFER_TYPE_INTERRUPT = 3;

enum TransferStatus : int { COMPLETED, TRANSFER_ERROR, TIMED_OUT, CANCELLED, STALL, NO_DEVICE, OVERFLOW };

struct Transfer;
using TransferCallback = void(FDH_LIBUSB_CALL*)(Transfer*);

struct Transfer {
    void* dev_handle;
    std::uint8_t flags;
    unsigned char endpoint;
    unsigned char type;
    unsigned int timeout;
    int status;
    int length;
    int actual_length;
    TransferCallback callback;
    void* user_data;
    unsigned char* buffer;
    int num_iso_packets;
};

#if defined(_WIN32)
struct Timeval {
    long tv_sec, tv_usec;
};
#else
using Timeval = timeval;
#endif

using TransferFn = int(FDH_LIBUSB_CALL*)(void* handle, unsigned char endpoint, unsigned char* data, int length,
                                         int* transferred, unsigned int timeout);

// The asynchronous interface: transfers, and the event handling that completes them.
struct AsyncApi {
    Transfer*(FDH_LIBUSB_CALL* alloc_transfer)(int iso_packets) = nullptr;
    void(FDH_LIBUSB_CALL* free_transfer)(Transfer*) = nullptr;
    int(FDH_LIBUSB_CALL* submit_transfer)(Transfer*) = nullptr;
    int(FDH_LIBUSB_CALL* cancel_transfer)(Transfer*) = nullptr;
    int(FDH_LIBUSB_CALL* handle_events_timeout_completed)(void* ctx, Timeval* tv, int* completed) = nullptr;
    void(FDH_LIBUSB_CALL* interrupt_event_handler)(void* ctx) = nullptr;

    bool complete() const {
        return alloc_transfer && free_transfer && submit_transfer && cancel_transfer &&
               handle_events_timeout_completed && interrupt_event_handler;
    }
};

// The error code a synchronous transfer returns for a transfer that ended with `status`: what
// libusb's own synchronous functions, and so pyusb, report for the same end.
constexpr int error_of(int status) {
    switch (status) {
        case COMPLETED: return 0;
        case TIMED_OUT: return ERROR_TIMEOUT;
        case STALL: return ERROR_PIPE;
        case OVERFLOW: return ERROR_OVERFLOW;
        case NO_DEVICE: return ERROR_NO_DEVICE;
        case TRANSFER_ERROR:
        case CANCELLED: return ERROR_IO;
        default: return ERROR_OTHER;
    }
}

}  // namespace fdh::device::libusb

#if __has_include(<libusb-1.0/libusb.h>)
#include <libusb-1.0/libusb.h>
namespace fdh::device::libusb {
static_assert(offsetof(Transfer, num_iso_packets) == offsetof(libusb_transfer, num_iso_packets));
static_assert(offsetof(Transfer, status) == offsetof(libusb_transfer, status));
static_assert(offsetof(Transfer, callback) == offsetof(libusb_transfer, callback));
static_assert(offsetof(Transfer, buffer) == offsetof(libusb_transfer, buffer));
static_assert(int{STALL} == int{LIBUSB_TRANSFER_STALL} && int{OVERFLOW} == int{LIBUSB_TRANSFER_OVERFLOW});
static_assert(ERROR_INTERRUPTED == LIBUSB_ERROR_INTERRUPTED && ERROR_OTHER == LIBUSB_ERROR_OTHER);
}  // namespace fdh::device::libusb
#endif
