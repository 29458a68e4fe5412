// python-can's receive filters, applied in the reader so rejected frames never reach the interpreter.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "can_message.hpp"

namespace fdh {

// One entry of a python-can filter list. A frame matches when ((id ^ can_id) & can_mask) == 0 and,
// when `extended` is given, its identifier format equals it. `invert` turns the identifier test
// around (matches when the masked bits differ), the meaning python-can's command-line `~` filters
// give by setting bit 29 of can_id; the Python side clears that bit and sets this flag.
struct FilterRule {
    std::uint32_t can_id = 0;
    std::uint32_t can_mask = 0;
    std::optional<bool> extended;
    bool invert = false;

    bool operator==(const FilterRule&) const = default;
};

// An immutable list of rules. Empty passes every frame (python-can's None or []); otherwise a frame
// passes when any rule matches. Testing a frame allocates nothing.
class FrameFilter {
public:
    FrameFilter() = default;
    explicit FrameFilter(std::vector<FilterRule> rules) : rules_(std::move(rules)) {}

    bool passes(std::uint32_t id, bool extended) const noexcept {
        if (rules_.empty()) return true;
        for (const FilterRule& r : rules_) {
            if (r.extended && *r.extended != extended) continue;
            if ((((id ^ r.can_id) & r.can_mask) == 0) != r.invert) return true;
        }
        return false;
    }
    bool passes(const CanMessage& m) const noexcept { return passes(m.id, m.extended); }
    bool passes_all() const noexcept { return rules_.empty(); }
    std::span<const FilterRule> rules() const noexcept { return rules_; }

private:
    std::vector<FilterRule> rules_;
};

// The filter the reader thread uses while the interpreter may replace it: the reader takes a
// snapshot once per container, so a change applies from the next container on.
class SharedFrameFilter {
public:
    void set(FrameFilter f) {
        auto next = std::make_shared<const FrameFilter>(std::move(f));
        std::lock_guard lk(mu_);
        current_.swap(next);
    }
    std::shared_ptr<const FrameFilter> get() const {
        std::lock_guard lk(mu_);
        return current_;
    }

private:
    mutable std::mutex mu_;
    std::shared_ptr<const FrameFilter> current_ = std::make_shared<const FrameFilter>();
};

}  // namespace fdh
