#include "parse_util.hpp"

#include <cctype>
#include <charconv>
#include <cstdlib>

namespace vad {

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            out.push_back(s.substr(start));
            break;
        }
        out.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
    return out;
}

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::pair<std::string_view, std::string_view> split_key_value(std::string_view item) noexcept {
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) return {trim(item), {}};
    return {trim(item.substr(0, eq)), trim(item.substr(eq + 1))};
}

bool parse_int(std::string_view s, long long& out) noexcept {
    s = trim(s);
    bool negative = false;
    if (!s.empty() && s.front() == '-') {
        negative = true;
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    unsigned long long v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc{} || end != s.data() + s.size() || v > 0x7FFFFFFFFFFFFFFFULL) return false;
    out = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
    return true;
}

bool parse_double(std::string_view s, double& out) noexcept {
    const std::string text(trim(s));
    if (text.empty()) return false;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

bool parse_bool(std::string_view s, bool& out) noexcept {
    s = trim(s);
    if (s == "1" || s == "on" || s == "yes" || s == "true" || s.empty()) {
        out = true;
        return true;
    }
    if (s == "0" || s == "off" || s == "no" || s == "false") {
        out = false;
        return true;
    }
    return false;
}

bool parse_hex_bytes(std::string_view s, std::vector<std::uint8_t>& out) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : s) {
        if (c == ' ' || c == ':' || c == '-') continue;
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else return false;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) return false;
    out = std::move(bytes);
    return true;
}

bool parse_location(std::string_view s, std::uint8_t& bus, std::uint8_t& address) noexcept {
    const std::size_t colon = s.find(':');
    if (colon == std::string_view::npos) return false;
    long long b = 0, a = 0;
    if (!parse_int(s.substr(0, colon), b) || !parse_int(s.substr(colon + 1), a)) return false;
    if (b < 0 || b > 255 || a < 0 || a > 255) return false;
    bus = static_cast<std::uint8_t>(b);
    address = static_cast<std::uint8_t>(a);
    return true;
}

bool fail(std::string& error, std::string_view prefix, std::string_view what) {
    error.assign(prefix);
    error.append(what);
    return false;
}

}  // namespace vad
