#include "can_buses.hpp"

#include <map>
#include <mutex>

namespace vad {
namespace {

struct Named {
    std::mutex mu;
    std::map<std::string, std::weak_ptr<CanBus>> buses;
};

Named& named() {
    static Named* n = new Named;  // adapters may outlive static destruction
    return *n;
}

}  // namespace

std::shared_ptr<CanBus> can_bus(const std::string& name) {
    if (name.empty()) return make_local_bus("");
    Named& n = named();
    std::lock_guard lk(n.mu);
    std::erase_if(n.buses, [](const auto& kv) { return kv.second.expired(); });
    auto& slot = n.buses[name];
    auto bus = slot.lock();
    if (!bus) slot = bus = make_local_bus(name);
    return bus;
}

std::vector<std::pair<std::string, std::size_t>> can_bus_list() {
    std::vector<std::shared_ptr<CanBus>> live;
    {
        Named& n = named();
        std::lock_guard lk(n.mu);
        for (const auto& kv : n.buses)
            if (auto b = kv.second.lock()) live.push_back(std::move(b));
    }
    std::vector<std::pair<std::string, std::size_t>> out;
    for (const auto& b : live) {
        std::lock_guard lk(b->mutex());
        if (const std::size_t n = b->nodes()) out.emplace_back(b->name(), n);
    }
    return out;
}

}  // namespace vad
