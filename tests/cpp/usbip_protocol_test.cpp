// The USB/IP wire format of fdhost-usbip: what a peer sends cut into messages however it arrives,
// every length and count bounded, violations final; the replies at the offsets the kernel reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "usbip_protocol.hpp"

namespace {

using namespace vad::usbip;
using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

std::uint32_t be32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

Bytes op(std::uint16_t version, std::uint16_t code, std::string busid = "", bool with_busid = false) {
    Bytes b{static_cast<std::uint8_t>(version >> 8), static_cast<std::uint8_t>(version),
            static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code), 0, 0, 0, 0};
    if (with_busid) {
        busid.resize(BUSID_SIZE, '\0');
        b.insert(b.end(), busid.begin(), busid.end());
    }
    return b;
}

struct SubmitFields {
    std::uint32_t seqnum = 7, direction = DIR_OUT, ep = 2, flags = 0, length = 0, npk = 0;
    Bytes data;
    Bytes setup = Bytes(8, 0);
};

Bytes submit(const SubmitFields& f) {
    Bytes b;
    for (const std::uint32_t v : {CMD_SUBMIT, f.seqnum, 0x10002u, f.direction, f.ep, f.flags, f.length, 0u, f.npk, 0u})
        put32(b, v);
    b.insert(b.end(), f.setup.begin(), f.setup.end());
    b.insert(b.end(), f.data.begin(), f.data.end());
    return b;
}

Bytes unlink(std::uint32_t seqnum, std::uint32_t victim) {
    Bytes b;
    for (const std::uint32_t v : {CMD_UNLINK, seqnum, 0u, 0u, 0u, victim}) put32(b, v);
    b.resize(URB_HEADER_SIZE, 0);
    return b;
}

Decoder urb_decoder() {
    Decoder d;
    d.start_urbs();
    return d;
}

// ---------------------------------------------------------------- requests

TEST(UsbipRequests, DevlistAndImportAreRecognised) {
    Decoder d;
    const Bytes both = [] {
        Bytes b = op(VERSION, OP_REQ_DEVLIST);
        const Bytes imp = op(VERSION, OP_REQ_IMPORT, "1-2", true);
        b.insert(b.end(), imp.begin(), imp.end());
        return b;
    }();
    d.feed(both);
    EXPECT_TRUE(std::holds_alternative<DevlistRequest>(d.next()));
    const Message m = d.next();
    ASSERT_TRUE(std::holds_alternative<ImportRequest>(m));
    EXPECT_EQ(std::get<ImportRequest>(m).busid, "1-2");
    EXPECT_TRUE(std::holds_alternative<std::monostate>(d.next()));
    EXPECT_EQ(d.buffered(), 0u);
    // A bus id filling its field has no NUL: all 32 bytes are the id.
    d.feed(op(VERSION, OP_REQ_IMPORT, std::string(32, 'x'), true));
    const Message full = d.next();
    ASSERT_TRUE(std::holds_alternative<ImportRequest>(full));
    EXPECT_EQ(std::get<ImportRequest>(full).busid, std::string(32, 'x'));
}

TEST(UsbipRequests, ViolationsAreFinal) {
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"old version", op(0x0106, OP_REQ_DEVLIST)},
        {"unknown request", op(VERSION, 0x8006)},
        {"a reply where a request belongs", op(VERSION, OP_REP_DEVLIST)},
    };
    for (const Case& c : cases) {
        Decoder d;
        d.feed(c.bytes);
        EXPECT_TRUE(std::holds_alternative<Violation>(d.next())) << c.name;
        d.feed(op(VERSION, OP_REQ_DEVLIST));  // nothing after a violation counts
        EXPECT_TRUE(std::holds_alternative<Violation>(d.next())) << c.name;
        EXPECT_EQ(d.buffered(), 0u) << c.name;
    }
}

// ---------------------------------------------------------------- URBs

TEST(UsbipUrbs, SubmitArrivingByteByByteCompletesWithItsLastByte) {
    SubmitFields f;
    f.length = 5;
    f.data = {1, 2, 3, 4, 5};
    f.setup = {0x21, 9, 0, 2, 0, 0, 5, 0};
    const Bytes b = submit(f);
    Decoder d = urb_decoder();
    for (std::size_t i = 0; i + 1 < b.size(); ++i) {
        d.feed({&b[i], 1});
        ASSERT_TRUE(std::holds_alternative<std::monostate>(d.next())) << "complete after " << i + 1 << " bytes";
    }
    d.feed({&b.back(), 1});
    const Message m = d.next();
    ASSERT_TRUE(std::holds_alternative<Submit>(m));
    const Submit& s = std::get<Submit>(m);
    EXPECT_EQ(s.seqnum, 7u);
    EXPECT_EQ(s.devid, 0x10002u);
    EXPECT_EQ(s.endpoint(), 0x02);
    EXPECT_EQ(s.data, f.data);
    EXPECT_EQ(Bytes(s.setup.begin(), s.setup.end()), f.setup);
    EXPECT_FALSE(s.iso_requested());
    EXPECT_EQ(d.buffered(), 0u);
}

TEST(UsbipUrbs, InSubmitCarriesNoDataNorIsoUnlessAskedAndUnlinkNamesItsVictim) {
    Bytes b;
    for (const std::uint32_t npk : {0u, NOT_ISO}) {  // vhci-hcd sends 0, the protocol document all ones
        SubmitFields f;
        f.direction = DIR_IN;
        f.ep = 1;
        f.length = 51200;
        f.npk = npk;
        const Bytes one = submit(f);
        b.insert(b.end(), one.begin(), one.end());
    }
    const Bytes u = unlink(8, 7);
    b.insert(b.end(), u.begin(), u.end());
    Decoder d = urb_decoder();
    d.feed(b);
    for (int i = 0; i < 2; ++i) {
        const Message m = d.next();
        ASSERT_TRUE(std::holds_alternative<Submit>(m));
        EXPECT_EQ(std::get<Submit>(m).endpoint(), 0x81);
        EXPECT_TRUE(std::get<Submit>(m).data.empty());
        EXPECT_FALSE(std::get<Submit>(m).iso_requested());
    }
    const Message m = d.next();
    ASSERT_TRUE(std::holds_alternative<Unlink>(m));
    EXPECT_EQ(std::get<Unlink>(m).seqnum, 8u);
    EXPECT_EQ(std::get<Unlink>(m).victim, 7u);
}

TEST(UsbipUrbs, IsoDescriptorsFollowTheOutData) {
    SubmitFields f;
    f.length = 3;
    f.data = {9, 9, 9};
    f.npk = 2;
    Bytes b = submit(f);
    for (const std::uint32_t v : {0u, 2u, 0u, 0u, 2u, 1u, 0u, 0xFFFFFFEEu}) put32(b, v);
    Decoder d = urb_decoder();
    d.feed({b.data(), b.size() - 1});
    EXPECT_TRUE(std::holds_alternative<std::monostate>(d.next()));
    d.feed({&b.back(), 1});
    const Message m = d.next();
    ASSERT_TRUE(std::holds_alternative<Submit>(m));
    const Submit& s = std::get<Submit>(m);
    ASSERT_EQ(s.iso.size(), 2u);
    EXPECT_EQ(s.iso[1].offset, 2u);
    EXPECT_EQ(s.iso[1].length, 1u);
    EXPECT_EQ(s.iso[1].status, -18);
}

TEST(UsbipUrbs, EveryLengthAndCountIsBoundedBeforeAnythingIsBuffered) {
    struct Case {
        const char* name;
        SubmitFields f;
    };
    auto fields = [](auto change) {
        SubmitFields f;
        change(f);
        return f;
    };
    const Case cases[] = {
        {"transfer above the limit", fields([](SubmitFields& f) { f.direction = DIR_IN; f.length = MAX_TRANSFER + 1; })},
        {"OUT data above the limit", fields([](SubmitFields& f) { f.length = 0xFFFFFFFF; })},
        {"ISO packets above the limit", fields([](SubmitFields& f) { f.npk = MAX_ISO_PACKETS + 1; })},
        {"direction neither in nor out", fields([](SubmitFields& f) { f.direction = 2; })},
        {"endpoint number above 15", fields([](SubmitFields& f) { f.ep = 16; })},
    };
    for (const Case& c : cases) {
        Decoder d = urb_decoder();
        d.feed(submit(c.f));
        EXPECT_TRUE(std::holds_alternative<Violation>(d.next())) << c.name;
        EXPECT_EQ(d.buffered(), 0u) << c.name;
    }
    // The largest allowed transfer is still taken.
    SubmitFields f;
    f.direction = DIR_IN;
    f.length = MAX_TRANSFER;
    Decoder d = urb_decoder();
    d.feed(submit(f));
    EXPECT_TRUE(std::holds_alternative<Submit>(d.next()));
}

// ---------------------------------------------------------------- replies

TEST(UsbipReplies, DevlistAtTheDocumentedOffsets) {
    Device dev;
    dev.path = "/fdhost-usbip/1-1/SERIAL";
    dev.busid = "1-1";
    dev.busnum = 1;
    dev.devnum = 2;
    dev.vid = 0x34B7;
    dev.pid = 0x6877;
    dev.bcd_device = 0x0100;
    dev.interfaces = {{0xFF, 1, 2}, {0xFE, 0, 0}};
    const Device devices[] = {dev, dev};
    const Bytes b = devlist_reply(devices);
    const std::size_t one = DEVICE_SIZE + 2 * 4;
    ASSERT_EQ(b.size(), 12 + 2 * one);
    EXPECT_EQ(be32(b, 0), std::uint32_t{VERSION} << 16 | OP_REP_DEVLIST);
    EXPECT_EQ(be32(b, 8), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0x0C])), dev.path);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0x10C])), "1-1");
    EXPECT_EQ(be32(b, 0x12C), 1u);
    EXPECT_EQ(be32(b, 0x130), 2u);
    EXPECT_EQ(be32(b, 0x134), SPEED_HIGH);
    EXPECT_EQ(be32(b, 0x138), 0x34B76877u);
    EXPECT_EQ(b[0x143], 2);  // bNumInterfaces
    EXPECT_EQ(Bytes(b.begin() + 0x144, b.begin() + 0x14C), (Bytes{0xFF, 1, 2, 0, 0xFE, 0, 0, 0}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0x0C + one + 0x100])), "1-1");  // the second device
}

TEST(UsbipReplies, RetSubmitAndRetUnlinkFields) {
    const Bytes data{1, 2, 3};
    const IsoPacket iso[] = {{0, 3, 0, -22}};
    const Bytes r = ret_submit(RetSubmit{41, -32, 3, 1, data, iso});
    ASSERT_EQ(r.size(), URB_HEADER_SIZE + 3 + ISO_PACKET_SIZE);
    EXPECT_EQ(be32(r, 0), RET_SUBMIT);
    EXPECT_EQ(be32(r, 4), 41u);
    EXPECT_EQ(be32(r, 8) | be32(r, 12) | be32(r, 16), 0u);  // devid, direction, ep: 0 from a server
    EXPECT_EQ(static_cast<std::int32_t>(be32(r, 0x14)), -32);
    EXPECT_EQ(be32(r, 0x18), 3u);
    EXPECT_EQ(be32(r, 0x20), 1u);
    EXPECT_EQ(Bytes(r.begin() + 48, r.begin() + 51), data);
    EXPECT_EQ(static_cast<std::int32_t>(be32(r, 51 + 12)), -22);

    const Bytes u = ret_unlink(42, -104);
    ASSERT_EQ(u.size(), URB_HEADER_SIZE);
    EXPECT_EQ(be32(u, 0), RET_UNLINK);
    EXPECT_EQ(be32(u, 4), 42u);
    EXPECT_EQ(static_cast<std::int32_t>(be32(u, 0x14)), -104);
    EXPECT_EQ(Bytes(u.begin() + 0x18, u.end()), Bytes(24, 0));
}

}  // namespace
