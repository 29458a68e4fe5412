// Where the core reports what happens: one process-wide sink taking a level and one line of text.
// The core never prints. Any thread may report, the event thread included, so a sink must be quick
// and must not call back into the core.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>
#include <atomic>

namespace fdh::core {

enum class Level : std::uint8_t { Debug, Info, Warning, Error };

using LogSink = std::function<void(Level, std::string_view)>;

// Replaces the sink; an empty one drops every report (the default).
void set_log_sink(LogSink sink);
void log(Level level, std::string_view text);

// A sink that keeps the reports until a consumer takes them: for a consumer that may only run at
// moments of its own choosing (an interpreter, say). Holds at most `limit` reports; beyond that
// the oldest are dropped and counted.
class LogBuffer {
public:
    struct Record {
        Level level;
        std::string text;
    };

    explicit LogBuffer(std::size_t limit = 10000) : limit_(limit) {}

    void add(Level level, std::string_view text);
    // Whether reports wait; a relaxed read, cheap enough for every call of a hot path.
    bool pending() const noexcept { return pending_.load(std::memory_order_relaxed); }
    // The waiting reports, oldest first, and how many were dropped since the last take.
    std::vector<Record> take(std::size_t& dropped);

private:
    std::mutex mu_;
    std::deque<Record> records_;
    std::size_t limit_;
    std::size_t dropped_ = 0;
    std::atomic<bool> pending_{false};
};

}  // namespace fdh::core
