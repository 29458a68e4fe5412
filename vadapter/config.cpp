#include "config.hpp"

#include <algorithm>
#include <cstdio>

#include "parse_util.hpp"

namespace vad {
namespace {

constexpr std::string_view kFirstSerial = "14AA044B241402B10DDBDAFE448040BB";

std::vector<std::string_view> items_of(std::string_view text) {
    std::vector<std::string_view> items;
    for (std::string_view line : split(text, '\n'))
        for (std::string_view item : split(line, ';'))
            if (!trim(item).empty()) items.push_back(trim(item));
    return items;
}

// "1M", "500k", "250000"
bool parse_rate(std::string_view s, double& out) {
    s = trim(s);
    double scale = 1;
    if (!s.empty() && (s.back() == 'k' || s.back() == 'K')) scale = 1e3;
    if (!s.empty() && (s.back() == 'm' || s.back() == 'M')) scale = 1e6;
    if (scale != 1) s.remove_suffix(1);
    double v = 0;
    if (!parse_double(s, v) || v <= 0) return false;
    out = v * scale;
    return true;
}

bool parse_count(std::string_view item, std::string_view value, int max, int& out, std::string& error) {
    long long n = 0;
    if (!parse_int(value, n) || n < 0 || n > max) return fail(error, "bad device count: ", item);
    out = static_cast<int>(n);
    return true;
}

// "aN.key" -> N and key; -1 when the item applies to every adapter.
int adapter_prefix(std::string_view& key) {
    if (key.size() < 3 || key[0] != 'a') return -1;
    const std::size_t dot = key.find('.');
    if (dot == std::string_view::npos) return -1;
    long long n = 0;
    if (!parse_int(key.substr(1, dot - 1), n) || n < 0) return -1;
    key.remove_prefix(dot + 1);
    return static_cast<int>(n);
}

bool parse_order(std::string_view value, const WorldConfig& w, std::vector<DeviceRef>& order, std::string& error) {
    for (std::string_view tok : split(value, ',')) {
        tok = trim(tok);
        long long n = 0;
        if (tok.size() < 2 || (tok[0] != 'a' && tok[0] != 'o') || !parse_int(tok.substr(1), n))
            return fail(error, "order entries are aN or oN: ", tok);
        const bool adapter = tok[0] == 'a';
        const int limit = static_cast<int>(adapter ? w.adapters.size() : w.others.size());
        if (n < 0 || n >= limit) return fail(error, "order names a device that does not exist: ", tok);
        const DeviceRef ref{adapter, static_cast<int>(n)};
        if (std::none_of(order.begin(), order.end(),
                         [&](const DeviceRef& r) { return r.adapter == ref.adapter && r.index == ref.index; }))
            order.push_back(ref);
    }
    return true;
}

}  // namespace

std::string default_serial(int index) {
    std::string s(kFirstSerial);
    char tail[3];
    std::snprintf(tail, sizeof tail, "%02X", (0xBB + index) & 0xFF);
    s.replace(s.size() - 2, 2, tail);
    return s;
}

bool apply_adapter_item(AdapterConfig& a, std::string_view key, std::string_view value, std::string& error) {
    bool b = false;
    long long n = 0;
    if (key == "serial") {
        a.serial.assign(value);
    } else if (key == "bus") {
        if (!parse_location(value, a.bus, a.address)) return fail(error, "location is bus:address: ", value);
    } else if (key == "canbus") {
        a.can_bus.assign(value);
    } else if (key == "port") {
        if (!parse_int(value, n) || n < 0 || n > 255) return fail(error, "bad port: ", value);
        a.port = static_cast<std::uint8_t>(n);
    } else if (key == "loopback" || key == "echo" || key == "capture" || key == "fd" || key == "canbus_local") {
        if (!parse_bool(value, b)) return fail(error, "expected 0 or 1 for ", key);
        (key == "loopback" ? a.loopback : key == "echo" ? a.echo : key == "capture" ? a.capture
                         : key == "fd" ? a.fd : a.can_bus_local) = b;
    } else if (key == "stuffing") {
        if (value != "none" && value != "worst") return fail(error, "stuffing is none or worst: ", value);
        a.worst_stuffing = value == "worst";
    } else if (key == "nominal" || key == "data") {
        if (!parse_rate(value, key == "nominal" ? a.nominal_bps : a.data_bps))
            return fail(error, "bad bitrate: ", value);
    } else if (key == "hello") {
        if (!parse_hex_bytes(value, a.hello) || a.hello.size() > 2048) return fail(error, "hello is hex bytes: ", value);
    } else if (key == "flush_us" || key == "rxbuf" || key == "txbuf") {
        if (!parse_int(value, n) || n < 0 || (key != "flush_us" && n == 0)) return fail(error, "bad value for ", key);
        if (key == "flush_us") a.flush_us = n;
        else (key == "rxbuf" ? a.rxbuf : a.txbuf) = static_cast<std::size_t>(n);
    } else if (key == "logs") {
        if (!parse_int(value, n) || n < 1 || n > (1 << 20)) return fail(error, "logs keeps 1 to 1048576 entries: ", value);
        a.log_entries = static_cast<std::size_t>(n);
    } else if (key == "gen") {
        return parse_generator(value, a.gen, error);
    } else if (key == "fault") {
        Fault f;
        if (!parse_fault(value, f, error)) return false;
        a.faults.push_back(f);
    } else {
        return fail(error, "unknown configuration key: ", key);
    }
    return true;
}

bool apply_adapter_items(AdapterConfig& a, std::string_view text, std::string& error) {
    for (std::string_view item : items_of(text)) {
        const auto [key, value] = split_key_value(item);
        if (!apply_adapter_item(a, key, value, error)) return false;
    }
    return true;
}

bool parse_config(std::string_view text, WorldConfig& out, std::string& error) {
    const auto items = items_of(text);
    int adapters = 1, others = 0;
    for (std::string_view item : items) {
        const auto [key, value] = split_key_value(item);
        if (key == "adapters" && !parse_count(item, value, MAX_ADAPTERS, adapters, error)) return false;
        if (key == "other" && !parse_count(item, value, MAX_OTHERS, others, error)) return false;
    }

    WorldConfig w;
    for (int i = 0; i < adapters; ++i) {
        AdapterConfig a;
        a.serial = default_serial(i);
        a.address = static_cast<std::uint8_t>(2 + i);
        a.port = static_cast<std::uint8_t>(1 + i);
        w.adapters.push_back(a);
    }
    for (int i = 0; i < others; ++i) {
        OtherDeviceConfig o;
        o.address = static_cast<std::uint8_t>(1 + i);
        w.others.push_back(o);
    }

    std::vector<DeviceRef> order;
    for (std::string_view item : items) {
        auto [key, value] = split_key_value(item);
        if (key == "adapters" || key == "other") continue;
        if (key == "serials" || key == "bus" || key == "other_ids" || key == "other_bus") {
            const auto parts = split(value, ',');
            const bool for_adapters = key == "serials" || key == "bus";
            const std::size_t limit = for_adapters ? w.adapters.size() : w.others.size();
            if (parts.size() > limit) return fail(error, "more entries than devices: ", item);
            for (std::size_t i = 0; i < parts.size(); ++i) {
                const std::string_view p = trim(parts[i]);
                if (key == "serials") {
                    w.adapters[i].serial.assign(p);
                } else if (key == "bus") {
                    if (!parse_location(p, w.adapters[i].bus, w.adapters[i].address))
                        return fail(error, "location is bus:address: ", p);
                } else if (key == "other_bus") {
                    if (!parse_location(p, w.others[i].bus, w.others[i].address))
                        return fail(error, "location is bus:address: ", p);
                } else {
                    const std::size_t colon = p.find(':');
                    long long vid = 0, pid = 0;
                    if (colon == std::string_view::npos || !parse_int("0x" + std::string(p.substr(0, colon)), vid) ||
                        !parse_int("0x" + std::string(p.substr(colon + 1)), pid) || vid > 0xFFFF || pid > 0xFFFF)
                        return fail(error, "ids are hex VID:PID: ", p);
                    w.others[i].vid = static_cast<std::uint16_t>(vid);
                    w.others[i].pid = static_cast<std::uint16_t>(pid);
                }
            }
            continue;
        }
        if (key == "order") {
            if (!parse_order(value, w, order, error)) return false;
            continue;
        }
        const int target = adapter_prefix(key);
        if (target >= static_cast<int>(w.adapters.size())) return fail(error, "no such adapter: ", item);
        for (int i = 0; i < static_cast<int>(w.adapters.size()); ++i)
            if ((target < 0 || target == i) && !apply_adapter_item(w.adapters[static_cast<std::size_t>(i)], key, value, error))
                return false;
        AdapterConfig scratch;  // still reject unknown keys when there is no adapter
        if (w.adapters.empty() && !apply_adapter_item(scratch, key, value, error)) return false;
    }

    // Devices the order leaves out follow it: adapters first, then the others.
    for (int i = 0; i < adapters; ++i) parse_order("a" + std::to_string(i), w, order, error);
    for (int i = 0; i < others; ++i) parse_order("o" + std::to_string(i), w, order, error);
    w.order = std::move(order);
    out = std::move(w);
    return true;
}

}  // namespace vad
