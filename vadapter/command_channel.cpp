// Endpoints 0x01 (heartbeat) and 0x02/0x82 (commands and their acknowledgements).
#include <libusb.h>

#include "adapter_model.hpp"
#include "ack_frame.hpp"
#include "byte_order.hpp"
#include "command_frame.hpp"
#include "constants.hpp"
#include "crc.hpp"
#include "records.hpp"

namespace vad {
namespace {

constexpr std::uint8_t code_of(fdh::CmdType c) { return static_cast<std::uint8_t>(c); }
constexpr std::uint8_t code_of(fdh::AckType a) { return static_cast<std::uint8_t>(a); }

}  // namespace

void Adapter::heartbeat(std::span<const std::uint8_t> frame) {
    logs_[VAD_LOG_HEARTBEATS].add(frame);
    static const auto expected = fdh::heartbeat_frame();
    if (std::equal(frame.begin(), frame.end(), expected.begin(), expected.end()))
        ++c_.heartbeats;
    else
        ++c_.heartbeats_bad;
}

void Adapter::command(std::span<const std::uint8_t> f, Ps now) {
    logs_[VAD_LOG_COMMANDS].add(f);
    ++c_.commands;
    const std::uint8_t code = f.size() >= 2 ? f[1] : 0;
    std::uint8_t ack = code_of(fdh::AckType::ACK_PACK);
    std::vector<std::uint8_t> reply;

    const bool framed = f.size() >= 7 && f.front() == fdh::FRAME_START && f.back() == fdh::FRAME_END &&
                        f.size() == std::size_t{fdh::get_le16(f.data() + 2)} + 7;
    if (!framed) {
        ack = code_of(fdh::AckType::NACK_FM_ERR);
        ++c_.commands_bad;
    } else if (!fdh::parse_command_frame(f)) {
        ack = code_of(fdh::AckType::NACK_CRC_ERR);
        ++c_.commands_bad;
    } else {
        const FaultMatch m{-1, code, -1};
        if (faults_.fire(FaultKind::NoAck, m)) return;
        if (auto rejection = faults_.fire(FaultKind::Reject, m))
            ack = static_cast<std::uint8_t>(rejection->ack);
        else
            reply = execute(code, f.subspan(4, f.size() - 7), ack, now);
    }

    const FaultMatch m{-1, code, -1};
    std::vector<std::uint8_t> a = faults_.fire(FaultKind::AckCmd, m)
                                      ? fdh::ack_frame(static_cast<std::uint8_t>(code + 1), ack, reply)
                                      : fdh::ack_frame(code, ack, reply);
    if (faults_.fire(FaultKind::AckStart, m)) a.front() = 0xA4;
    if (faults_.fire(FaultKind::AckEnd, m)) a.back() = 0x5B;
    if (faults_.fire(FaultKind::AckCrc, m)) a[5 + reply.size()] ^= 0xFF;

    logs_[VAD_LOG_ACKS].add(a);
    ++c_.acks_sent;
    in_queue_[1].push_back(std::move(a));
    wake_waiters(in_cv_[1]);
}

std::vector<std::uint8_t> Adapter::execute(std::uint8_t code, std::span<const std::uint8_t> payload,
                                           std::uint8_t& ack, Ps now) {
    using fdh::CmdType;
    switch (static_cast<CmdType>(code)) {
        case CmdType::CMD_START_CAP:
            advance(now);  // frames that finished before the start are not captured
            capturing_ = true;
            wake_waiters(in_cv_[0]);
            return {};
        case CmdType::CMD_STOP_CAP:
            advance(now);
            capturing_ = false;
            c_.rx_discarded += static_cast<std::int64_t>(fifo_.size());
            fifo_.clear();
            return {};
        case CmdType::CMD_SETUP_BUARD:
            return setup(payload, ack, now);
        case CmdType::CMD_ACK_HELLO:
            return cfg_.hello;
        case CmdType::CMD_GET_BAUD:
            return has_setup_ ? std::vector<std::uint8_t>(setup_.begin(), setup_.end()) : std::vector<std::uint8_t>{};
        case CmdType::CMD_READ_SN:
            return std::vector<std::uint8_t>(serial_.begin(), serial_.end());
        case CmdType::CMD_GetUUID: {
            // Twelve bytes that stay the same for one serial number.
            std::vector<std::uint8_t> uuid(12);
            std::uint16_t crc = fdh::crc16_ibm(std::span(reinterpret_cast<const std::uint8_t*>(serial_.data()), serial_.size()));
            for (std::size_t i = 0; i < uuid.size(); ++i) {
                crc = fdh::crc16_byte(crc, static_cast<std::uint8_t>(i));
                uuid[i] = static_cast<std::uint8_t>(crc);
            }
            return uuid;
        }
        case CmdType::CMD_STOP_SEND:
            bus_->drop_queue(port_);
            ack_error_noted_ = false;
            wake_waiters(out_cv_);
            return {};
        default:
            if (code > code_of(CmdType::CMD_STOP_SEND)) ack = code_of(fdh::AckType::NACK_CALL_ERR);
            return {};
    }
}

std::vector<std::uint8_t> Adapter::setup(std::span<const std::uint8_t> payload, std::uint8_t& ack, Ps now) {
    const auto s = payload.size() == fdh::SETUP_BAUDRATE_SIZE ? fdh::decode_setup(payload) : std::nullopt;
    if (!s) {
        ack = code_of(fdh::AckType::NACK_ARG_ERR);
        return {};
    }
    const bool fd = s->can_frame_type == 1;
    if (s->can_prescaler == 0) {
        ack = code_of(fdh::AckType::CAN_SET_FAILED);
        return {};
    }
    if (fd && s->canfd_prescaler == 0) {
        ack = code_of(fdh::AckType::CAN_FD_SET_FAILED);
        return {};
    }
    advance(now);  // frames already on the wire finish at the old rates
    const Ps nominal = bit_time_from_timing(s->can_prescaler, s->can_seg1, s->can_seg2);
    const Ps data = s->canfd_prescaler ? bit_time_from_timing(s->canfd_prescaler, s->canfd_seg1, s->canfd_seg2) : nominal;
    times_ = {nominal, data};
    nominal_bps_ = fdh::phase_bitrate(s->can_prescaler, s->can_seg1, s->can_seg2);
    data_bps_ = s->canfd_prescaler ? fdh::phase_bitrate(s->canfd_prescaler, s->canfd_seg1, s->canfd_seg2) : nominal_bps_;
    fd_mode_ = fd;
    std::copy(payload.begin(), payload.end(), setup_.begin());
    has_setup_ = true;
    ++c_.setup_count;
    notify_all();
    bus_->changed();
    return {};
}

}  // namespace vad
