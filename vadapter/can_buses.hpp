// The named CAN buses adapters can share: one is made when the first adapter asks for its name
// and lasts while any adapter holds it.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bus.hpp"

namespace vad {

// The bus called `name`; an empty name gives a new bus of its own.
std::shared_ptr<CanBus> can_bus(const std::string& name);
// Every named bus with adapters on it, by name, with how many.
std::vector<std::pair<std::string, std::size_t>> can_bus_list();

}  // namespace vad
