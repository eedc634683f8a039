// Shared state of the simulator layers: configuration, counters, faults,
// wire time, the trace buffers and the seeded random sources.
// Internal to libharlune_sim.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim.h"

namespace harlune_sim {

// The C2 reset threshold: C2CK held low this long resets the target.
inline constexpr uint64_t kResetLowNs = 20000;
// After a reset the first START may come no sooner than this.
inline constexpr uint64_t kStartAfterResetNs = 2000;
// A strobe's low phase should stay under this.
inline constexpr uint64_t kStrobeLowNs = 5000;
// Programming mode needs this long before the first flash command.
inline constexpr uint64_t kProgrammingSettleNs = 20000000;
// Faults kept as text; later ones are only counted.
inline constexpr size_t kFaultsKept = 1000;

// splitmix64: a small seeded generator, one per purpose.
struct Rng {
    uint64_t state = 0;
    uint64_t next();
    // Uniform draw from lo..hi.
    unsigned draw(unsigned lo, unsigned hi);
};

struct Core {
    Config cfg;
    Stats stats;
    uint64_t now_ns = 0;     // wire time of the request being served
    uint64_t requests = 0;   // claim, write and read requests served since configure()
    std::string trace;
    std::string frames;
    std::vector<std::string> faults;
    uint64_t fault_total = 0;
    Rng rng;                 // target timing (cfg.seed)
    Rng mid_low_rng;         // MidLow::random (cfg.mid_low_seed)
    Rng response_rng;        // the target's response times (cfg.response_seed)
    // A reset the host did not plan put host and target out of step; cleared
    // by the host's next reset-control pulse.
    bool desync = false;
    // The target completed a flash command; the host is held at the next
    // request that leaves C2CK high (cfg.hold_after_commands).
    bool command_completed = false;
    // FTDI: how many answers of the wired chip's reads the host has not
    // taken yet (empty: no chip wired).
    std::function<size_t()> unseen_answers;

    // Record a fault; the text gets the number of the request it happened in.
    void fault(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A protocol fault: the host broke the frame or handshake rules. While
    // out of step after an unplanned reset it is only counted (desync_events).
    void protocol(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Frame trace: "KIND:value" with 2 * bytes hex digits, or a bare word.
    void frame(const char* kind, uint32_t value, unsigned bytes);
    void frame(const char* word);
    // Uniform draw from lo..hi for the target timing (seeded, deterministic).
    unsigned draw(unsigned lo, unsigned hi) { return rng.draw(lo, hi); }
    // A response time drawn from t (seeded, deterministic), in ns.
    uint64_t response(const ResponseTime& t);

private:
    void record(const char* format, va_list args);
};

}  // namespace harlune_sim
