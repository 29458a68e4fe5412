#include "core/log.hpp"

#include <iterator>
#include <memory>
#include <utility>

namespace fdh::core {

namespace {
struct SinkSlot {
    std::mutex mu;
    std::shared_ptr<const LogSink> sink;
};

SinkSlot& slot() {
    static auto* s = new SinkSlot;  // kept for good: the event thread may report while the process exits
    return *s;
}
}  // namespace

void set_log_sink(LogSink sink) {
    auto next = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
    std::lock_guard lk(slot().mu);
    slot().sink.swap(next);
}

void log(Level level, std::string_view text) {
    std::shared_ptr<const LogSink> sink;
    {
        std::lock_guard lk(slot().mu);
        sink = slot().sink;
    }
    if (sink) (*sink)(level, text);
}

void LogBuffer::add(Level level, std::string_view text) {
    std::lock_guard lk(mu_);
    if (records_.size() >= limit_) {
        records_.pop_front();
        ++dropped_;
    }
    records_.push_back({level, std::string(text)});
    pending_.store(true, std::memory_order_relaxed);
}

std::vector<LogBuffer::Record> LogBuffer::take(std::size_t& dropped) {
    std::lock_guard lk(mu_);
    std::vector<Record> out(std::make_move_iterator(records_.begin()), std::make_move_iterator(records_.end()));
    records_.clear();
    dropped = std::exchange(dropped_, 0);
    pending_.store(false, std::memory_order_relaxed);
    return out;
}

}  // namespace fdh::core
