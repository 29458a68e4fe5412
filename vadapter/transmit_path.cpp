// Endpoint 0x03: transmit records become frames queued for the bus.
#include <algorithm>
#include <libusb.h>

#include "adapter_model.hpp"
#include "records.hpp"

namespace vad {

int Adapter::transmit(std::span<const std::uint8_t> record, Ps now, Ps deadline, Ps& wake) {
    const auto tx = record.size() == fdh::CAN_TX_SIZE ? fdh::decode_tx(record) : std::nullopt;
    if (!tx || tx->dlc > fdh::CAN_DATA_MAX) {
        // Accepted by USB, but no frame can be made of it.
        logs_[VAD_LOG_TX].add(record);
        ++c_.tx_bad;
        return 0;
    }

    // A full queue holds the write back until the bus has made room or the time-out passes.
    // A waiter woken late still counts only the room made before its deadline.
    const Ps t = std::min(now, deadline);
    advance(t);
    if (bus_->queued(port_) >= std::min(cfg_.txbuf, bus_->max_queued())) {
        wake = bus_->next_completion();
        return NOTHING;
    }

    BusFrame f;
    f.origin = Origin::Host;
    f.ready = t;
    f.fd = tx->can_type;
    f.brs = tx->can_type && tx->fd_acc;
    f.ext = tx->id_type;
    f.remote = !f.fd && !tx->fram_type;  // CAN FD has no remote frames
    f.id = tx->can_id & (f.ext ? 0x1FFFFFFFu : 0x7FFu);
    unsigned n = tx->dlc;
    if (!f.fd && n > 8) {
        n = 8;  // a classic controller sends at most 8 bytes
        ++c_.tx_truncated;
    }
    f.len = f.fd ? round_up_fd_length(n) : static_cast<std::uint8_t>(n);
    if (!f.remote) std::copy_n(tx->data.begin(), n, f.data.begin());  // padding stays zero

    logs_[VAD_LOG_TX].add(record);
    ++c_.tx_records;
    bus_->submit(port_, f);  // wakes every node's readers
    return 0;
}

}  // namespace vad
