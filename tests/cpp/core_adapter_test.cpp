// The adapter core against a libusb-1.0: by default the virtual adapter's stand-in library, whose
// control API (vad_*) plugs adapters, drives traffic and unplugs them. Runnable on its own against
// another library: FDHOST_LIBUSB=/path/to/libusb-1.0.so.0 fdh_adapter_tests. Without the control API
// (a real libusb) the cases that need it are skipped; FDHOST_TEST_SERIAL names a real adapter for
// the case that opens one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/adapter.hpp"
#include "core/log.hpp"
#include "core/usb_device.hpp"
#include "core/usb_library.hpp"
#include "protocol/constants.hpp"

namespace {
using namespace std::chrono_literals;
using fdh::CanMessage;
using fdh::SetupBaudrate;
using fdh::core::Adapter;
using fdh::core::Library;
using fdh::core::OpenRequest;
using fdh::core::RxQueue;
using fdh::core::SendStatus;

constexpr SetupBaudrate FD_1M_5M{1, 29, 10, 2, 2, 13, 2, 2, 1};
constexpr SetupBaudrate CLASSIC_1M{0, 29, 10, 2, 2, 29, 10, 2, 2};

std::string library_path() {
    if (const char* env = std::getenv("FDHOST_LIBUSB"); env && *env) return env;
    return FDH_TEST_LIBUSB;
}

// The stand-in's control API, looked up in the loaded library.
struct Vad {
    int (*configure)(const char*);
    int (*plug)(const char*, const char*);
    int (*unplug)(int, long long, long long);
    int (*generator)(int, const char*);
    int (*set)(int, const char*);
    int (*fault)(int, const char*);
    long long (*counter)(int, const char*);
    long (*serial)(int, char*, std::size_t);

    std::string serial_of(int adapter) const {
        char buf[128];
        serial(adapter, buf, sizeof buf);
        return buf;
    }
};

template <typename Fn>
void bind(Library& lib, Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(lib.symbol(name));
}

class CoreAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        auto loaded = Library::load(library_path());
        ASSERT_TRUE(loaded.library) << loaded.error;
        lib_ = loaded.library;
        if (!lib_->is_virtual()) GTEST_SKIP() << library_path() << " has no control API (vad_*)";
        bind(*lib_, vad_.configure, "vad_configure");
        bind(*lib_, vad_.plug, "vad_plug");
        bind(*lib_, vad_.unplug, "vad_unplug");
        bind(*lib_, vad_.generator, "vad_generator");
        bind(*lib_, vad_.set, "vad_set");
        bind(*lib_, vad_.fault, "vad_fault");
        bind(*lib_, vad_.counter, "vad_counter");
        bind(*lib_, vad_.serial, "vad_serial");
        ASSERT_EQ(vad_.configure("adapters=0"), 0);
    }

    // A fresh adapter on the in-process bus `bus`; its index.
    int plug(const std::string& bus, const std::string& config = "capture=1") {
        const int index = vad_.plug(bus.c_str(), ("canbus_local=1;" + config).c_str());
        EXPECT_GE(index, 0);
        return index;
    }

    std::shared_ptr<Adapter> open(int index, const SetupBaudrate& timing = FD_1M_5M, bool own = false,
                                  std::size_t queue = 65536) {
        OpenRequest r{library_path(), vad_.serial_of(index), timing, queue, own, true};
        auto opened = Adapter::open(r);
        EXPECT_TRUE(opened.adapter) << opened.error;
        return opened.adapter;
    }

    std::shared_ptr<Library> lib_;
    Vad vad_{};
};

// The generator's sequence number, from data bytes 0..3.
std::uint32_t seq_of(const CanMessage& m) {
    return m.data[0] | m.data[1] << 8 | m.data[2] << 16 | static_cast<std::uint32_t>(m.data[3]) << 24;
}

std::vector<CanMessage> take(Adapter& a, std::size_t n, double wait_s = 2.0) {
    std::vector<CanMessage> got;
    CanMessage m;
    while (got.size() < n && a.recv(m, wait_s) == RxQueue::Pop::Frame) got.push_back(m);
    return got;
}

int event_threads() {
    int n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        n += name == "fdhost-events";
    }
    return n;
}

TEST_F(CoreAdapter, OpensBySerialAndSaysWhyNot) {
    const int i = plug("open");
    auto a = open(i);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->serial(), vad_.serial_of(i));
    EXPECT_TRUE(a->is_virtual());
    auto none = Adapter::open({library_path(), "NO-SUCH-SERIAL", FD_1M_5M});
    EXPECT_FALSE(none.adapter);
    EXPECT_NE(none.error.find("no fdhost adapter with serial NO-SUCH-SERIAL"), std::string::npos) << none.error;

    // Each step of opening that fails says which and why, and leaves the adapter free.
    const std::pair<const char*, const char*> faults[] = {
        {"claim,intf=1", "could not claim interface 1: LIBUSB_ERROR_BUSY"},
        {"reject,cmd=5,ack=8", "CMD_SETUP_BUARD rejected by the adapter: CAN_SET_FAILED"},
        {"noack,cmd=0", "CMD_START_CAP: no acknowledgement"},
        {"clear_halt,ep=0x81", "clearing the halt of endpoint 0x81 failed"},
    };
    for (const auto& [fault, words] : faults) {
        const int j = plug("open");
        ASSERT_EQ(vad_.fault(j, fault), 0);
        auto failed = Adapter::open({library_path(), vad_.serial_of(j), FD_1M_5M});
        EXPECT_FALSE(failed.adapter);
        EXPECT_NE(failed.error.find(words), std::string::npos) << failed.error;
        auto again = open(j);  // the fault fired once; nothing was left claimed
        EXPECT_TRUE(again);
    }
}

TEST_F(CoreAdapter, CommandsAreAcknowledgedAndTheHeartbeatBeats) {
    const int i = plug("cmd");
    auto a = open(i);
    ASSERT_TRUE(a);
    const auto hello = a->command(static_cast<std::uint8_t>(fdh::CmdType::CMD_ACK_HELLO));
    EXPECT_TRUE(hello.accepted) << hello.error;
    EXPECT_EQ(hello.data, (std::vector<std::uint8_t>{1, 2, 3, 4}));
    ASSERT_EQ(vad_.fault(i, "reject,cmd=13"), 0);
    const auto rejected = a->command(static_cast<std::uint8_t>(fdh::CmdType::CMD_GET_BAUD));
    EXPECT_FALSE(rejected.accepted);
    EXPECT_EQ(rejected.error, "CMD_GET_BAUD rejected by the adapter: NACK_ARG_ERR");
    EXPECT_EQ(vad_.counter(i, "setup_count"), 1);
    EXPECT_EQ(vad_.counter(i, "data_bitrate"), 5'000'000);

    const auto before = vad_.counter(i, "heartbeats");
    std::this_thread::sleep_for(200ms);
    const auto beats = vad_.counter(i, "heartbeats") - before;
    EXPECT_GE(beats, 12);  // one every 10 ms, give or take a busy machine
    EXPECT_LE(beats, 22);
    EXPECT_EQ(vad_.counter(i, "heartbeats_bad"), 0);
    EXPECT_GE(a->heartbeats(), static_cast<std::uint64_t>(beats));
    a->close();
    const auto closed_at = vad_.counter(i, "heartbeats");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(vad_.counter(i, "heartbeats"), closed_at);  // none after close
}

TEST_F(CoreAdapter, TransmitReachesTheOthersOnTheBusWithItsEchoAndFilters) {
    auto tx = open(plug("tx"), FD_1M_5M, /*own=*/true);
    auto rx = open(plug("tx"));
    ASSERT_TRUE(tx && rx);
    CanMessage m;
    m.id = 0x1ABCDE;
    m.extended = m.fd = m.brs = true;
    fdh::assign_data(m, std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9});
    ASSERT_EQ(tx->send(m, 1s).status, SendStatus::Sent);
    auto got = take(*rx, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, m.id);
    EXPECT_TRUE(got[0].fd && got[0].brs && got[0].extended && !got[0].echo);
    EXPECT_EQ(got[0].len, 12);  // padded to the next FD length
    auto echo = take(*tx, 1);
    ASSERT_EQ(echo.size(), 1u);
    EXPECT_TRUE(echo[0].echo);
    EXPECT_EQ(echo[0].timestamp_us, got[0].timestamp_us);  // one frame, one end on the bus

    rx->set_filter(fdh::FrameFilter({{0x100, 0x7F0, false, false}}));
    for (std::uint32_t id : {0x105u, 0x205u, 0x10Fu}) {
        CanMessage c;
        c.id = id;
        ASSERT_EQ(tx->send(c, 1s).status, SendStatus::Sent);
    }
    got = take(*rx, 3, 0.3);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 0x105u);
    EXPECT_EQ(got[1].id, 0x10Fu);

    CanMessage bad;
    bad.id = 0x800;  // a standard identifier has 11 bits
    const auto refused = tx->send(bad, 1s);
    EXPECT_EQ(refused.status, SendStatus::Invalid);
    EXPECT_NE(refused.error.find("0x800"), std::string::npos);
}

TEST_F(CoreAdapter, SaturatedBusArrivesInOrderWithoutLossAndTwoReceiversAgreeOnEveryTime) {
    auto a = open(plug("sat"));
    auto b = open(plug("sat", "capture=1;flush_us=500"));
    ASSERT_TRUE(a && b);
    constexpr std::size_t N = 20000;  // a second of the saturated bus
    const int gen = plug("sat");
    ASSERT_EQ(vad_.generator(gen, ("saturate,dlc=8,fd=1,count=" + std::to_string(N)).c_str()), 0);
    const auto got_a = take(*a, N), got_b = take(*b, N);
    ASSERT_EQ(got_a.size(), N);
    ASSERT_EQ(got_b.size(), N);
    for (std::size_t k = 0; k < N; ++k) {
        ASSERT_EQ(seq_of(got_a[k]), k);
        ASSERT_EQ(seq_of(got_b[k]), k);
        ASSERT_EQ(got_a[k].timestamp_us, got_b[k].timestamp_us) << k;
        if (k) {
            const auto gap = got_a[k].timestamp_us - got_a[k - 1].timestamp_us;  // 49.2 us: an 8-byte FD frame at 1M/5M
            ASSERT_TRUE(gap == 49 || gap == 50) << k << ": " << gap;
        }
    }
    EXPECT_EQ(a->dropped() + b->dropped(), 0u);
    EXPECT_EQ(a->time_source(), fdh::core::TimeSource::BusClock);
}

TEST_F(CoreAdapter, AFullQueueDropsTheNewestAndKeepsTheOldestInOrder) {
    auto a = open(plug("full"), FD_1M_5M, false, /*queue=*/100);
    ASSERT_TRUE(a);
    const int gen = plug("full");
    ASSERT_EQ(vad_.generator(gen, "saturate,dlc=8,fd=1,count=1000"), 0);
    for (int t = 0; t < 200 && a->dropped() < 900; ++t) std::this_thread::sleep_for(10ms);
    const auto got = take(*a, 1000, 0.1);
    ASSERT_EQ(got.size(), 100u);
    for (std::size_t k = 0; k < got.size(); ++k) EXPECT_EQ(seq_of(got[k]), k);
    EXPECT_EQ(a->dropped(), 900u);
}

TEST_F(CoreAdapter, AnUnplugDuringReceiveKeepsTheQueuedFramesThenEnds) {
    const int i = plug("unplug");
    auto a = open(i);
    ASSERT_TRUE(a);
    const int gen = plug("unplug");
    ASSERT_EQ(vad_.generator(gen, "2000,dlc=8,fd=1"), 0);
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(vad_.unplug(i, -1, -1), 0);
    std::this_thread::sleep_for(50ms);
    std::size_t frames = 0;
    CanMessage m;
    RxQueue::Pop got;
    while ((got = a->recv(m, 2.0)) == RxQueue::Pop::Frame) ASSERT_EQ(seq_of(m), frames++);
    EXPECT_EQ(got, RxQueue::Pop::Closed);
    EXPECT_GT(frames, 50u);
    EXPECT_EQ(a->end_reason(), "the adapter was unplugged");
    EXPECT_EQ(a->send(CanMessage{}, 1s).status, SendStatus::Ended);
    vad_.generator(gen, "off");
}

TEST_F(CoreAdapter, AnUnplugDuringABlockedSendEndsIt) {
    const int i = plug("stuck");
    auto a = open(i);
    ASSERT_TRUE(a);
    ASSERT_EQ(vad_.set(i, "nominal=10"), 0);  // a frame every ten seconds
    ASSERT_EQ(vad_.set(i, "txbuf=1"), 0);
    ASSERT_EQ(a->send(CanMessage{}, 1s).status, SendStatus::Sent);
    std::thread unplug([&] {
        std::this_thread::sleep_for(100ms);
        vad_.unplug(i, -1, -1);
    });
    const auto t0 = std::chrono::steady_clock::now();
    const auto r = a->send(CanMessage{}, -1ms);  // would wait for ever
    unplug.join();
    EXPECT_EQ(r.status, SendStatus::Ended);
    EXPECT_EQ(r.error, "the adapter was unplugged");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    CanMessage m;
    EXPECT_EQ(a->recv(m, 1.0), RxQueue::Pop::Closed);
}

TEST_F(CoreAdapter, SixteenAdaptersShareOneEventThread) {
    constexpr int N = 16;
    std::vector<std::shared_ptr<Adapter>> adapters;
    for (int k = 0; k < N; ++k) {
        const std::string bus = "many" + std::to_string(k);
        adapters.push_back(open(plug(bus)));
        ASSERT_TRUE(adapters.back());
        ASSERT_EQ(vad_.generator(plug(bus), "2000,dlc=8,fd=1,count=200"), 0);
    }
    for (auto& a : adapters) {
        const auto got = take(*a, 200);
        ASSERT_EQ(got.size(), 200u);
        for (std::size_t k = 0; k < got.size(); ++k) ASSERT_EQ(seq_of(got[k]), k);
    }
    EXPECT_EQ(event_threads(), 1);
}

TEST_F(CoreAdapter, AdaptersOpenAndCloseConcurrently) {
    constexpr int THREADS = 8, ROUNDS = 5;
    std::vector<int> indexes;
    for (int k = 0; k < THREADS; ++k) indexes.push_back(plug("conc" + std::to_string(k)));
    std::atomic<int> opened{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < THREADS; ++k) {
        threads.emplace_back([&, k] {
            for (int r = 0; r < ROUNDS; ++r) {
                auto a = Adapter::open({library_path(), vad_.serial_of(indexes[k]), CLASSIC_1M});
                if (!a.adapter) continue;
                ++opened;
                CanMessage m;
                m.id = static_cast<std::uint32_t>(k);
                a.adapter->send(m, 1s);
                a.adapter->close();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(opened, THREADS * ROUNDS);
    EXPECT_EQ(event_threads(), 1);
}

// On the rig: a real adapter by its serial, on whatever library FDHOST_LIBUSB names.
TEST(CoreOnHardware, OpensTheAdapterTheRigNames) {
    const char* serial = std::getenv("FDHOST_TEST_SERIAL");
    if (!serial || !*serial) GTEST_SKIP() << "FDHOST_TEST_SERIAL names no adapter";
    auto opened = Adapter::open({library_path(), serial, FD_1M_5M});
    ASSERT_TRUE(opened.adapter) << opened.error;
    EXPECT_TRUE(opened.adapter->command(static_cast<std::uint8_t>(fdh::CmdType::CMD_ACK_HELLO)).accepted);
    std::this_thread::sleep_for(200ms);
    EXPECT_GE(opened.adapter->heartbeats(), 10u);
    opened.adapter->close();
}

}  // namespace
