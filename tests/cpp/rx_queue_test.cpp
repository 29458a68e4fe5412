// The reader-to-Bus queue under real threads: order and completeness below capacity, which frames a
// full queue drops, closing, time-outs, and the wake descriptor an event loop watches.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <thread>
#include <vector>

#include "core/rx_queue.hpp"

#ifdef __linux__
#include <poll.h>
#endif

namespace {
using fdh::CanMessage;
using fdh::receive::RxQueue;
using Pop = RxQueue::Pop;
using namespace std::chrono_literals;

std::vector<CanMessage> numbered(std::uint32_t first, std::size_t n) {
    std::vector<CanMessage> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i].id = first + static_cast<std::uint32_t>(i);
    return v;
}

std::vector<std::uint32_t> numbered_ids(std::uint32_t first, std::size_t n) {
    std::vector<std::uint32_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = first + static_cast<std::uint32_t>(i);
    return v;
}

std::vector<std::uint32_t> drain(RxQueue& q) {
    std::vector<std::uint32_t> ids;
    CanMessage m;
    while (q.pop(m, 0) == Pop::Frame) ids.push_back(m.id);
    return ids;
}

// The producer never overfills (it waits for room), so nothing may be lost or reordered.
TEST(RxQueue, TwoThreadsBelowCapacityKeepOrderAndLoseNothing) {
    RxQueue q(256);
    constexpr std::uint32_t total = 200000;
    std::thread producer([&] {
        std::uint32_t next = 0;
        while (next < total) {
            const std::size_t n = std::min<std::size_t>(1 + next % 97, total - next);
            while (q.size() + n > q.capacity()) std::this_thread::yield();
            ASSERT_EQ(q.push_batch(numbered(next, n)).accepted, n);
            next += static_cast<std::uint32_t>(n);
        }
    });
    CanMessage m;
    for (std::uint32_t expect = 0; expect < total; ++expect) {
        ASSERT_EQ(q.pop(m, 5.0), Pop::Frame);
        ASSERT_EQ(m.id, expect);
    }
    producer.join();
    EXPECT_EQ(q.dropped(), 0u);
}

TEST(RxQueue, FullQueueDropsTheNewestAndCountsThem) {
    RxQueue q(8);
    auto r = q.push_batch(numbered(0, 5));
    EXPECT_EQ(r.accepted, 5u);
    r = q.push_batch(numbered(5, 5));
    EXPECT_EQ(r.accepted, 3u);
    EXPECT_EQ(r.dropped, 2u);
    EXPECT_EQ(q.push_batch(numbered(10, 4)).dropped, 4u);
    EXPECT_EQ(q.dropped(), 6u);
    EXPECT_EQ(drain(q), numbered_ids(0, 8));
    EXPECT_EQ(q.push_batch(numbered(20, 1)).accepted, 1u);  // room again after draining
    EXPECT_EQ(q.dropped(), 6u);
}

TEST(RxQueue, CloseWakesABlockedPopAndKeepsQueuedFrames) {
    RxQueue q(4);
    auto blocked = std::async(std::launch::async, [&] {
        CanMessage m;
        return q.pop(m, -1);
    });
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    q.close();
    ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), Pop::Closed);

    RxQueue kept(4);
    kept.push_batch(numbered(1, 2));
    kept.close();
    EXPECT_EQ(kept.push_batch(numbered(9, 1)).accepted, 0u);  // after close: ignored, not a drop
    EXPECT_EQ(kept.dropped(), 0u);
    EXPECT_EQ(drain(kept), numbered_ids(1, 2));
    CanMessage m;
    EXPECT_EQ(kept.pop(m, -1), Pop::Closed);

    RxQueue discarded(4);
    discarded.push_batch(numbered(1, 2));
    discarded.close(/*discard_pending=*/true);
    EXPECT_EQ(discarded.pop(m, 0), Pop::Closed);
}

TEST(RxQueue, TimeoutsPollAndWait) {
    RxQueue q(4);
    CanMessage m;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(q.pop(m, 0), Pop::Timeout);
    EXPECT_EQ(q.pop(m, NAN), Pop::Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 20ms);
    EXPECT_EQ(q.pop(m, 0.05), Pop::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 50ms);

    // An infinite or huge time-out waits for a frame from another thread.
    for (double forever : {double(INFINITY), 1e300}) {
        std::thread late([&] {
            std::this_thread::sleep_for(20ms);
            q.push_batch(numbered(42, 1));
        });
        EXPECT_EQ(q.pop(m, forever), Pop::Frame);
        EXPECT_EQ(m.id, 42u);
        late.join();
    }
}

#ifdef __linux__
bool readable(int fd, int wait_ms = 0) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, wait_ms) == 1 && (p.revents & POLLIN);
}

TEST(RxQueue, WakeDescriptorIsReadableExactlyWhileFramesWait) {
    RxQueue q(8);
    q.push_batch(numbered(0, 2));
    const int fd = q.wake_fd();  // made while frames already wait
    ASSERT_GE(fd, 0);
    EXPECT_EQ(q.wake_fd(), fd);
    EXPECT_TRUE(readable(fd));
    CanMessage m;
    q.pop(m, 0);
    EXPECT_TRUE(readable(fd));
    q.pop(m, 0);
    EXPECT_FALSE(readable(fd));
    q.push_batch(numbered(0, 3));
    q.push_batch(numbered(3, 9));  // partly dropped
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(drain(q).size(), 8u);
    EXPECT_FALSE(readable(fd));

    // An event loop polling in another thread wakes when frames arrive.
    auto woke = std::async(std::launch::async, [&] { return readable(fd, 2000); });
    std::this_thread::sleep_for(20ms);
    q.push_batch(numbered(0, 1));
    EXPECT_TRUE(woke.get());
    q.close(/*discard_pending=*/true);
    EXPECT_FALSE(readable(fd));
}
#else
TEST(RxQueue, NoWakeDescriptorOnThisPlatform) {
    RxQueue q(1);
    EXPECT_EQ(q.wake_fd(), -1);
}
#endif

}  // namespace
