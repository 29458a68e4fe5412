#include "core/sysfs_serial.hpp"

#include <filesystem>
#include <fstream>

namespace fdh::core {
namespace {

std::optional<std::string> first_line(const std::filesystem::path& p) {
    std::ifstream f(p);
    std::string line;
    if (!f || !std::getline(f, line)) return std::nullopt;
    return line;
}

std::optional<int> number(const std::filesystem::path& p) {
    const auto text = first_line(p);
    if (!text || text->empty() || text->size() > 9) return std::nullopt;
    int value = 0;
    for (char c : *text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::optional<std::string> sysfs_serial(int bus, int address, const std::string& root) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
        const auto& dir = entry.path();
        if (dir.filename().string().find(':') != std::string::npos) continue;  // an interface
        if (number(dir / "busnum") != bus || number(dir / "devnum") != address) continue;
        return first_line(dir / "serial");
    }
    return std::nullopt;
}

}  // namespace fdh::core
