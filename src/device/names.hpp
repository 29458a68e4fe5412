// The names through which the subsystems meet: the fdhost object keeps all of its state in its
// instance namespace, and one subsystem reaches another's work through the object's methods, so
// that a program rebinding an attribute or overriding a method sees the same behaviour as with any
// Python class. Every such name is spelt here once; its uses can be found by the C++ name.
#pragma once

namespace fdh {

// Attributes of an fdhost object, created by its constructor (tx_frame by set_tx_frame).
namespace obj {
// The adapter: the device chosen, the opened pyusb device (None once released), the bus scan.
inline constexpr char usb_dev[] = "usb_dev", dev_handle[] = "dev_handle";
inline constexpr char device_list[] = "device_list", num_devices[] = "num_devices", kq_cnt[] = "kq_cnt";
// The workers: their threads, the event that stops them, the lock a container is unpacked under.
inline constexpr char rec_thread[] = "rec_thread", rec_thread2[] = "rec_thread2", rec_thread3[] = "rec_thread3";
inline constexpr char stop_thread[] = "stop_thread", mutex_[] = "mutex_", frame_callback_[] = "frame_callback_";
// The constructor's arguments, the receive buffers, the last packed transmit record.
inline constexpr char nom_baud_[] = "nom_baud_", dat_baud_[] = "dat_baud_", sn_[] = "sn_";
inline constexpr char winusb_read_buf[] = "winusb_read_buf", can_read_buf[] = "can_read_buf", tx_frame[] = "tx_frame";
}  // namespace obj

// Methods of the fdhost class, in the order the class defines them. Two public names carry old
// misspellings; the C++ names here are spelt correctly.
namespace method {
// Device: closing, clean-up, finding and opening the adapter.
inline constexpr char close[] = "close", usb_clear[] = "usb_clear", getDeviceHandle[] = "getDeviceHandle";
inline constexpr char usb_get_kq_device[] = "usb_get_kq_device", usb_open[] = "usb_open";
// Transmit path (and the DLC table it follows in the class).
inline constexpr char can_pack_dlc_get[] = "can_pack_dlc_get", fillFDCANFrame[] = "fillFDCANFrame";
inline constexpr char set_tx_frame[] = "set_tx_frame", send_data[] = "send_data", fdcanFrameSend[] = "fdcanFrameSend";
// Command channel.
inline constexpr char usb_control_send[] = "usb_control_send", usb_control_ack[] = "usb_control_ack";
inline constexpr char usb_control_transfer[] = "usb_contorl_transfer";
inline constexpr char USB_CMD_START_CAP[] = "USB_CMD_START_CAP", USB_CMD_STOP_CAP[] = "USB_CMD_STOP_CAP";
inline constexpr char USB_CMD_START_TEST[] = "USB_CMD_START_TEST", USB_CMD_SETUP_BAUD[] = "USB_CMD_SETUP_BUARD";
inline constexpr char USB_CMD_ACK_HELLO[] = "USB_CMD_ACK_HELLO", USB_CMD_TEST_ACK[] = "USB_CMD_TEST_ACK";
inline constexpr char USB_CMD_HEART[] = "USB_CMD_HEART";
// Receive path, and the three worker bodies.
inline constexpr char setFrameCallback[] = "setFrameCallback", print_can_value[] = "print_can_value";
inline constexpr char unpack_can_frame[] = "unpack_can_frame", unpack_usb_frame[] = "unpack_usb_frame";
inline constexpr char get_data_thread[] = "get_data_thread", send_thread[] = "send_thread";
inline constexpr char can_rev_thread[] = "can_rev_thread";
// Added for the python-can Bus (an object opened with receive_queue > 0 for the receiving ones).
inline constexpr char send_message[] = "send_message", recv_message[] = "recv_message";
inline constexpr char set_receive_filters[] = "set_receive_filters", receive_dropped[] = "receive_dropped";
inline constexpr char receive_fileno[] = "receive_fileno";
}  // namespace method

// Names in the module's namespace, looked up at the moment of use so a program can rebind them.
namespace mod {
// Constants: the adapter's identity, its endpoints, the transfer sizes.
inline constexpr char KQ_USBD_VID[] = "KQ_USBD_VID", KQ_USBD_PID[] = "KQ_USBD_PID", KQ_DEV_MAX[] = "KQ_DEV_MAX";
inline constexpr char WINUSB_IN_EP[] = "WINUSB_IN_EP", WINUSB_OUT_EP[] = "WINUSB_OUT_EP";
inline constexpr char CAN_IN_EP[] = "CAN_IN_EP", CAN_OUT_EP[] = "CAN_OUT_EP";
inline constexpr char CONTROL_IN_EP[] = "CONTROL_IN_EP", CONTROL_OUT_EP[] = "CONTROL_OUT_EP";
inline constexpr char RX_LENGTH[] = "RX_LENGTH", RX_ACK_SIZE[] = "RX_ACK_SIZE", TX_SIZE[] = "TX_SIZE";
// Tables, enumerations and record classes.
inline constexpr char can_seg_table[] = "can_seg_table", can_fd_seg_table[] = "can_fd_seg_table";
inline constexpr char CMD_TYPE_STR[] = "CMD_TYPE_STR", CMD_TYPE[] = "CMD_TYPE", ACK_TYPE[] = "ACK_TYPE";
inline constexpr char can_tx_type[] = "can_tx_type", setup_baudrate_t[] = "setup_baudrate_t";
// The slot lists of the adapters found, and the run flag the SIGINT handler clears.
inline constexpr char kq_device[] = "kq_device", kq_string[] = "kq_string", kq_sn[] = "kq_sn";
inline constexpr char running[] = "running";
// The modules the module imports, and a builtin the printed reports use.
inline constexpr char usb[] = "usb", sys[] = "sys", time[] = "time", threading[] = "threading", signal[] = "signal";
inline constexpr char format[] = "format";
}  // namespace mod

}  // namespace fdh
