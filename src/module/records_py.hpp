// The record classes as the interpreter sees them: plain objects whose public fields hold any
// value a program assigns; the byte layouts come from the protocol core.
#pragma once
#include <nanobind/nanobind.h>

#include <span>

#include "records.hpp"

namespace nb = nanobind;

namespace fdh::py {

struct CanHeadObj {
    nb::object id, time_stamp, reserve, fram_type, can_type, id_type, dir, dlc;
    CanHeadObj();
    explicit CanHeadObj(const CanHead& decoded);
};

struct CanValueObj {
    nb::object head, data;
    CanValueObj();
    CanValueObj(nb::object head_, nb::object data_) : head(std::move(head_)), data(std::move(data_)) {}
};

struct CanTxObj {
    nb::object reserve0, can_type, fram_type, id_type, fd_acc, id_increase, data_increase, cmd, reserve1, dlc,
        send_time, reserve3, interval, can_id, data;
    CanTxObj();
};

struct SetupBaudrateObj {
    nb::object can_frame_type, can_seg1, can_seg2, can_sjw, can_prescaler, canfd_seg1, canfd_seg2, canfd_sjw,
        canfd_prescaler;
    SetupBaudrateObj();
};

struct CanAckObj {
    nb::object ack_dat, ack_reserve;
    CanAckObj();
};

void bind_can_records(nb::module_& m);      // can_head_type, can_value_type, can_tx_type
void bind_command_records(nb::module_& m);  // can_ack_type, setup_baudrate_t

// A new can_value_type holding a new can_head_type, as the receive path delivers them.
nb::object make_value_object(const CanHead& head, std::span<const std::uint8_t> data);
// The same for the decoder's delivery loop: a record the previous callback did not keep is
// refilled instead of made anew (see records_py.cpp); hand each one back once its callback returned.
nb::object take_value_object(const CanHead& head, std::span<const std::uint8_t> data);
void give_back_value_object(nb::object value);
// A new can_head_type decoded from 12 bytes.
nb::object make_head_object(const CanHead& head);

// The encoding of a can_tx_type object (any object with its fields), as its to_bytes gives it.
std::vector<std::uint8_t> encode_tx_object(nb::handle obj);
// The record itself when `o` is exactly a can_tx_type and that class is still as this module
// defined it (fields are then plain stores, to_bytes is encode_tx_object); nullptr otherwise.
CanTxObj* plain_tx_object(nb::handle o);
// True when `type` is can_tx_type, unchanged: calling it is the same as new_tx_object().
bool is_plain_tx_type(nb::handle type);
// A new can_tx_type with its initial values.
nb::object new_tx_object();
// The 9-byte encoding of a setup_baudrate_t.
std::vector<std::uint8_t> encode_setup_object(nb::handle obj);

}  // namespace fdh::py
