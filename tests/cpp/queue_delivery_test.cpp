// The reader's side of the Bus's receive queue: which records of a section become queued frames
// (filters, own echoes, damaged identifiers), their BRS/ESI by adapter kind, one time stamp per
// container, the reason receivers see once no more frames come, and a reader's hold on the takers'
// wake-ups for the containers of one batch.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "receive/queue_delivery.hpp"

namespace {
using namespace fdh;
using namespace fdh::receive;

CanHead head(std::uint32_t id, bool extended, bool fd, std::uint8_t dlc, std::uint8_t dir = 0, bool brs = false) {
    CanHead h;
    h.id = id;
    h.id_type = extended;
    h.can_type = fd;
    h.fram_type = 1;
    h.dir = dir;
    h.dlc = dlc;
    h.reserve = head_reserve(0, brs, false);
    return h;
}

// A checked section of these records, kept alive with its bytes.
struct Section {
    std::vector<std::uint8_t> bytes;
    SectionResult result;

    explicit Section(const std::vector<std::pair<CanHead, std::vector<std::uint8_t>>>& records) {
        std::vector<std::uint8_t> r;
        for (const auto& [h, d] : records) append_record(r, h, d);
        const auto c = make_container(r);
        bytes.assign(c.begin() + 2, c.end() - 1);
        result = check_section(bytes, static_cast<long long>(bytes.size()));
    }
};

std::vector<CanMessage> drain(QueueDelivery& q) {
    std::vector<CanMessage> out;
    CanMessage m;
    while (q.queue().pop(m, 0) == RxQueue::Pop::Frame) out.push_back(m);
    return out;
}

const Reception NOW = std::chrono::steady_clock::now();

TEST(QueueDelivery, KeepsWhatTheFilterPassesAndDropsOwnEchoesUnlessAsked) {
    const Section s({{head(0x100, false, false, 2), {1, 2}},
                     {head(0x101, false, false, 1), {3}},
                     {head(0x100, true, false, 0), {}},
                     {head(0x100, false, false, 1, /*dir=*/1), {4}}});
    for (bool own : {false, true}) {
        QueueDelivery q({16, own, false, false});
        q.set_filter(FrameFilter({FilterRule{0x100, 0x7FF, false, false}}));
        EXPECT_EQ(q.deliver(s.result, NOW), RecordStep::End);
        const auto got = drain(q);
        ASSERT_EQ(got.size(), own ? 2u : 1u);
        EXPECT_EQ(got[0].len, 2);
        EXPECT_FALSE(got[0].echo);
        if (own) {
            EXPECT_TRUE(got[1].echo);
        }
    }
}

TEST(QueueDelivery, BitrateSwitchComesFromTheHeaderOnlyForVirtualAdapters) {
    const Section s({{head(0x1, false, true, 9, 0, /*brs=*/true), std::vector<std::uint8_t>(12, 7)},
                     {head(0x2, false, true, 2, 0, /*brs=*/false), {1, 2}},
                     {head(0x3, false, false, 1), {1}}});
    struct Case {
        bool header_flags, brs_when_fd;
        bool brs[3];
    };
    for (const Case& c : {Case{true, false, {true, false, false}}, Case{false, true, {true, true, false}},
                          Case{false, false, {false, false, false}}}) {
        QueueDelivery q({16, false, c.header_flags, c.brs_when_fd});
        q.deliver(s.result, NOW);
        const auto got = drain(q);
        ASSERT_EQ(got.size(), 3u);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(got[i].brs, c.brs[i]) << i;
    }
}

// A classic Bus's adapter on hardware passes on the FD frames it sees: they are left out and counted.
TEST(QueueDelivery, AClassicBusLeavesFdFramesOutAndCountsThem) {
    const Section s({{head(0x1, false, true, 9), std::vector<std::uint8_t>(12, 7)},
                     {head(0x2, false, false, 1), {1}},
                     {head(0x3, true, true, 2), {1, 2}}});
    for (bool classic : {false, true}) {
        std::vector<CanMessage> frames;
        std::vector<std::uint32_t> stamps;
        core::FrameChoice choice;
        choice.classic = classic;
        const core::Collected c = core::collect_frames(s.result, FrameFilter(), choice, frames, stamps);
        EXPECT_EQ(c.records, 3u);
        EXPECT_EQ(c.fd_on_classic, classic ? 2u : 0u);
        ASSERT_EQ(frames.size(), classic ? 1u : 3u);
        EXPECT_EQ(frames[classic ? 0 : 1].id, 0x2u);
    }
}

TEST(QueueDelivery, OneTimeStampPerContainerAndDamagedIdentifiersSkipped) {
    const Section s({{head(0x800, false, false, 0), {}},  // 12 bits in a standard frame: damage
                     {head(0x10, false, false, 0), {}},
                     {head(0x11, false, false, 0), {}}});
    QueueDelivery q({16, false, false, false});
    q.deliver(s.result, NOW);
    const auto got = drain(q);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 0x10u);
    EXPECT_EQ(got[0].timestamp_us, got[1].timestamp_us);
    const auto wall = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(static_cast<double>(got[0].timestamp_us), static_cast<double>(wall), 1e6);
}

TEST(QueueDelivery, AFullQueueCountsWhatItDropsAndTheFirstEndReasonStays) {
    const Section s({{head(0x1, false, false, 0), {}}, {head(0x2, false, false, 0), {}}, {head(0x3, false, false, 0), {}}});
    QueueDelivery q({2, false, false, false});
    q.deliver(s.result, NOW);
    EXPECT_EQ(q.queue().dropped(), 1u);
    q.end("unplugged");
    q.end("closed");
    EXPECT_EQ(q.end_reason(), "unplugged");
    EXPECT_EQ(drain(q).size(), 2u);  // frames received before the end are still handed out
    CanMessage m;
    EXPECT_EQ(q.queue().pop(m, 0), RxQueue::Pop::Closed);
}

// While the reader holds, frames are queued in order at once (a taker that looks finds them), a
// blocked taker is woken by the flush, and another thread's delivery is not held.
TEST(QueueDelivery, AHeldBatchQueuesAtOnceAndWakesBlockedTakersOnFlush) {
    using namespace std::chrono_literals;
    const Section one({{head(0x1, false, false, 0), {}}}), two({{head(0x2, false, false, 0), {}}});
    QueueDelivery q({8, false, false, false});
    auto take = [&] {
        return std::async(std::launch::async, [&] {
            CanMessage m;
            return q.queue().pop(m, 5.0) == RxQueue::Pop::Frame ? m.id : 0u;  // 5 s: a missed wake-up fails
        });
    };
    q.flush();  // no hold: nothing to do
    q.hold();
    q.deliver(one.result, NOW);
    q.deliver(two.result, NOW);
    EXPECT_EQ(q.queue().size(), 2u);
    EXPECT_EQ(take().get(), 0x1u);  // already there: no wake-up needed
    EXPECT_EQ(take().get(), 0x2u);

    auto blocked = take();
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    q.deliver(one.result, NOW);  // held: queued without waking the taker
    q.flush();
    ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), 0x1u);

    q.hold();
    auto waiting = take();
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    std::async(std::launch::async, [&] { q.deliver(two.result, NOW); }).get();  // not this thread's hold
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0x2u);
    q.flush();
}

}  // namespace
