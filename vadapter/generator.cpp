#include "generator.hpp"

#include <algorithm>
#include <atomic>

#include "parse_util.hpp"
#include "records.hpp"

namespace vad {

bool parse_generator(std::string_view text, GenConfig& out, std::string& error) {
    GenConfig g;
    g.enabled = true;
    bool first = true;
    for (std::string_view item : split(text, ',')) {
        item = trim(item);
        if (item.empty()) continue;
        auto [key, value] = split_key_value(item);
        if (first && value.empty() && item.find('=') == std::string_view::npos) {
            first = false;
            if (key == "off") {
                out = GenConfig{};
                return true;
            }
            if (key == "saturate") {
                g.saturate = true;
                continue;
            }
            value = key;
            key = "rate";
        }
        first = false;
        long long n = 0;
        if (key == "rate") {
            double r = 0;
            if (!parse_double(value, r) || r <= 0) return fail(error, "generator rate must be > 0: ", item);
            g.rate = r;
            g.saturate = false;
        } else if (key == "dlc") {
            g.dlc_count = 0;
            for (std::string_view c : split(value, '/')) {
                if (!parse_int(trim(c), n) || n < 0 || n > 15) return fail(error, "DLC codes are 0..15: ", item);
                if (g.dlc_count == g.dlcs.size()) return fail(error, "at most 64 DLC codes: ", item);
                g.dlcs[g.dlc_count++] = static_cast<std::uint8_t>(n);
            }
            if (g.dlc_count == 0) return fail(error, "empty DLC list: ", item);
        } else if (key == "id") {
            if (!parse_int(value, n) || n < 0 || n > 0x1FFFFFFF) return fail(error, "bad identifier: ", item);
            g.id = static_cast<std::uint32_t>(n);
        } else if (key == "count") {
            if (!parse_int(value, n) || n < 0) return fail(error, "bad count: ", item);
            g.count = n;
        } else if (key == "seq") {
            if (!parse_int(value, n) || n < 0 || n > 0xFFFFFFFFLL) return fail(error, "bad sequence start: ", item);
            g.first_seq = static_cast<std::uint32_t>(n);
        } else if (key == "idinc" || key == "ext" || key == "fd" || key == "brs" || key == "esi") {
            bool b = false;
            if (!parse_bool(value, b)) return fail(error, "expected 0 or 1: ", item);
            (key == "idinc" ? g.id_increment : key == "ext" ? g.ext : key == "fd" ? g.fd : key == "brs" ? g.brs : g.esi) = b;
        } else {
            return fail(error, "unknown generator option: ", item);
        }
    }
    if (!g.saturate && g.rate <= 0) return fail(error, "generator needs a rate or 'saturate': ", text);
    out = g;
    return true;
}

Generator::Generator(const GenConfig& cfg, Ps start)
    : cfg_(cfg), start_(start), period_ps_(cfg.rate > 0 ? 1e12 / cfg.rate : 0), seq_(cfg.first_seq) {
    static std::atomic<std::uint64_t> made{0};
    serial_ = ++made;
    if (cfg_.dlc_count == 0) cfg_.dlcs[cfg_.dlc_count++] = 8;
}

Generator Generator::resumed(const GenConfig& cfg, Ps start, long long taken) noexcept {
    Generator g;
    g.cfg_ = cfg;
    g.start_ = start;
    g.period_ps_ = cfg.rate > 0 ? 1e12 / cfg.rate : 0;
    g.set_taken(taken);
    return g;
}

void Generator::set_taken(long long taken) noexcept {
    taken_ = taken;
    seq_ = cfg_.first_seq + static_cast<std::uint32_t>(taken);
}

bool Generator::active() const noexcept {
    return cfg_.enabled && (cfg_.count < 0 || taken_ < cfg_.count);
}

Ps Generator::next_ready() const noexcept {
    if (!active()) return NEVER;
    if (cfg_.saturate) return start_;  // back to back from the moment it was switched on, never earlier
    return start_ + static_cast<Ps>(period_ps_ * static_cast<double>(taken_));
}

BusFrame Generator::shape(std::uint32_t seq) const noexcept {
    BusFrame f;
    f.origin = Origin::Generator;
    f.seq = seq;
    f.fd = cfg_.fd;
    f.brs = cfg_.fd && cfg_.brs;
    f.esi = cfg_.fd && cfg_.esi;
    f.ext = cfg_.ext;
    // The count is checked again: a generator may come from memory another process wrote.
    const auto n = std::clamp<long long>(cfg_.dlc_count, 1, static_cast<long long>(cfg_.dlcs.size()));
    std::uint8_t code = cfg_.dlcs[static_cast<std::size_t>(taken_ % n)];
    if (!cfg_.fd) code = std::min<std::uint8_t>(code, 8);  // classic codes 9..15 still carry 8 bytes
    f.len = static_cast<std::uint8_t>(fdh::dlc_to_len(code));
    const std::uint32_t mask = cfg_.ext ? 0x1FFFFFFFu : 0x7FFu;
    f.id = (cfg_.id_increment ? cfg_.id + seq : cfg_.id) & mask;
    return f;
}

BusFrame Generator::peek_shape() const noexcept { return shape(seq_); }

BusFrame Generator::take() noexcept {
    BusFrame f = shape(seq_);
    f.ready = next_ready();
    // Data bytes 0..3 carry the sequence number, the rest a pattern that moves with it.
    for (unsigned i = 0; i < f.len; ++i)
        f.data[i] = static_cast<std::uint8_t>(i < 4 ? seq_ >> (8 * i) : seq_ + i);
    ++taken_;
    ++seq_;
    return f;
}

}  // namespace vad
