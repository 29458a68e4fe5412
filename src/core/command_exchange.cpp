#include "core/command_exchange.hpp"

#include <algorithm>
#include <cstdio>

#include "protocol/ack_frame.hpp"
#include "protocol/command_frame.hpp"

namespace fdh::core {

namespace {
constexpr unsigned WRITE_TIMEOUT_MS = 1000;

std::string hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

std::string ack_name(std::uint8_t code) {
    return code < ACK_TYPE_NAMES.size() ? std::string(ACK_TYPE_NAMES[code]) : hex2(code);
}
}  // namespace

std::string command_name(std::uint8_t code) {
    return code < CMD_TYPE_NAMES.size() ? std::string(CMD_TYPE_NAMES[code]) : "command " + hex2(code);
}

CommandReply exchange_command(const libusb::Api& api, void* handle, std::uint8_t code,
                              std::span<const std::uint8_t> payload, unsigned ack_timeout_ms) {
    CommandReply reply;
    const std::string name = command_name(code);
    if (payload.size() > MAX_COMMAND_PAYLOAD) {
        reply.error = name + ": a payload of " + std::to_string(payload.size()) + " bytes does not fit a command frame";
        return reply;
    }
    std::vector<std::uint8_t> frame = command_frame(code, payload);
    if (const int r = api.clear_halt(handle, CONTROL_OUT_EP); r < 0) {
        reply.error = name + ": clearing the halt of endpoint 0x02 failed: " + libusb::error_name(r);
        return reply;
    }
    int moved = 0;
    int r = api.bulk_transfer(handle, CONTROL_OUT_EP, frame.data(), static_cast<int>(frame.size()), &moved, std::min(WRITE_TIMEOUT_MS, ack_timeout_ms));
    // A time-out that crossed the completion has written the whole frame all the same.
    if ((r < 0 && r != libusb::ERROR_TIMEOUT) || moved != static_cast<int>(frame.size())) {
        reply.error = name + ": writing the command failed: " +
                      (r < 0 ? libusb::error_name(r)
                             : "the adapter took " + std::to_string(moved) + " of " + std::to_string(frame.size()) + " bytes");
        return reply;
    }
    if (r = api.clear_halt(handle, CONTROL_IN_EP); r < 0) {
        reply.error = name + ": clearing the halt of endpoint 0x82 failed: " + libusb::error_name(r);
        return reply;
    }
    std::vector<std::uint8_t> ack(RX_ACK_SIZE);
    r = api.bulk_transfer(handle, CONTROL_IN_EP, ack.data(), static_cast<int>(ack.size()), &moved, ack_timeout_ms);
    if (r < 0 && !(r == libusb::ERROR_TIMEOUT && moved > 0)) {
        reply.error = name + ": no acknowledgement: " + libusb::error_name(r);
        return reply;
    }
    ack.resize(static_cast<std::size_t>(moved));
    const AckResult a = check_ack(ack, code);
    switch (a.check) {
        case AckCheck::Empty: reply.error = name + ": an empty acknowledgement"; return reply;
        case AckCheck::FrameError:
            reply.error = name + ": a malformed acknowledgement (start " + hex2(a.frame_start) + ", end " +
                          hex2(a.frame_end) + ")";
            return reply;
        case AckCheck::CrcError: reply.error = name + ": an acknowledgement with a wrong CRC"; return reply;
        case AckCheck::CmdError:
            reply.error = name + ": the acknowledgement is for another command (" + hex2(a.cmd_code) + ")";
            return reply;
        case AckCheck::Rejected:
            reply.ack = a.ack_code;
            reply.error = name + " rejected by the adapter: " + ack_name(a.ack_code);
            return reply;
        case AckCheck::Accepted: break;
    }
    reply.accepted = true;
    reply.ack = a.ack_code;
    reply.data.assign(a.data.begin(), a.data.end());
    return reply;
}

}  // namespace fdh::core
