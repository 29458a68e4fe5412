#include "core/receive_path.hpp"

#include "core/host_clock.hpp"
#include "core/log.hpp"

namespace fdh::core {

namespace {
// Drops closer together than this are one burst, reported once.
constexpr auto DROP_QUIET = std::chrono::seconds(1);

const char* container_problem(ContainerCheck c) {
    switch (c) {
        case ContainerCheck::TooShort: return "shorter than its framing";
        case ContainerCheck::FrameFormat: return "wrong start or end byte";
        case ContainerCheck::EmptyCount: return "a byte count of 0";
        case ContainerCheck::Exceeds: return "a byte count beyond the bytes read";
        case ContainerCheck::Ok: break;
    }
    return "damaged";
}

const char* section_problem(SectionCheck c) {
    switch (c) {
        case SectionCheck::TooShort:
        case SectionCheck::InvalidTotal: return "a byte count beyond the bytes read";
        case SectionCheck::CrcFailed: return "a wrong CRC";
        case SectionCheck::Ok: break;
    }
    return "damaged";
}
}  // namespace

Collected collect_frames(const SectionResult& section, const FrameFilter& filter, const FrameChoice& choice,
                         std::vector<CanMessage>& frames, std::vector<std::uint32_t>& stamps) {
    Collected c;
    RecordCursor cursor(section.records, section.bytes_size);
    RecordView view;
    CanMessage m;
    while ((c.step = cursor.next(view)) == RecordStep::Record) {
        ++c.records;
        // A record whose identifier does not fit its format is damage, not a frame.
        if (message_from_record(view.head, view.data, 0, m) != RxError::None) {
            ++c.damaged;
            continue;
        }
        if (m.echo && !choice.receive_own) continue;
        if (m.fd && choice.classic) {
            ++c.fd_on_classic;
            continue;
        }
        if (!filter.passes(m)) continue;
        if (m.fd) {
            m.brs = choice.header_flags ? head_brs(view.head.reserve) : choice.brs_when_fd;
            m.esi = choice.header_flags && head_esi(view.head.reserve);
        }
        frames.push_back(m);
        stamps.push_back(view.head.time_stamp);
    }
    return c;
}

ReceivePath::ReceivePath(ReceiveOptions options)
    : options_(std::move(options)), queue_(std::make_shared<RxQueue>(options_.capacity)) {
    frames_.reserve(64);
    stamps_.reserve(64);
    times_.reserve(64);
    if (options_.bus_clock) source_.store(TimeSource::BusClock);
}

Delivered ReceivePath::deliver(std::span<const std::uint8_t> container, std::int64_t arrival_us, bool wake) {
    Delivered d;
    const ContainerResult c = check_container(container);
    if (c.check != ContainerCheck::Ok) {
        log(Level::Warning, options_.name + ": receive container rejected (" + container_problem(c.check) +
                                "); its frames are lost");
        d.damaged = true;
        return d;
    }
    const SectionResult s = check_section(c.section, static_cast<long long>(c.bytes_num) + 4);
    if (s.check != SectionCheck::Ok) {
        log(Level::Warning, options_.name + ": receive container rejected (" + section_problem(s.check) +
                                "); its frames are lost");
        d.damaged = true;
        return d;
    }
    frames_.clear();
    stamps_.clear();
    const Collected walked = collect_frames(s, *filter_.get(), options_.choice, frames_, stamps_);
    d.records = walked.records;
    if (walked.step != RecordStep::End || walked.damaged) {
        d.damaged = true;
        log(Level::Warning, options_.name + ": a damaged record in a receive container; " +
                                std::to_string(frames_.size()) + " frames of it kept");
    }
    if (walked.fd_on_classic && !reported_fd_on_classic_) {
        reported_fd_on_classic_ = true;
        log(Level::Warning, options_.name + ": CAN FD frames on the bus are not delivered to a classic CAN Bus "
                                "(open it in CAN FD mode to receive them)");
    }
    if (frames_.empty()) return d;

    times_.resize(frames_.size());
    TimeSource source = TimeSource::BusClock;
    if (options_.bus_clock) {
        for (std::size_t i = 0; i < frames_.size(); ++i) times_[i] = steady_of_stamp_us(stamps_[i], arrival_us);
    } else {
        source = learned_.map(stamps_, arrival_us, times_);
    }
    note_source(source);
    const std::int64_t offset = epoch_offset_us();
    for (std::size_t i = 0; i < frames_.size(); ++i)
        frames_[i].timestamp_us = static_cast<std::uint64_t>(times_[i] + offset);

    const auto pushed = queue_->push_batch(frames_, wake);
    d.frames = pushed.accepted;
    d.dropped = pushed.dropped;
    if (pushed.dropped) note_drops(pushed.dropped);
    return d;
}

void ReceivePath::note_source(TimeSource s) {
    const TimeSource before = source_.exchange(s, std::memory_order_relaxed);
    if (s == TimeSource::Arrival) arrival_timed_.fetch_add(frames_.size(), std::memory_order_relaxed);
    if (s == before || options_.bus_clock) return;
    if (s == TimeSource::Learned) {
        log(Level::Info, options_.name + ": frame times from the adapter's time stamps (" +
                             std::to_string(static_cast<long long>(learned_.ticks_per_s() + 0.5)) + " ticks/s)");
        reported_learned_ = true;
    } else if (reported_learned_) {
        log(Level::Warning, options_.name +
                                ": the adapter's time stamps do not behave; frames are timed by their arrival "
                                "until they do");
    }
}

void ReceivePath::note_drops(std::size_t dropped) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_drop_ >= DROP_QUIET) {
        log(Level::Warning, options_.name + ": receive queue full (" + std::to_string(queue_->capacity()) +
                                " frames): the newest frames are dropped, " + std::to_string(dropped) +
                                " so far in this burst; recv() is not keeping up");
    }
    last_drop_ = now;
}

void ReceivePath::end(std::string reason) {
    {
        std::lock_guard lk(end_mu_);
        if (end_reason_.empty()) end_reason_ = std::move(reason);
    }
    queue_->close(/*discard_pending=*/false, /*signal_end=*/true);
}

std::string ReceivePath::end_reason() const {
    std::lock_guard lk(end_mu_);
    return end_reason_;
}

}  // namespace fdh::core
