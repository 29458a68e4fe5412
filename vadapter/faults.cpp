#include "faults.hpp"

#include <array>
#include <libusb.h>

#include "parse_util.hpp"

namespace vad {
namespace {

constexpr std::array<std::string_view, 26> kNames = {
    "reject", "noack", "ack_start", "ack_end", "ack_crc", "ack_cmd",
    "timeout", "stall", "halt", "short", "late",
    "rx_start", "rx_end", "rx_zero", "rx_count", "rx_crc", "rx_cut", "rx_dir1", "rx_stray", "rx_pad",
    "nosn", "sn_fail", "open", "claim", "clear_halt", "unplug",
};

}  // namespace

std::string_view fault_kind_name(FaultKind k) noexcept { return kNames[static_cast<std::size_t>(k)]; }

int default_error_code(FaultKind k) noexcept {
    switch (k) {
        case FaultKind::Timeout:
        case FaultKind::Late: return LIBUSB_ERROR_TIMEOUT;
        case FaultKind::Claim: return LIBUSB_ERROR_BUSY;
        case FaultKind::OpenFail: return LIBUSB_ERROR_ACCESS;
        case FaultKind::ClearHalt: return LIBUSB_ERROR_IO;
        default: return LIBUSB_ERROR_PIPE;
    }
}

bool parse_fault(std::string_view text, Fault& out, std::string& error) {
    const auto items = split(text, ',');
    const std::string_view kind = trim(items.front());
    Fault f;
    std::size_t k = 0;
    while (k < kNames.size() && kNames[k] != kind) ++k;
    if (k == kNames.size()) return fail(error, "unknown fault: ", kind);
    f.kind = static_cast<FaultKind>(k);
    if (f.kind == FaultKind::NoSerial || f.kind == FaultKind::Unplug) f.count = -1;

    for (std::size_t i = 1; i < items.size(); ++i) {
        const std::string_view item = trim(items[i]);
        if (item.empty()) continue;
        const auto [key, value] = split_key_value(item);
        long long n = 0;
        if (key == "count" && (value == "always" || value == "inf")) {
            f.count = -1;
            continue;
        }
        if (key == "ack" && value == "none") {
            f.kind = FaultKind::NoAck;
            continue;
        }
        if (!parse_int(value, n)) return fail(error, "fault option needs a number: ", item);
        if (key == "ep") f.ep = static_cast<int>(n);
        else if (key == "cmd") f.cmd = static_cast<int>(n);
        else if (key == "intf") f.intf = static_cast<int>(n);
        else if (key == "ack") f.ack = static_cast<int>(n & 0xFF);
        else if (key == "code") f.code = static_cast<int>(n);
        else if (key == "bytes") f.bytes = n;
        else if (key == "count") f.count = n < 0 ? -1 : n;
        else if (key == "skip") f.skip = n;
        else if (key == "after") f.after = n;
        else if (key == "ms") f.ms = n;
        else return fail(error, "unknown fault option: ", item);
    }
    if (f.code == 0) f.code = default_error_code(f.kind);
    out = f;
    return true;
}

bool FaultSet::matches(const Fault& f, const FaultMatch& m) noexcept {
    return (f.ep < 0 || f.ep == m.ep) && (f.cmd < 0 || f.cmd == m.cmd) && (f.intf < 0 || f.intf == m.intf);
}

std::optional<Fault> FaultSet::take(Fault& f) {
    if (f.skip > 0) {
        --f.skip;
        return std::nullopt;
    }
    if (f.count > 0) --f.count;
    ++fired_;
    return f;
}

std::optional<Fault> FaultSet::fire(FaultKind kind, const FaultMatch& m) {
    for (Fault& f : faults_) {
        if (f.kind != kind || f.count == 0 || !matches(f, m)) continue;
        if (auto hit = take(f)) return hit;
    }
    return std::nullopt;
}

std::optional<Fault> FaultSet::fire_rx() {
    for (Fault& f : faults_) {
        if (!is_rx_fault(f.kind) || f.count == 0) continue;
        if (auto hit = take(f)) return hit;
    }
    return std::nullopt;
}

bool FaultSet::rx_due() const noexcept {
    for (const Fault& f : faults_)
        if (is_rx_fault(f.kind) && f.count != 0 && f.skip == 0) return true;
    return false;
}

}  // namespace vad
