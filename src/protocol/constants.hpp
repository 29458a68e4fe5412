// Protocol vocabulary shared by the host module, the virtual adapter and the tests.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fdh {

// The adapter's USB identity, and how many adapters the module keeps track of.
inline constexpr int KQ_USBD_VID = 0x34B7, KQ_USBD_PID = 0x6877, KQ_DEV_MAX = 8;
// Bulk endpoints in pairs: heartbeat out and receive containers in, CAN frames, commands.
inline constexpr int WINUSB_IN_EP = 0x81, WINUSB_OUT_EP = 0x01;
inline constexpr int CAN_IN_EP = 0x83, CAN_OUT_EP = 0x03;
inline constexpr int CONTROL_IN_EP = 0x82, CONTROL_OUT_EP = 0x02;
// Transfer sizes: one bulk receive, one acknowledgement read, the command transmit buffer.
inline constexpr int RX_LENGTH = 51200, RX_ACK_SIZE = 2048, TX_SIZE = 6144;

inline constexpr std::uint8_t FRAME_START = 0xA5;
inline constexpr std::uint8_t FRAME_END = 0x5A;

// Command codes the host puts into a command frame.
enum class CmdType : std::uint8_t {
    CMD_START_CAP = 0, CMD_STOP_CAP = 1, CMD_IAP_PACK = 2, CMD_IAP_END = 3,
    CMD_TEST_START = 4, CMD_SETUP_BUARD = 5, CMD_ACK_HELLO = 6, CMD_DEBUG_ENABLE = 7,
    CMD_DEBUG_DISABLE = 8, CMD_GetUUID = 9, CMD_WRITE_SN = 10, CMD_READ_SN = 11,
    CMD_JUMP_OUT_LOADER = 12, CMD_GET_BAUD = 13, CMD_RECOVERY_FACTORY = 14, CMD_STOP_SEND = 15,
};

// Acknowledge codes from the adapter, also used as results of the command channel.
enum class AckType : std::uint8_t {
    ACK_PACK = 0, NACK_FM_ERR = 1, NACK_CRC_ERR = 2, NACK_ARG_ERR = 3,
    NACK_CALL_ERR = 4, USB_ACK_FAILED = 5, FLASH_ERR = 6, CAN_FD_SET_FAILED = 7,
    CAN_SET_FAILED = 8, UNLOCK_FAILED = 9, UNLOCK_SUCCESS = 10, LOCK_SUCCESS = 11,
    LOCK_FAILED = 12, USB_CLEAR_FAILED = 13, USB_SEND_FAILED = 14, USB_RX_FAILED = 15,
};

inline constexpr std::array<std::string_view, 16> CMD_TYPE_NAMES = {
    "CMD_START_CAP", "CMD_STOP_CAP", "CMD_IAP_PACK", "CMD_IAP_END",
    "CMD_TEST_START", "CMD_SETUP_BUARD", "CMD_ACK_HELLO", "CMD_DEBUG_ENABLE",
    "CMD_DEBUG_DISABLE", "CMD_GetUUID", "CMD_WRITE_SN", "CMD_READ_SN",
    "CMD_JUMP_OUT_LOADER", "CMD_GET_BAUD", "CMD_RECOVERY_FACTORY", "CMD_STOP_SEND",
};

inline constexpr std::array<std::string_view, 16> ACK_TYPE_NAMES = {
    "ACK_PACK", "NACK_FM_ERR", "NACK_CRC_ERR", "NACK_ARG_ERR",
    "NACK_CALL_ERR", "USB_ACK_FAILED", "FLASH_ERR", "CAN_FD_SET_FAILED",
    "CAN_SET_FAILED", "UNLOCK_FAILED", "UNLOCK_SUCCESS", "LOCK_SUCCESS",
    "LOCK_FAILED", "USB_CLEAR_FAILED", "USB_SEND_FAILED", "USB_RX_FAILED",
};

// Names printed in acknowledge messages: only codes 0 to 6 have one.
inline constexpr std::size_t CMD_TYPE_STR_COUNT = 7;

}  // namespace fdh
