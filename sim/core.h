// Shared state of the simulator layers: configuration, counters, faults,
// the virtual wire clock, the trace buffers and the seeded random source.
// Internal to libharlune_sim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim.h"

namespace harlune_sim {

// The C2 reset threshold: C2CK held low this long resets the target.
inline constexpr uint64_t kResetLowNs = 20000;
// Programming mode needs this long before the first flash command.
inline constexpr uint64_t kProgrammingSettleNs = 20000000;
// Faults kept as text; later ones are only counted.
inline constexpr size_t kFaultsKept = 1000;

struct Core {
    Config cfg;
    Stats stats;
    uint64_t now_ns = 0;     // virtual wire clock
    uint64_t requests = 0;   // claim, write and read requests served since configure()
    std::string trace;
    std::string frames;
    std::vector<std::string> faults;
    uint64_t fault_total = 0;
    uint64_t rng = 0;

    // Record a fault; the text gets the number of the request it happened in.
    void fault(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Frame trace: "KIND:value" with 2 * bytes hex digits, or a bare word.
    void frame(const char* kind, uint32_t value, unsigned bytes);
    void frame(const char* word);
    // Uniform draw from lo..hi (seeded, deterministic).
    unsigned draw(unsigned lo, unsigned hi);
};

// Append a space (unless empty) and then `text` to a trace.
void append_token(std::string& trace, const char* text, size_t length);
// Upper-case hex digits of the low `digits` nibbles of value.
char* put_hex(char* out, uint64_t value, unsigned digits);

}  // namespace harlune_sim
