/* Control API of the virtual RU-ZEDUZ adapter.
 *
 * The same shared library also exports the libusb-1.0 API; these vad_* calls steer and observe
 * the model behind it. Adapters are addressed by their index in the configuration (0-based).
 * Calls returning int give 0 on success and -1 on a bad argument (see vad_last_error()). */
#ifndef FDHOST_VADAPTER_H
#define FDHOST_VADAPTER_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VAD_API __attribute__((visibility("default")))
#else
#define VAD_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the whole model (adapters, other devices, faults, logs) from a configuration string;
 * open handles of the old model fail with LIBUSB_ERROR_NO_DEVICE from then on. */
VAD_API int vad_configure(const char* config);
VAD_API const char* vad_last_error(void);
VAD_API int vad_adapter_count(void);

/* Adds one fault, written as the value of a "fault=" configuration item. */
VAD_API int vad_fault(int adapter, const char* fault);
VAD_API int vad_clear_faults(int adapter);

/* Applies one per-adapter configuration item at run time, e.g. "loopback=1" or "gen=saturate,dlc=8". */
VAD_API int vad_set(int adapter, const char* item);
VAD_API int vad_set_loopback(int adapter, int on);
VAD_API int vad_generator(int adapter, const char* settings); /* "off", "saturate,dlc=15,fd=1", "1000,dlc=0/8" */
VAD_API int vad_set_hello(int adapter, const uint8_t* reply, size_t len);

/* Bytes the next reads of an IN endpoint (0x81, 0x82, 0x83) return verbatim, one read each. */
VAD_API int vad_queue_raw(int adapter, int endpoint, const uint8_t* bytes, size_t len);

/* Puts a frame from another node on the bus; it is captured (dir 0) once the bus has carried it.
 * FD frames switch the bitrate unless VAD_FRAME_NO_BRS; VAD_FRAME_ESI sets their error state
 * indicator. Both show in the received record's reserve[2] (bits 7 and 6). */
enum { VAD_FRAME_FD = 1, VAD_FRAME_EXT = 2, VAD_FRAME_REMOTE = 4, VAD_FRAME_NO_BRS = 8, VAD_FRAME_ESI = 16 };
VAD_API int vad_bus_frame(int adapter, uint32_t id, int flags, const uint8_t* data, size_t len);

/* Unplugs after that many further bulk transfers or that many milliseconds, whichever comes first;
 * both negative: at once. vad_replug brings the adapter back as a new device with a fresh model. */
VAD_API int vad_unplug(int adapter, long long after_transfers, long long after_ms);
VAD_API int vad_replug(int adapter);

/* Plugs a fresh adapter onto the virtual CAN bus called `can_bus` (made when first named; NULL
 * or "": a bus of its own), configured by per-adapter items as in vad_configure, e.g.
 * "capture=1;serial=X". It sits on USB bus 1 at the first free port and the next free address,
 * and enumeration finds it from then on. Every adapter on one CAN bus receives the frames the
 * others send, in whichever process of this user they are ("canbus_local=1": a bus of this
 * process only). Returns its adapter index, or -1. vad_unplug(index, -1, -1) takes it away (off
 * the CAN bus too), vad_replug(index) plugs it in again; vad_configure removes it for good. */
VAD_API int vad_plug(const char* can_bus, const char* config);

/* Text answers give the text's length (without the NUL) and copy at most cap - 1 bytes and a
 * NUL; -1 for no such adapter. */
VAD_API long vad_serial(int adapter, char* buf, size_t cap);
VAD_API long vad_can_bus(int adapter, char* buf, size_t cap); /* "" for a bus of its own */
/* The named CAN buses with adapters on them: one "name count" line each, the user's shared buses
 * (counting the adapters of every process) and this process's own. */
VAD_API long vad_can_buses(char* buf, size_t cap);

/* Counters and state; names are listed by vad_counter_name(0..) until it returns NULL.
 * vad_counter gives -1 for an unknown adapter or name. */
VAD_API const char* vad_counter_name(int index);
VAD_API long long vad_counter(int adapter, const char* name);

struct vad_counters {
    int64_t transfers, commands, commands_bad, acks_sent, heartbeats, heartbeats_bad;
    int64_t tx_records, tx_bad, tx_truncated, tx_queue_full, bus_frames, gen_frames;
    int64_t rx_frames, rx_containers, rx_raw, rx_dropped, rx_overflow, rx_discarded;
    int64_t read_timeouts, faults_fired, capturing, loopback, nominal_bitrate, data_bitrate;
    int64_t fd_mode, setup_count, unplugged, gen_seq, tx_queued;
    /* How its frames fare on the bus: sent (acknowledged), arbitration rounds lost, frames nobody
     * acknowledged, frames it could not receive (another bit timing, FD in classic mode), its
     * error counters and state (0 error active, 1 warning at 96, 2 error passive at 128). */
    int64_t tx_sent, tx_arbitration_lost, tx_ack_errors, rx_errors, tx_error_counter, rx_error_counter, error_state;
};
VAD_API int vad_counters(int adapter, struct vad_counters* out);

/* Raw bytes written to an OUT endpoint or acknowledgements produced, oldest first. The logs keep
 * the latest entries only (vad_log_total counts all). Entry functions return the entry's length,
 * copying at most cap bytes, or -1 when there is no such entry. */
enum { VAD_LOG_COMMANDS = 0, VAD_LOG_HEARTBEATS = 1, VAD_LOG_TX = 2, VAD_LOG_ACKS = 3 };
VAD_API long long vad_log_count(int adapter, int log);
VAD_API long long vad_log_total(int adapter, int log);
VAD_API long vad_log_entry(int adapter, int log, long long index, uint8_t* buf, size_t cap);
VAD_API int vad_clear_logs(int adapter);
VAD_API long vad_last_command(int adapter, uint8_t* buf, size_t cap);
VAD_API long vad_last_tx(int adapter, uint8_t* buf, size_t cap);

/* CLOCK_MONOTONIC in microseconds: the clock of the time stamps in received records. */
VAD_API uint64_t vad_now_us(void);

#ifdef __cplusplus
}
#endif

#endif
