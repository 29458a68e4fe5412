// The parts of libusb-1.0's binary interface this project calls, written out here: nothing links
// libusb (the core loads a library by path and looks its functions up; the pyusb path calls the
// functions of the library pyusb loaded), so no libusb header is needed to build. The layouts have
// been fixed since libusb 1.0.0; where the real header is at hand the build checks them against it.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define FDH_LIBUSB_CALL __stdcall
#else
#define FDH_LIBUSB_CALL
#include <sys/time.h>
#endif

namespace fdh::libusb {

constexpr int SUCCESS = 0, ERROR_IO = -1, ERROR_INVALID_PARAM = -2, ERROR_ACCESS = -3, ERROR_NO_DEVICE = -4;
constexpr int ERROR_NOT_FOUND = -5, ERROR_BUSY = -6, ERROR_TIMEOUT = -7, ERROR_OVERFLOW = -8, ERROR_PIPE = -9;
constexpr int ERROR_INTERRUPTED = -10, ERROR_NO_MEM = -11, ERROR_NOT_SUPPORTED = -12, ERROR_OTHER = -99;
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

struct DeviceDescriptor {
    std::uint8_t bLength, bDescriptorType;
    std::uint16_t bcdUSB;
    std::uint8_t bDeviceClass, bDeviceSubClass, bDeviceProtocol, bMaxPacketSize0;
    std::uint16_t idVendor, idProduct, bcdDevice;
    std::uint8_t iManufacturer, iProduct, iSerialNumber, bNumConfigurations;
};
static_assert(sizeof(DeviceDescriptor) == 18);

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

// Everything the core calls: a context, finding and opening devices, synchronous transfers and
// the asynchronous interface. Each entry names the libusb function it holds.
struct Api {
    int(FDH_LIBUSB_CALL* init)(void** ctx) = nullptr;                                    // libusb_init
    long(FDH_LIBUSB_CALL* get_device_list)(void* ctx, void*** list) = nullptr;           // ssize_t
    void(FDH_LIBUSB_CALL* free_device_list)(void** list, int unref_devices) = nullptr;
    void*(FDH_LIBUSB_CALL* ref_device)(void* dev) = nullptr;
    void(FDH_LIBUSB_CALL* unref_device)(void* dev) = nullptr;
    int(FDH_LIBUSB_CALL* get_device_descriptor)(void* dev, DeviceDescriptor* desc) = nullptr;
    std::uint8_t(FDH_LIBUSB_CALL* get_bus_number)(void* dev) = nullptr;
    std::uint8_t(FDH_LIBUSB_CALL* get_device_address)(void* dev) = nullptr;
    int(FDH_LIBUSB_CALL* get_port_numbers)(void* dev, std::uint8_t* ports, int len) = nullptr;
    int(FDH_LIBUSB_CALL* open)(void* dev, void** handle) = nullptr;
    void(FDH_LIBUSB_CALL* close)(void* handle) = nullptr;
    int(FDH_LIBUSB_CALL* claim_interface)(void* handle, int number) = nullptr;
    int(FDH_LIBUSB_CALL* release_interface)(void* handle, int number) = nullptr;
    int(FDH_LIBUSB_CALL* clear_halt)(void* handle, unsigned char endpoint) = nullptr;
    int(FDH_LIBUSB_CALL* get_string_descriptor_ascii)(void* handle, std::uint8_t index, unsigned char* data,
                                                      int length) = nullptr;
    TransferFn bulk_transfer = nullptr;
    AsyncApi async;
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

// libusb's name of an error code, for the one-line reasons the core gives.
constexpr const char* error_name(int code) {
    switch (code) {
        case SUCCESS: return "LIBUSB_SUCCESS";
        case ERROR_IO: return "LIBUSB_ERROR_IO (input/output error)";
        case ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM (invalid parameter)";
        case ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS (access denied: insufficient permissions)";
        case ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE (no such device: it may have been disconnected)";
        case ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND (entity not found)";
        case ERROR_BUSY: return "LIBUSB_ERROR_BUSY (resource busy: another program may be using it)";
        case ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT (operation timed out)";
        case ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW (overflow)";
        case ERROR_PIPE: return "LIBUSB_ERROR_PIPE (pipe error: the endpoint stalled)";
        case ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED (system call interrupted)";
        case ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM (insufficient memory)";
        case ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED (operation not supported or unimplemented)";
        default: return "LIBUSB_ERROR_OTHER (other error)";
    }
}

}  // namespace fdh::libusb

#if __has_include(<libusb-1.0/libusb.h>)
#include <libusb-1.0/libusb.h>
namespace fdh::libusb {
static_assert(offsetof(Transfer, num_iso_packets) == offsetof(libusb_transfer, num_iso_packets));
static_assert(offsetof(Transfer, status) == offsetof(libusb_transfer, status));
static_assert(offsetof(Transfer, callback) == offsetof(libusb_transfer, callback));
static_assert(offsetof(Transfer, buffer) == offsetof(libusb_transfer, buffer));
static_assert(int{STALL} == int{LIBUSB_TRANSFER_STALL} && int{OVERFLOW} == int{LIBUSB_TRANSFER_OVERFLOW});
static_assert(ERROR_INTERRUPTED == LIBUSB_ERROR_INTERRUPTED && ERROR_OTHER == LIBUSB_ERROR_OTHER);
static_assert(ERROR_ACCESS == LIBUSB_ERROR_ACCESS && ERROR_BUSY == LIBUSB_ERROR_BUSY);
static_assert(sizeof(DeviceDescriptor) == sizeof(libusb_device_descriptor));
static_assert(offsetof(DeviceDescriptor, iSerialNumber) == offsetof(libusb_device_descriptor, iSerialNumber));
static_assert(offsetof(DeviceDescriptor, idProduct) == offsetof(libusb_device_descriptor, idProduct));
}  // namespace fdh::libusb
#endif
