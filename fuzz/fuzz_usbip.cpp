// What a hostile USB/IP peer can send fdhost-usbip: the decoder never reads out of bounds, keeps
// every length and count within its limits, holds at most the message under way, stays failed
// after a violation, and cuts the same stream into the same messages however it arrives.
//
// Input: a flags byte (bit 0: the stream starts after an import, with URBs), a byte that sets the
// sizes of the pieces the stream arrives in, then the stream.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "check.hpp"
#include "usbip_protocol.hpp"

namespace {

using namespace vad::usbip;

// What the server acts on of a message, comparable between two decoders.
std::string summary(const Message& m) {
    if (std::holds_alternative<DevlistRequest>(m)) return "devlist";
    if (const auto* r = std::get_if<ImportRequest>(&m)) return "import " + r->busid;
    if (const auto* u = std::get_if<Unlink>(&m)) return "unlink " + std::to_string(u->seqnum) + " " + std::to_string(u->victim);
    if (const auto* s = std::get_if<Submit>(&m))
        return "submit " + std::to_string(s->seqnum) + " " + std::to_string(s->endpoint()) + " " +
               std::to_string(s->length) + " " + std::string(s->data.begin(), s->data.end()) + " " +
               std::to_string(s->iso.size());
    if (const auto* v = std::get_if<Violation>(&m)) return "violation " + v->reason;
    return "none";
}

void check_bounds(const Message& m) {
    if (const auto* r = std::get_if<ImportRequest>(&m)) FUZZ_CHECK(r->busid.size() <= BUSID_SIZE);
    if (const auto* s = std::get_if<Submit>(&m)) {
        FUZZ_CHECK(s->length <= MAX_TRANSFER && s->ep <= 15 && s->direction <= DIR_IN);
        FUZZ_CHECK(s->data.size() == (s->in() ? 0 : s->length));
        FUZZ_CHECK(s->iso.size() == (s->iso_requested() ? s->number_of_packets : 0));
        FUZZ_CHECK(s->iso.size() <= MAX_ISO_PACKETS);
        // The reply the server would make of it has exactly its parts.
        const auto r = ret_submit(RetSubmit{s->seqnum, 0, 0, s->number_of_packets, s->data, s->iso});
        FUZZ_CHECK(r.size() == URB_HEADER_SIZE + s->data.size() + s->iso.size() * ISO_PACKET_SIZE);
    }
}

// Drains the decoder, acting as the server does on an import; appends what came out. False after
// a violation, which ends the connection.
bool drain(Decoder& d, std::vector<std::string>& out, std::size_t piece) {
    for (;;) {
        Message m = d.next();
        if (std::holds_alternative<std::monostate>(m)) break;
        check_bounds(m);
        out.push_back(summary(m));
        if (std::holds_alternative<ImportRequest>(m)) d.start_urbs();
        if (std::holds_alternative<Violation>(m)) {
            FUZZ_CHECK(d.buffered() == 0);
            FUZZ_CHECK(std::holds_alternative<Violation>(d.next()));  // final
            return false;
        }
    }
    // Nothing complete is left behind: at most the message under way.
    FUZZ_CHECK(d.buffered() <= MAX_MESSAGE + piece);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const bool urbs = data[0] & 1;
    const std::size_t seed = data[1];
    const std::vector<std::uint8_t> stream(data + 2, data + size);  // exact size: ASan sees overreads

    Decoder whole, pieces;
    if (urbs) {
        whole.start_urbs();
        pieces.start_urbs();
    }
    std::vector<std::string> a, b;
    whole.feed(stream);
    drain(whole, a, stream.size());
    for (std::size_t at = 0, i = 0; at < stream.size(); ++i) {
        const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + (seed * (i + 1)) % 61);
        pieces.feed({stream.data() + at, n});
        at += n;
        if (!drain(pieces, b, n)) break;
    }
    // Message by message the same, a violation included.
    FUZZ_CHECK(a == b);
    return 0;
}
