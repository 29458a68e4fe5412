// The floor of the workers' costs: a bare C++ loop doing the same waits and transfers as the
// module's reader and heartbeat on the direct path, with nothing handed to the interpreter, in a
// process of its own on a virtual adapter of its own. What the module's workers cost above these
// figures is the hand-over of the frames; what these cost is the waking and the transfers.
//
//   fdhost-async-floor idle SECONDS [N]           reads queued on an idle bus
//   fdhost-async-floor saturated SECONDS [N]      the same on a saturated classic 1 Mbit/s bus (0-byte frames)
//   fdhost-async-floor saturated-fd8 SECONDS [N]  ... on a saturated FD 1M/5M bus with 8-byte frames
//   fdhost-async-floor heartbeat SECONDS [N]      the 24-byte heartbeat written every 10 ms
//
// N adapters (default 1), each on a bus of its own with a thread of its own. Prints one line: the
// threads' CPU together in % of one core, their wake-ups per second, transfers per second.
#include <libusb.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "command_frame.hpp"
#include "vadapter.h"

namespace {

using Clock = std::chrono::steady_clock;
// The reader's settings (src/device/pyusb/queued_reads.cpp).
constexpr int QUEUED = 8;
constexpr auto BATCH_WINDOW = std::chrono::microseconds(500);
constexpr int RX_LENGTH = 51200;

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long context_switches() {
    std::ifstream f("/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/status");
    long total = 0;
    for (std::string line; std::getline(f, line);)
        if (line.find("ctxt_switches") != std::string::npos) total += std::atol(line.substr(line.find(':') + 1).c_str());
    return total;
}

struct Reads {
    std::mutex mu;
    std::vector<libusb_transfer*> done;
    int completed = 0;
};

void LIBUSB_CALL on_done(libusb_transfer* t) {
    auto* r = static_cast<Reads*>(t->user_data);
    std::lock_guard lk(r->mu);
    r->done.push_back(t);
    r->completed = 1;
}

// The reader's loop: QUEUED reads in flight, completions awaited in event handling, a batching
// window while containers come close together, each freed transfer queued again at once.
long read_loop(libusb_context* ctx, libusb_device_handle* h, double seconds) {
    // Left to the process's end: the transfers stay queued, and another loop's event handling may
    // still complete them.
    Reads& r = *new Reads;
    auto& buffers = *new std::vector<std::vector<unsigned char>>(QUEUED, std::vector<unsigned char>(RX_LENGTH));
    for (int i = 0; i < QUEUED; ++i) {
        libusb_transfer* t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(t, h, 0x81, buffers[i].data(), RX_LENGTH, on_done, &r, 0);
        libusb_submit_transfer(t);
    }
    std::mutex sleep_mu;
    std::condition_variable never;
    long transfers = 0;
    bool gather = false;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<libusb_transfer*> batch;
    while (Clock::now() < end) {
        if (gather) {
            std::unique_lock lk(sleep_mu);
            never.wait_for(lk, BATCH_WINDOW);
        }
        const auto start = Clock::now();
        for (;;) {
            {
                std::lock_guard lk(r.mu);
                if (!r.done.empty()) break;
                r.completed = 0;
            }
            timeval tv{1, 0};
            libusb_handle_events_timeout_completed(ctx, &tv, &r.completed);
            if (Clock::now() >= end) break;
        }
        const bool quick = Clock::now() - start < BATCH_WINDOW / 4;
        {
            std::lock_guard lk(r.mu);
            batch.swap(r.done);
        }
        for (libusb_transfer* t : batch) libusb_submit_transfer(t);
        transfers += static_cast<long>(batch.size());
        gather = gather ? batch.size() > 1 : quick;
        batch.clear();
    }
    return transfers;
}

long heartbeat_loop(libusb_device_handle* h, double seconds) {
    auto frame = fdh::heartbeat_frame();
    std::mutex mu;
    std::condition_variable never;
    long beats = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        int moved = 0;
        libusb_bulk_transfer(h, 0x01, frame.data(), static_cast<int>(frame.size()), &moved, 100);
        ++beats;
        std::unique_lock lk(mu);
        never.wait_for(lk, std::chrono::milliseconds(10));
    }
    return beats;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s idle|saturated|saturated-fd8|heartbeat SECONDS [ADAPTERS]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const double seconds = std::atof(argv[2]);
    const int adapters = argc == 4 ? std::atoi(argv[3]) : 1;
    if (vad_configure(("capture=1;adapters=" + std::to_string(adapters)).c_str()) != 0) return 1;
    libusb_context* ctx = nullptr;
    libusb_init(&ctx);
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    std::vector<libusb_device_handle*> handles;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(list[i], &d);
        libusb_device_handle* h = nullptr;
        if (d.idVendor != 0x34B7 || libusb_open(list[i], &h) != 0) continue;
        for (int intf = 0; intf < 3; ++intf) libusb_claim_interface(h, intf);
        handles.push_back(h);
    }
    if (static_cast<int>(handles.size()) != adapters) return 1;
    const char* gen = mode == "saturated" ? "saturate,dlc=0,fd=0" : mode == "saturated-fd8" ? "saturate,dlc=8,fd=1" : nullptr;
    for (int a = 0; gen && a < adapters; ++a) vad_generator(a, gen);

    std::mutex mu;
    double cpu = 0;
    long switches = 0, count = 0;
    std::vector<std::thread> workers;
    for (libusb_device_handle* h : handles)
        workers.emplace_back([&, h] {
            const double c0 = thread_cpu_seconds();
            const long s0 = context_switches();
            const long done = mode == "heartbeat" ? heartbeat_loop(h, seconds) : read_loop(ctx, h, seconds);
            const double c = thread_cpu_seconds() - c0;
            const long s = context_switches() - s0;
            std::lock_guard lk(mu);
            cpu += c;
            switches += s;
            count += done;
        });
    for (auto& w : workers) w.join();
    std::printf("%.2f %% of one core, %.1f wake-ups/s, %.0f transfers/s\n", 100 * cpu / seconds,
                static_cast<double>(switches) / seconds, static_cast<double>(count) / seconds);
    std::fflush(stdout);
    _exit(0);  // transfers still queued: the process ends without tearing the adapters down
}
