// The vad_* control API: configure, steer and observe the model from tests and tools.
#include "vadapter.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "bus_frame.hpp"
#include "can_buses.hpp"
#include "counters.hpp"
#include "parse_util.hpp"
#include "registry.hpp"

using vad::Registry;

namespace {

std::shared_ptr<vad::Adapter> adapter_or_error(int index) {
    auto a = Registry::get().adapter(index);
    if (!a) Registry::get().set_error("no adapter " + std::to_string(index));
    return a;
}

int result(bool ok, const std::string& error) {
    if (!ok) Registry::get().set_error(error);
    return ok ? 0 : -1;
}

long copy_text(const std::string& text, char* buf, std::size_t cap) {
    if (buf && cap) {
        const std::size_t n = std::min(cap - 1, text.size());
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<long>(text.size());
}

}  // namespace

extern "C" {

int vad_configure(const char* config) { return Registry::get().configure(config ? config : ""); }

const char* vad_last_error(void) {
    // Stable until the next call from this thread.
    thread_local std::string copy;
    copy = Registry::get().last_error();
    return copy.c_str();
}

int vad_adapter_count(void) { return Registry::get().adapter_count(); }

int vad_fault(int adapter, const char* fault) {
    const auto a = adapter_or_error(adapter);
    if (!a) return -1;
    vad::Fault f;
    std::string error;
    if (!vad::parse_fault(fault ? fault : "", f, error)) return result(false, error);
    a->add_fault(f);
    return 0;
}

int vad_clear_faults(int adapter) {
    const auto a = adapter_or_error(adapter);
    if (!a) return -1;
    a->clear_faults();
    return 0;
}

int vad_set(int adapter, const char* item) {
    const auto a = adapter_or_error(adapter);
    if (!a) return -1;
    const auto [key, value] = vad::split_key_value(item ? item : "");
    std::string error;
    return result(a->apply(key, value, error), error);
}

int vad_set_loopback(int adapter, int on) { return vad_set(adapter, on ? "loopback=1" : "loopback=0"); }

int vad_generator(int adapter, const char* settings) {
    return vad_set(adapter, (std::string("gen=") + (settings ? settings : "off")).c_str());
}

int vad_set_hello(int adapter, const uint8_t* reply, size_t len) {
    const auto a = adapter_or_error(adapter);
    if (!a || (len && !reply)) return -1;
    a->set_hello({reply, len});
    return 0;
}

int vad_queue_raw(int adapter, int endpoint, const uint8_t* bytes, size_t len) {
    const auto a = adapter_or_error(adapter);
    if (!a || (len && !bytes)) return -1;
    return result(a->queue_raw(endpoint, {bytes, len}), "raw data goes to 0x81, 0x82 or 0x83");
}

int vad_bus_frame(int adapter, uint32_t id, int flags, const uint8_t* data, size_t len) {
    const auto a = adapter_or_error(adapter);
    if (!a || (len && !data)) return -1;
    vad::BusFrame f;
    f.fd = flags & VAD_FRAME_FD;
    f.ext = flags & VAD_FRAME_EXT;
    f.remote = !f.fd && (flags & VAD_FRAME_REMOTE);
    f.brs = f.fd && !(flags & VAD_FRAME_NO_BRS);
    f.esi = f.fd && (flags & VAD_FRAME_ESI);
    if (len > (f.fd ? 64u : 8u)) return result(false, "too many data bytes for the frame type");
    f.id = id & (f.ext ? 0x1FFFFFFFu : 0x7FFu);
    f.len = f.fd ? vad::round_up_fd_length(static_cast<unsigned>(len)) : static_cast<uint8_t>(len);
    if (len && !f.remote) std::memcpy(f.data.data(), data, len);
    return result(a->bus_frame(f), "the adapter's queue for the bus is full");
}

int vad_unplug(int adapter, long long after_transfers, long long after_ms) {
    const auto a = adapter_or_error(adapter);
    if (!a) return -1;
    a->unplug(after_transfers, after_ms);
    return 0;
}

int vad_replug(int adapter) { return Registry::get().replug(adapter) == 0 ? 0 : -1; }

int vad_plug(const char* can_bus, const char* config) {
    return Registry::get().plug(can_bus ? can_bus : "", config ? config : "");
}

long vad_serial(int adapter, char* buf, size_t cap) {
    const auto a = adapter_or_error(adapter);
    return a ? copy_text(a->serial(), buf, cap) : -1;
}

long vad_can_bus(int adapter, char* buf, size_t cap) {
    return adapter_or_error(adapter) ? copy_text(Registry::get().can_bus_of(adapter), buf, cap) : -1;
}

long vad_can_buses(char* buf, size_t cap) {
    std::string text;
    for (const auto& [name, count] : vad::can_bus_list()) text += name + " " + std::to_string(count) + "\n";
    return copy_text(text, buf, cap);
}

const char* vad_counter_name(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= vad::COUNTER_COUNT) return nullptr;
    return vad::COUNTER_NAMES[index].name.data();
}

long long vad_counter(int adapter, const char* name) {
    struct vad_counters c{};
    if (!name || vad_counters(adapter, &c) != 0) return -1;
    for (const auto& n : vad::COUNTER_NAMES)
        if (n.name == name) return c.*n.field;
    Registry::get().set_error(std::string("no counter ") + name);
    return -1;
}

int vad_counters(int adapter, struct vad_counters* out) {
    const auto a = adapter_or_error(adapter);
    if (!a || !out) return -1;
    a->counters(*out);
    return 0;
}

long long vad_log_count(int adapter, int log) {
    const auto a = adapter_or_error(adapter);
    return a ? a->log_count(log) : -1;
}

long long vad_log_total(int adapter, int log) {
    const auto a = adapter_or_error(adapter);
    return a ? a->log_total(log) : -1;
}

long vad_log_entry(int adapter, int log, long long index, uint8_t* buf, size_t cap) {
    const auto a = adapter_or_error(adapter);
    return a ? a->log_entry(log, index, buf, cap) : -1;
}

int vad_clear_logs(int adapter) {
    const auto a = adapter_or_error(adapter);
    if (!a) return -1;
    a->clear_logs();
    return 0;
}

long vad_last_command(int adapter, uint8_t* buf, size_t cap) {
    const auto a = adapter_or_error(adapter);
    return a ? a->log_last(VAD_LOG_COMMANDS, buf, cap) : -1;
}

long vad_last_tx(int adapter, uint8_t* buf, size_t cap) {
    const auto a = adapter_or_error(adapter);
    return a ? a->log_last(VAD_LOG_TX, buf, cap) : -1;
}

uint64_t vad_now_us(void) { return vad::monotonic_now_us(); }

}  // extern "C"
