// Record codecs: decode then encode gives back the input bytes (less what the encoder normalises),
// encode then decode gives back the record, and out-of-range flag values never bleed into
// neighbouring bits.
#include <array>
#include <cstdint>

#include "check.hpp"
#include "records.hpp"
#include "ref_bytes.hpp"

namespace {

void head_codec(const ref::Bytes& in) {
    const auto h = fdh::decode_head(in);
    FUZZ_CHECK(h.has_value() == (in.size() >= fdh::CAN_HEAD_SIZE));
    if (!h) return;
    std::array<std::uint8_t, fdh::CAN_HEAD_SIZE> out{};
    fdh::encode_head(*h, out);
    FUZZ_CHECK(ref::same(out, ref::slice(in, 0, 12)));
    FUZZ_CHECK(fdh::decode_head(out.data()) == *h);

    fdh::CanHead wild = *h;
    wild.fram_type = in[0]; wild.can_type = in[1]; wild.id_type = in[2]; wild.dir = in[3]; wild.dlc = in[4];
    fdh::encode_head(wild, out);
    fdh::CanHead masked = wild;
    masked.fram_type &= 1; masked.can_type &= 1; masked.id_type &= 1; masked.dir &= 1; masked.dlc &= 15;
    FUZZ_CHECK(fdh::decode_head(out.data()) == masked);
}

void tx_codec(const ref::Bytes& in) {
    const auto t = fdh::decode_tx(in);
    FUZZ_CHECK(t.has_value() == (in.size() >= fdh::CAN_TX_SIZE));
    if (!t) return;
    // The encoder always writes bit 7 of the flag byte and the pad bytes 5..7 as zero.
    ref::Bytes want = ref::slice(in, 0, 88);
    want.at(2) &= 0x7F;
    want.at(5) = want.at(6) = want.at(7) = 0;
    const auto out = fdh::encode_tx(*t);
    FUZZ_CHECK(ref::same(out, want));
    FUZZ_CHECK(fdh::decode_tx(out) == *t);

    fdh::CanTx wild = *t;
    std::uint8_t* flags[] = {&wild.can_type, &wild.fram_type,     &wild.id_type, &wild.fd_acc,
                             &wild.id_increase, &wild.data_increase, &wild.cmd};
    for (int i = 0; i < 7; ++i) *flags[i] = in[i];
    fdh::CanTx masked = wild;
    std::uint8_t* masked_flags[] = {&masked.can_type,    &masked.fram_type,     &masked.id_type, &masked.fd_acc,
                                    &masked.id_increase, &masked.data_increase, &masked.cmd};
    for (auto* f : masked_flags) *f &= 1;
    FUZZ_CHECK(fdh::decode_tx(fdh::encode_tx(wild)) == masked);
}

void setup_codec(const ref::Bytes& in) {
    const auto s = fdh::decode_setup(in);
    FUZZ_CHECK(s.has_value() == (in.size() >= fdh::SETUP_BAUDRATE_SIZE));
    if (!s) return;
    const auto out = fdh::encode_setup(*s);
    FUZZ_CHECK(ref::same(out, ref::slice(in, 0, 9)));
    FUZZ_CHECK(fdh::decode_setup(out) == *s);
}

void ack_record_codec(const ref::Bytes& in) {
    const auto a = fdh::decode_ack_record(in);
    FUZZ_CHECK(a.has_value() == (in.size() >= fdh::CAN_ACK_SIZE));
    if (!a) return;
    const auto out = fdh::encode_ack_record(*a);
    FUZZ_CHECK(ref::same(out, ref::slice(in, 0, 64)));
    FUZZ_CHECK(fdh::decode_ack_record(out) == *a);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exact-size heap copy: a decoder reading past its input trips ASan.
    const ref::Bytes in(data, data + size);
    head_codec(in);
    tx_codec(in);
    setup_codec(in);
    ack_record_codec(in);
    return 0;
}
