// Raw transfers kept for inspection: the latest `capacity` entries in a ring, and a count of all.
// The ring's slots are reused, so a long-running adapter keeps a fixed amount of memory.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace vad {

class EventLog {
public:
    explicit EventLog(std::size_t capacity = 1024) : capacity_(capacity) {}

    // Keeps the latest `capacity` entries from now on.
    void resize(std::size_t capacity) {
        std::vector<std::vector<std::uint8_t>> kept;
        for (std::size_t i = slots_.size() > capacity ? slots_.size() - capacity : 0; i < slots_.size(); ++i)
            kept.push_back(std::move(slots_[(first_ + i) % slots_.size()]));
        slots_ = std::move(kept);
        first_ = 0;
        capacity_ = capacity;
    }

    void add(std::span<const std::uint8_t> bytes) {
        if (slots_.size() < capacity_) {
            slots_.emplace_back(bytes.begin(), bytes.end());
        } else {
            slots_[first_].assign(bytes.begin(), bytes.end());
            first_ = (first_ + 1) % capacity_;
        }
        ++total_;
    }
    void clear() noexcept {
        slots_.clear();
        first_ = 0;
        total_ = 0;
    }
    std::size_t size() const noexcept { return slots_.size(); }
    long long total() const noexcept { return total_; }
    // Entry i of the kept ones, oldest first.
    const std::vector<std::uint8_t>* at(long long i) const noexcept {
        if (i < 0 || static_cast<std::size_t>(i) >= slots_.size()) return nullptr;
        return &slots_[(first_ + static_cast<std::size_t>(i)) % slots_.size()];
    }
    const std::vector<std::uint8_t>* last() const noexcept {
        return slots_.empty() ? nullptr : at(static_cast<long long>(slots_.size()) - 1);
    }

private:
    std::size_t capacity_;
    std::vector<std::vector<std::uint8_t>> slots_;
    std::size_t first_ = 0;  // the oldest entry once the ring is full
    long long total_ = 0;
};

}  // namespace vad
