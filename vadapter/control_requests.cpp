#include "control_requests.hpp"

#include <algorithm>
#include <cstring>

#include "usb_descriptors.hpp"

namespace vad {
namespace {

constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kRecipientMask = 0x1F;
constexpr std::uint16_t kEndpointHalt = 0;  // feature selector

// USB 2.0 hub descriptor and port status bits.
constexpr std::uint16_t kHubCharacteristics = 0x0009;  // per-port power switching and over-current report
constexpr std::uint8_t kPowerOnToGood = 10;            // units of 2 ms
constexpr std::uint16_t kPortConnection = 0x0001, kPortEnable = 0x0002, kPortPower = 0x0100,
                        kPortHighSpeed = 0x0400;

struct Request {
    const libusb_control_setup& s;
    std::uint8_t* data;

    bool in() const { return s.bmRequestType & LIBUSB_ENDPOINT_IN; }
    std::uint8_t recipient() const { return s.bmRequestType & kRecipientMask; }
    // Returns at most wLength bytes, as a device ends its data stage early or cuts it.
    int reply(const std::vector<std::uint8_t>& bytes) const {
        const std::size_t n = std::min<std::size_t>(bytes.size(), s.wLength);
        if (n) std::memcpy(data, bytes.data(), n);
        return static_cast<int>(n);
    }
};

bool has_interface(const VirtualDevice& d, std::uint16_t n) {
    return std::any_of(d.interfaces.begin(), d.interfaces.end(), [&](const auto& i) { return i.number == n; });
}

// Endpoint 0 in either direction, or one of the device's endpoints.
bool has_endpoint(const VirtualDevice& d, std::uint16_t w_index) {
    const auto ep = static_cast<std::uint8_t>(w_index);
    return (w_index >> 8) == 0 && ((ep & 0x7F) == 0 || d.endpoint(ep));
}

int get_descriptor(VirtualDevice& d, const Request& r) {
    if (!r.in() || r.recipient() != LIBUSB_RECIPIENT_DEVICE) return LIBUSB_ERROR_PIPE;
    const std::uint8_t type = r.s.wValue >> 8;
    const std::uint8_t index = r.s.wValue & 0xFF;
    switch (type) {
        case LIBUSB_DT_DEVICE: return r.reply(device_descriptor_bytes(d));
        case LIBUSB_DT_CONFIG: return index == 0 ? r.reply(config_descriptor_bytes(d)) : LIBUSB_ERROR_PIPE;
        case LIBUSB_DT_STRING: {
            if (index == STR_SERIAL && d.adapter)
                if (int e = d.adapter->device_fault(FaultKind::SerialFail, FaultMatch{})) return e;
            std::vector<std::uint8_t> str;
            if (int e = string_descriptor(d, index, str)) return e;
            return r.reply(str);
        }
        // A high-speed device also works at full speed and says how. A root hub has only its own speed.
        case DT_DEVICE_QUALIFIER: return d.is_hub() ? LIBUSB_ERROR_PIPE : r.reply(device_qualifier_bytes(d));
        case DT_OTHER_SPEED_CONFIG:
            return d.is_hub() || index != 0 ? LIBUSB_ERROR_PIPE : r.reply(config_descriptor_bytes(d, true));
        default: return LIBUSB_ERROR_PIPE;  // BOS, debug, ...: a USB 2.0 device without them stalls
    }
}

int get_status(VirtualDevice& d, const Request& r) {
    if (!r.in() || r.s.wValue != 0) return LIBUSB_ERROR_PIPE;
    switch (r.recipient()) {
        case LIBUSB_RECIPIENT_DEVICE:
            return r.reply({static_cast<std::uint8_t>(d.self_powered() ? 1 : 0), 0});
        case LIBUSB_RECIPIENT_INTERFACE:
            return d.configuration && has_interface(d, r.s.wIndex) ? r.reply({0, 0}) : LIBUSB_ERROR_PIPE;
        case LIBUSB_RECIPIENT_ENDPOINT: {
            if (!has_endpoint(d, r.s.wIndex)) return LIBUSB_ERROR_PIPE;
            const bool halted = d.adapter && d.adapter->halted(static_cast<std::uint8_t>(r.s.wIndex));
            return r.reply({static_cast<std::uint8_t>(halted ? 1 : 0), 0});
        }
        default: return LIBUSB_ERROR_PIPE;
    }
}

// SET_FEATURE / CLEAR_FEATURE: only the halt of an endpoint is a feature these devices have.
int endpoint_feature(VirtualDevice& d, const Request& r, bool set) {
    if (r.in() || r.recipient() != LIBUSB_RECIPIENT_ENDPOINT || r.s.wValue != kEndpointHalt ||
        !has_endpoint(d, r.s.wIndex))
        return LIBUSB_ERROR_PIPE;
    const auto ep = static_cast<std::uint8_t>(r.s.wIndex);
    if (!d.adapter || (ep & 0x7F) == 0) return 0;
    return set ? d.adapter->set_halt(ep) : d.adapter->clear_halt(ep);
}

int standard_request(VirtualDevice& d, const Request& r) {
    const bool to_device = r.recipient() == LIBUSB_RECIPIENT_DEVICE;
    const bool to_interface = r.recipient() == LIBUSB_RECIPIENT_INTERFACE && d.configuration &&
                              has_interface(d, r.s.wIndex);
    switch (r.s.bRequest) {
        case LIBUSB_REQUEST_GET_DESCRIPTOR: return get_descriptor(d, r);
        case LIBUSB_REQUEST_GET_STATUS: return get_status(d, r);
        case LIBUSB_REQUEST_SET_FEATURE: return endpoint_feature(d, r, true);
        case LIBUSB_REQUEST_CLEAR_FEATURE: return endpoint_feature(d, r, false);
        case LIBUSB_REQUEST_GET_CONFIGURATION:
            return r.in() && to_device ? r.reply({static_cast<std::uint8_t>(d.configuration)}) : LIBUSB_ERROR_PIPE;
        case LIBUSB_REQUEST_SET_CONFIGURATION:
            if (r.in() || !to_device || (r.s.wValue != 0 && r.s.wValue != CONFIG_VALUE)) return LIBUSB_ERROR_PIPE;
            d.configuration = r.s.wValue;
            return 0;
        case LIBUSB_REQUEST_GET_INTERFACE:
            return r.in() && to_interface ? r.reply({0}) : LIBUSB_ERROR_PIPE;  // alternate setting 0 only
        case LIBUSB_REQUEST_SET_INTERFACE:
            return !r.in() && to_interface && r.s.wValue == 0 ? 0 : LIBUSB_ERROR_PIPE;
        default: return LIBUSB_ERROR_PIPE;  // SET_ADDRESS belongs to the host controller; no SET_DESCRIPTOR
    }
}

std::vector<std::uint8_t> hub_descriptor(const HubPorts& p) {
    const auto n = static_cast<std::uint8_t>(p.connected.size());
    const std::size_t bitmap = (n + 1u + 7u) / 8u;  // bit 0 is reserved, bit n is port n
    std::vector<std::uint8_t> b{static_cast<std::uint8_t>(7 + 2 * bitmap), LIBUSB_DT_HUB, n,
                                static_cast<std::uint8_t>(kHubCharacteristics),
                                static_cast<std::uint8_t>(kHubCharacteristics >> 8), kPowerOnToGood, 0};
    b.insert(b.end(), bitmap, 0x00);  // every port's device is removable
    b.insert(b.end(), bitmap, 0xFF);  // port power control mask: all ones, as USB 2.0 asks
    return b;
}

int hub_request(const HubPorts& p, const Request& r) {
    if (!r.in()) return LIBUSB_ERROR_PIPE;  // port power and resets are not modelled
    const auto rt = r.recipient();
    if (r.s.bRequest == LIBUSB_REQUEST_GET_DESCRIPTOR && rt == LIBUSB_RECIPIENT_DEVICE &&
        r.s.wValue == LIBUSB_DT_HUB << 8)
        return r.reply(hub_descriptor(p));
    if (r.s.bRequest == LIBUSB_REQUEST_GET_STATUS && rt == LIBUSB_RECIPIENT_DEVICE && r.s.wIndex == 0)
        return r.reply({0, 0, 0, 0});  // local power good, no over-current, nothing changed
    if (r.s.bRequest == LIBUSB_REQUEST_GET_STATUS && rt == LIBUSB_RECIPIENT_OTHER && r.s.wIndex >= 1 &&
        r.s.wIndex <= p.connected.size()) {
        const std::uint16_t status = p.connected[r.s.wIndex - 1u]
                                         ? kPortConnection | kPortEnable | kPortPower | kPortHighSpeed
                                         : kPortPower;
        return r.reply({static_cast<std::uint8_t>(status), static_cast<std::uint8_t>(status >> 8), 0, 0});
    }
    return LIBUSB_ERROR_PIPE;
}

}  // namespace

int control_request(VirtualDevice& d, const HubPorts& ports, const libusb_control_setup& setup, std::uint8_t* data) {
    const Request r{setup, data};
    switch (setup.bmRequestType & kTypeMask) {
        case LIBUSB_REQUEST_TYPE_STANDARD: return standard_request(d, r);
        case LIBUSB_REQUEST_TYPE_CLASS: return d.is_hub() ? hub_request(ports, r) : LIBUSB_ERROR_PIPE;
        default: return LIBUSB_ERROR_PIPE;  // no vendor requests on endpoint 0
    }
}

}  // namespace vad
