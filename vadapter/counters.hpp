// Names of the per-adapter counters, mapped onto the public vad_counters structure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "vadapter.h"

namespace vad {

using Counters = struct ::vad_counters;

struct CounterName {
    std::string_view name;
    std::int64_t Counters::*field;
};

#define VAD_COUNTER(n) CounterName{#n, &Counters::n}
inline constexpr CounterName COUNTER_NAMES[] = {
    VAD_COUNTER(transfers),     VAD_COUNTER(commands),       VAD_COUNTER(commands_bad),
    VAD_COUNTER(acks_sent),     VAD_COUNTER(heartbeats),     VAD_COUNTER(heartbeats_bad),
    VAD_COUNTER(tx_records),    VAD_COUNTER(tx_bad),         VAD_COUNTER(tx_truncated),
    VAD_COUNTER(tx_queue_full), VAD_COUNTER(bus_frames),     VAD_COUNTER(gen_frames),
    VAD_COUNTER(rx_frames),     VAD_COUNTER(rx_containers),  VAD_COUNTER(rx_raw),
    VAD_COUNTER(rx_dropped),    VAD_COUNTER(rx_overflow),    VAD_COUNTER(rx_discarded),
    VAD_COUNTER(read_timeouts), VAD_COUNTER(faults_fired),   VAD_COUNTER(capturing),
    VAD_COUNTER(loopback),      VAD_COUNTER(nominal_bitrate), VAD_COUNTER(data_bitrate),
    VAD_COUNTER(fd_mode),       VAD_COUNTER(setup_count),    VAD_COUNTER(unplugged),
    VAD_COUNTER(gen_seq),       VAD_COUNTER(tx_queued),      VAD_COUNTER(tx_sent),
    VAD_COUNTER(tx_arbitration_lost), VAD_COUNTER(tx_ack_errors), VAD_COUNTER(rx_errors),
    VAD_COUNTER(tx_error_counter), VAD_COUNTER(rx_error_counter), VAD_COUNTER(error_state),
};
#undef VAD_COUNTER

inline constexpr std::size_t COUNTER_COUNT = sizeof(COUNTER_NAMES) / sizeof(COUNTER_NAMES[0]);
static_assert(COUNTER_COUNT * sizeof(std::int64_t) == sizeof(Counters), "every counter has a name");

}  // namespace vad
