// Faults injected on demand: which operation they hit, how often, and with what effect.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vad {

enum class FaultKind : std::uint8_t {
    // Command channel (0x02 / 0x82).
    Reject, NoAck, AckStart, AckEnd, AckCrc, AckCmd,
    // Any endpoint.
    Timeout, Stall, Halt, Short, Late,
    // The next receive container on 0x81.
    RxStart, RxEnd, RxZero, RxCount, RxCrc, RxCut, RxDir1, RxStray, RxPad,
    // Device level.
    NoSerial, SerialFail, OpenFail, Claim, ClearHalt, Unplug,
};

struct Fault {
    FaultKind kind = FaultKind::Stall;
    int ep = -1;            // endpoint it applies to; -1: any
    int cmd = -1;           // command code it applies to; -1: any
    int intf = -1;          // interface it applies to; -1: any
    int ack = 3;            // ack code of a rejection (NACK_ARG_ERR)
    int code = 0;           // libusb error returned; 0: the kind's usual one
    long long bytes = -1;   // short write: bytes reported; rx_cut: bytes removed
    long long count = 1;    // firings left; -1: without end
    long long skip = 0;     // matching operations let through first
    long long after = -1;   // unplug: after this many bulk transfers
    long long ms = -1;      // unplug: after this many milliseconds
};

// "<kind>[,ep=N][,cmd=N][,intf=N][,ack=N|none][,code=N][,bytes=N][,count=N|always][,skip=N]
//  [,after=N][,ms=N]"
bool parse_fault(std::string_view text, Fault& out, std::string& error);
std::string_view fault_kind_name(FaultKind k) noexcept;
int default_error_code(FaultKind k) noexcept;

struct FaultMatch {
    int ep = -1;
    int cmd = -1;
    int intf = -1;
};

class FaultSet {
public:
    // Spent faults are dropped here, so a long run that keeps arming faults stays small and fast.
    void add(const Fault& f) {
        std::erase_if(faults_, [](const Fault& old) { return old.count == 0; });
        faults_.push_back(f);
    }
    void clear() noexcept { faults_.clear(); }

    // Consumes one firing of the first live fault of that kind matching the operation.
    std::optional<Fault> fire(FaultKind kind, const FaultMatch& m);
    // The same for whichever receive-container fault comes first.
    std::optional<Fault> fire_rx();
    // A receive-container fault would fire on the very next container.
    bool rx_due() const noexcept;

    long long fired() const noexcept { return fired_; }

private:
    static bool matches(const Fault& f, const FaultMatch& m) noexcept;
    std::optional<Fault> take(Fault& f);

    std::vector<Fault> faults_;
    long long fired_ = 0;
};

inline bool is_rx_fault(FaultKind k) noexcept { return k >= FaultKind::RxStart && k <= FaultKind::RxPad; }

}  // namespace vad
