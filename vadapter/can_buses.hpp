// The named CAN buses adapters can share. A named bus is shared by every process of the user
// (shared_bus.cpp) unless asked to stay in this process; either kind is made when the first
// adapter asks for its name and lasts while any adapter holds it.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bus.hpp"

namespace vad {

// The bus called `name` (an empty name gives a new bus of its own); nullptr with `error` set
// when a shared bus cannot be opened.
std::shared_ptr<CanBus> can_bus(const std::string& name, bool in_process, std::string& error);
// Every named bus with adapters on it, by name, with how many: this process's in-process buses
// and the user's shared buses, whichever processes their adapters are in.
std::vector<std::pair<std::string, std::size_t>> can_bus_list();

}  // namespace vad
