// Raw transfers kept for inspection: the latest `capacity` entries and a count of all.
#pragma once
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace vad {

class EventLog {
public:
    explicit EventLog(std::size_t capacity = 65536) : capacity_(capacity) {}

    void add(std::span<const std::uint8_t> bytes) {
        if (entries_.size() == capacity_) entries_.pop_front();
        entries_.emplace_back(bytes.begin(), bytes.end());
        ++total_;
    }
    void clear() noexcept {
        entries_.clear();
        total_ = 0;
    }
    std::size_t size() const noexcept { return entries_.size(); }
    long long total() const noexcept { return total_; }
    const std::vector<std::uint8_t>* at(long long i) const noexcept {
        return i >= 0 && static_cast<std::size_t>(i) < entries_.size() ? &entries_[static_cast<std::size_t>(i)] : nullptr;
    }
    const std::vector<std::uint8_t>* last() const noexcept { return entries_.empty() ? nullptr : &entries_.back(); }

private:
    std::size_t capacity_;
    std::deque<std::vector<std::uint8_t>> entries_;
    long long total_ = 0;
};

}  // namespace vad
