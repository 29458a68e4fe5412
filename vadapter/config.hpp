// The model's configuration: which devices exist, where, and how each adapter behaves.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "faults.hpp"
#include "generator.hpp"

namespace vad {

struct AdapterConfig {
    std::string serial;
    std::uint8_t bus = 1;
    std::uint8_t address = 2;
    std::uint8_t port = 1;
    std::string can_bus;          // the named CAN bus it is on; empty: a bus of its own
    bool can_bus_local = false;   // that bus lives in this process only, out of other processes' reach
    bool loopback = false;        // own frames also come back as receptions (dir 0)
    bool echo = true;             // own frames come back as transmissions (dir 1)
    bool capture = false;         // capturing before any CMD_START_CAP
    bool worst_stuffing = false;
    double nominal_bps = 1e6;     // until CMD_SETUP_BUARD says otherwise
    double data_bps = 5e6;
    bool fd = true;
    std::vector<std::uint8_t> hello{1, 2, 3, 4};
    long long flush_us = 0;       // hold frames until the oldest has waited this long (batching)
    std::size_t rxbuf = 65536;    // frames the receive FIFO holds before it drops
    std::size_t txbuf = 512;      // frames waiting for the bus before writes to 0x03 block
    std::size_t log_entries = 1024;  // entries each of its logs keeps
    GenConfig gen;
    std::vector<Fault> faults;
};

struct OtherDeviceConfig {
    std::uint16_t vid = 0x1D6B;
    std::uint16_t pid = 0x0002;
    std::uint8_t bus = 2;
    std::uint8_t address = 1;
};

struct DeviceRef {
    bool adapter = true;
    int index = 0;
};

struct WorldConfig {
    std::vector<AdapterConfig> adapters;
    std::vector<OtherDeviceConfig> others;
    std::vector<DeviceRef> order;  // enumeration order, every device once
};

inline constexpr int MAX_ADAPTERS = 64;
inline constexpr int MAX_OTHERS = 64;

std::string default_serial(int index);
bool parse_config(std::string_view text, WorldConfig& out, std::string& error);
// One per-adapter item ("loopback", "gen", "fault", ...); also used for changes at run time.
bool apply_adapter_item(AdapterConfig& a, std::string_view key, std::string_view value, std::string& error);
// Per-adapter items separated by ';' or newlines, as for one adapter of a configuration.
bool apply_adapter_items(AdapterConfig& a, std::string_view text, std::string& error);

}  // namespace vad
