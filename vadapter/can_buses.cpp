#include "can_buses.hpp"

#include <algorithm>
#include <map>
#include <mutex>

#include "bus_segment.hpp"

namespace vad {
namespace {

struct Named {
    std::mutex mu;
    std::map<std::pair<bool, std::string>, std::weak_ptr<CanBus>> buses;  // (in process, name)
};

Named& named() {
    static Named* n = new Named;  // adapters may outlive static destruction
    return *n;
}

}  // namespace

std::shared_ptr<CanBus> can_bus(const std::string& name, bool in_process, std::string& error) {
    if (name.empty()) return make_local_bus("");
    Named& n = named();
    std::lock_guard lk(n.mu);
    std::erase_if(n.buses, [](const auto& kv) { return kv.second.expired(); });
    auto& slot = n.buses[{in_process, name}];
    auto bus = slot.lock();
    if (!bus) bus = in_process ? make_local_bus(name) : make_shared_bus(name, error);
    if (bus) slot = bus;
    return bus;
}

std::vector<std::pair<std::string, std::size_t>> can_bus_list() {
    std::vector<std::shared_ptr<CanBus>> live;
    {
        Named& n = named();
        std::lock_guard lk(n.mu);
        for (const auto& [key, bus] : n.buses)
            if (auto b = bus.lock(); b && key.first) live.push_back(std::move(b));
    }
    std::vector<std::pair<std::string, std::size_t>> out = segment::list_buses();
    for (const auto& b : live) {
        std::lock_guard lk(b->mutex());
        if (const std::size_t n = b->nodes()) out.emplace_back(b->name(), n);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace vad
