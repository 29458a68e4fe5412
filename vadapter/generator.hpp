// Traffic from other nodes: frames at a fixed rate or back to back, numbered so losses show.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "bus_frame.hpp"

namespace vad {

struct GenConfig {
    bool enabled = false;
    bool saturate = false;       // every bus idle moment is taken
    double rate = 0;             // frames per second when not saturating
    // DLC codes, used in turn. A fixed array, so that a running generator can live in memory
    // shared between processes.
    std::array<std::uint8_t, 64> dlcs{8};
    std::uint8_t dlc_count = 1;
    std::uint32_t id = 0x100;
    bool id_increment = false;   // id + sequence number, wrapped to the identifier width
    bool ext = false;
    bool fd = false;
    bool brs = true;
    bool esi = false;            // FD frames sent as by an error-passive node
    long long count = -1;        // frames to send; -1 without end
    std::uint32_t first_seq = 0;
};

// "off" | [saturate|<rate>][,rate=N][,dlc=C[/C...]][,id=N][,idinc=0|1][,ext=0|1][,fd=0|1][,brs=0|1]
//        [,esi=0|1][,count=N][,seq=N]
bool parse_generator(std::string_view text, GenConfig& out, std::string& error);

class Generator {
public:
    Generator() = default;
    Generator(const GenConfig& cfg, Ps start);
    // The generator `cfg` started at `start` once it has made `taken` frames (serial 0: a view of
    // one that lives elsewhere).
    static Generator resumed(const GenConfig& cfg, Ps start, long long taken) noexcept;

    bool active() const noexcept;
    // Due time of the next frame; a saturating generator is always due.
    Ps next_ready() const noexcept;
    // The next frame without its data, enough to know its length on the wire.
    BusFrame peek_shape() const noexcept;
    BusFrame take() noexcept;
    std::uint32_t next_seq() const noexcept { return seq_; }
    long long taken() const noexcept { return taken_; }
    void set_taken(long long taken) noexcept;
    const GenConfig& config() const noexcept { return cfg_; }
    Ps start() const noexcept { return start_; }
    // Tells generators apart: a copy keeps it, a newly made one gets a new one.
    std::uint64_t serial() const noexcept { return serial_; }
    // The same generator on a time line whose zero lies `delta` earlier.
    void shift(Ps delta) noexcept { start_ += delta; }

private:
    BusFrame shape(std::uint32_t seq) const noexcept;

    std::uint64_t serial_ = 0;
    GenConfig cfg_;
    Ps start_ = 0;
    double period_ps_ = 0;
    long long taken_ = 0;
    std::uint32_t seq_ = 0;
};

}  // namespace vad
