// One command and its acknowledgement on an open adapter: the command frame written to 0x02, the
// acknowledgement read from 0x82 and checked. Synchronous, on the caller's thread.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/libusb_abi.hpp"
#include "protocol/constants.hpp"

namespace fdh::core {

struct CommandReply {
    bool accepted = false;            // acknowledged with ACK_PACK
    std::uint8_t ack = 0;             // the adapter's ack code, when it answered
    std::vector<std::uint8_t> data;   // the reply data of an accepted command
    std::string error;                // why it was not accepted, in one line
};

// The name of a command code ("CMD_SETUP_BUARD"), or its number.
std::string command_name(std::uint8_t code);

// The adapter answers within 5 s; `ack_timeout_ms` waits less where a late answer is not worth it.
CommandReply exchange_command(const libusb::Api& api, void* handle, std::uint8_t code,
                              std::span<const std::uint8_t> payload, unsigned ack_timeout_ms = 5000);

}  // namespace fdh::core
