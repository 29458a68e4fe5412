#include "usb_descriptors.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "byte_order.hpp"

namespace vad {
namespace {

constexpr std::uint8_t kConfigValue = CONFIG_VALUE;
constexpr std::size_t kConfigSize = LIBUSB_DT_CONFIG_SIZE;
constexpr std::size_t kInterfaceSize = LIBUSB_DT_INTERFACE_SIZE;
constexpr std::size_t kEndpointSize = LIBUSB_DT_ENDPOINT_SIZE;

std::size_t endpoint_count(const VirtualDevice& d) {
    std::size_t n = 0;
    for (const auto& i : d.interfaces) n += i.endpoints.size();
    return n;
}

std::uint16_t total_length(const VirtualDevice& d) {
    return static_cast<std::uint16_t>(kConfigSize + d.interfaces.size() * kInterfaceSize +
                                      endpoint_count(d) * kEndpointSize);
}

// Bit 7 is always set; bit 6 says self powered. A self-powered device draws nothing from the bus.
std::uint8_t config_attributes(const VirtualDevice& d) { return d.self_powered() ? 0xC0 : 0x80; }
std::uint8_t max_power(const VirtualDevice& d) { return d.self_powered() ? 0 : 50; }  // units of 2 mA

// Full speed allows bulk and interrupt packets of at most 64 bytes.
std::uint16_t packet_size(const EndpointLayout& e, bool full_speed) {
    return full_speed ? std::min<std::uint16_t>(e.max_packet, 64) : e.max_packet;
}

}  // namespace

libusb_device_descriptor device_descriptor(const VirtualDevice& d) {
    libusb_device_descriptor desc{};
    desc.bLength = LIBUSB_DT_DEVICE_SIZE;
    desc.bDescriptorType = LIBUSB_DT_DEVICE;
    desc.bcdUSB = 0x0200;
    desc.bDeviceClass = d.device_class;
    desc.bMaxPacketSize0 = 64;
    desc.idVendor = d.vid;
    desc.idProduct = d.pid;
    desc.bcdDevice = 0x0100;
    desc.iManufacturer = STR_MANUFACTURER;
    desc.iProduct = STR_PRODUCT;
    desc.iSerialNumber = d.has_serial() ? STR_SERIAL : 0;
    desc.bNumConfigurations = 1;
    return desc;
}

std::vector<std::uint8_t> device_descriptor_bytes(const VirtualDevice& d) {
    const libusb_device_descriptor s = device_descriptor(d);
    std::vector<std::uint8_t> b(LIBUSB_DT_DEVICE_SIZE);
    b[0] = s.bLength;
    b[1] = s.bDescriptorType;
    fdh::put_le16(&b[2], s.bcdUSB);
    b[4] = s.bDeviceClass;
    b[5] = s.bDeviceSubClass;
    b[6] = s.bDeviceProtocol;
    b[7] = s.bMaxPacketSize0;
    fdh::put_le16(&b[8], s.idVendor);
    fdh::put_le16(&b[10], s.idProduct);
    fdh::put_le16(&b[12], s.bcdDevice);
    b[14] = s.iManufacturer;
    b[15] = s.iProduct;
    b[16] = s.iSerialNumber;
    b[17] = s.bNumConfigurations;
    return b;
}

libusb_config_descriptor* new_config_descriptor(const VirtualDevice& d) {
    const std::size_t ni = d.interfaces.size();
    const std::size_t ne = endpoint_count(d);
    const std::size_t bytes = sizeof(libusb_config_descriptor) + ni * sizeof(libusb_interface) +
                              ni * sizeof(libusb_interface_descriptor) + ne * sizeof(libusb_endpoint_descriptor);
    void* block = std::calloc(1, bytes);
    if (!block) return nullptr;
    auto* cfg = new (block) libusb_config_descriptor{};
    auto* ifaces = reinterpret_cast<libusb_interface*>(cfg + 1);
    auto* alts = reinterpret_cast<libusb_interface_descriptor*>(ifaces + ni);
    auto* eps = reinterpret_cast<libusb_endpoint_descriptor*>(alts + ni);

    cfg->bLength = kConfigSize;
    cfg->bDescriptorType = LIBUSB_DT_CONFIG;
    cfg->wTotalLength = total_length(d);
    cfg->bNumInterfaces = static_cast<std::uint8_t>(ni);
    cfg->bConfigurationValue = kConfigValue;
    cfg->bmAttributes = config_attributes(d);
    cfg->MaxPower = max_power(d);
    cfg->interface = ifaces;
    for (std::size_t i = 0; i < ni; ++i) {
        const InterfaceLayout& l = d.interfaces[i];
        libusb_interface_descriptor* alt = new (&alts[i]) libusb_interface_descriptor{};
        alt->bLength = kInterfaceSize;
        alt->bDescriptorType = LIBUSB_DT_INTERFACE;
        alt->bInterfaceNumber = l.number;
        alt->bNumEndpoints = static_cast<std::uint8_t>(l.endpoints.size());
        alt->bInterfaceClass = l.cls;
        alt->endpoint = eps;
        for (const EndpointLayout& e : l.endpoints) {
            libusb_endpoint_descriptor* ep = new (eps++) libusb_endpoint_descriptor{};
            ep->bLength = kEndpointSize;
            ep->bDescriptorType = LIBUSB_DT_ENDPOINT;
            ep->bEndpointAddress = e.address;
            ep->bmAttributes = e.attributes;
            ep->wMaxPacketSize = e.max_packet;
            ep->bInterval = e.interval;
        }
        libusb_interface* itf = new (&ifaces[i]) libusb_interface{};
        itf->altsetting = alt;
        itf->num_altsetting = 1;
    }
    return cfg;
}

void delete_config_descriptor(libusb_config_descriptor* c) noexcept { std::free(c); }

std::vector<std::uint8_t> device_qualifier_bytes(const VirtualDevice& d) {
    const std::vector<std::uint8_t> dev = device_descriptor_bytes(d);
    // bcdUSB, class, subclass, protocol and packet size of endpoint 0 as at the other speed (the same),
    // the number of configurations, a reserved byte.
    return {10, DT_DEVICE_QUALIFIER, dev[2], dev[3], dev[4], dev[5], dev[6], dev[7], dev[17], 0};
}

std::vector<std::uint8_t> config_descriptor_bytes(const VirtualDevice& d, bool other_speed) {
    std::vector<std::uint8_t> b;
    b.reserve(total_length(d));
    const std::uint16_t total = total_length(d);
    b.insert(b.end(), {static_cast<std::uint8_t>(kConfigSize),
                       other_speed ? DT_OTHER_SPEED_CONFIG : std::uint8_t{LIBUSB_DT_CONFIG},
                       static_cast<std::uint8_t>(total), static_cast<std::uint8_t>(total >> 8),
                       static_cast<std::uint8_t>(d.interfaces.size()), kConfigValue, 0, config_attributes(d),
                       max_power(d)});
    for (const InterfaceLayout& l : d.interfaces) {
        b.insert(b.end(), {static_cast<std::uint8_t>(kInterfaceSize), LIBUSB_DT_INTERFACE, l.number, 0,
                           static_cast<std::uint8_t>(l.endpoints.size()), l.cls, 0, 0, 0});
        for (const EndpointLayout& e : l.endpoints) {
            const std::uint16_t size = packet_size(e, other_speed);
            b.insert(b.end(), {static_cast<std::uint8_t>(kEndpointSize), LIBUSB_DT_ENDPOINT, e.address, e.attributes,
                               static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8), e.interval});
        }
    }
    return b;
}

int string_descriptor(const VirtualDevice& d, std::uint8_t index, std::vector<std::uint8_t>& out) {
    if (index == 0) {
        out = {4, LIBUSB_DT_STRING, 0x09, 0x04};
        return 0;
    }
    std::string text;
    if (index == STR_MANUFACTURER) text = d.manufacturer;
    else if (index == STR_PRODUCT) text = d.product;
    else if (index == STR_SERIAL && d.has_serial()) text = d.adapter->serial();
    else return LIBUSB_ERROR_PIPE;
    text.resize(std::min<std::size_t>(text.size(), 126));  // bLength is one byte
    out.assign(2 + 2 * text.size(), 0);
    out[0] = static_cast<std::uint8_t>(out.size());
    out[1] = LIBUSB_DT_STRING;
    for (std::size_t i = 0; i < text.size(); ++i) out[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    return 0;
}

}  // namespace vad
