// Members of the module's CMD_TYPE and ACK_TYPE enumerations, looked up at the moment of use (a
// program may rebind either) by the names the protocol core gives the codes.
#pragma once
#include "device/names.hpp"
#include "protocol/constants.hpp"
#include "python/interpreter.hpp"

namespace fdh::commands {

inline nb::object member(const char* enumeration, std::string_view name) {
    return py::global(enumeration).attr(nb::str(name.data(), name.size()));
}
inline nb::object cmd_member(CmdType code) { return member(mod::CMD_TYPE, CMD_TYPE_NAMES[static_cast<std::size_t>(code)]); }
inline nb::object ack_member(AckType code) { return member(mod::ACK_TYPE, ACK_TYPE_NAMES[static_cast<std::size_t>(code)]); }

}  // namespace fdh::commands
