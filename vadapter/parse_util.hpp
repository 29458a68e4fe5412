// Small helpers for the configuration grammar: splitting, trimming and number parsing.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vad {

std::vector<std::string_view> split(std::string_view s, char sep);
std::string_view trim(std::string_view s) noexcept;
// "key=value" -> (key, value); without '=' the value is empty.
std::pair<std::string_view, std::string_view> split_key_value(std::string_view item) noexcept;

// Decimal, or hexadecimal with a 0x prefix; an optional leading '-'.
bool parse_int(std::string_view s, long long& out) noexcept;
bool parse_double(std::string_view s, double& out) noexcept;
bool parse_bool(std::string_view s, bool& out) noexcept;  // 0/1, on/off, yes/no, true/false
// Hex digits, optionally separated by spaces, ':' or '-' ("01020304", "01 02 03 04").
bool parse_hex_bytes(std::string_view s, std::vector<std::uint8_t>& out);
// "B:A" (bus:address), both decimal.
bool parse_location(std::string_view s, std::uint8_t& bus, std::uint8_t& address) noexcept;

// Sets error to prefix + what and returns false, so parsers can `return fail(...)`.
bool fail(std::string& error, std::string_view prefix, std::string_view what);

}  // namespace vad
