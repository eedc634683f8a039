// Shared state: faults, the frame trace, the seeded generators.
#include "core.h"

#include <cstdio>
#include <cstring>

#include "record.h"

namespace harlune_sim {

uint64_t Rng::next()
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

unsigned Rng::draw(unsigned lo, unsigned hi)
{
    return lo + static_cast<unsigned>(next() % (uint64_t{hi} - lo + 1));
}

uint64_t Core::response(const ResponseTime& t)
{
    if (t.hi_ns <= t.lo_ns)
        return t.lo_ns;
    return t.lo_ns + response_rng.next() % (t.hi_ns - t.lo_ns + 1);
}

void Core::record(const char* format, va_list args)
{
    ++fault_total;
    if (faults.size() >= kFaultsKept)
        return;
    char text[256];
    vsnprintf(text, sizeof text, format, args);
    faults.push_back(std::string(text) + " (request " + std::to_string(requests) + ")");
}

void Core::fault(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    record(format, args);
    va_end(args);
}

void Core::protocol(const char* format, ...)
{
    if (desync) {
        ++stats.desync_events;
        return;
    }
    va_list args;
    va_start(args, format);
    record(format, args);
    va_end(args);
}

void Core::frame(const char* kind, uint32_t value, unsigned bytes)
{
    if (!cfg.trace)
        return;
    char token[16];
    size_t n = strlen(kind);
    memcpy(token, kind, n);
    token[n++] = ':';
    char* end = put_hex(token + n, value, 2 * bytes);
    append_token(frames, token, static_cast<size_t>(end - token));
}

void Core::frame(const char* word)
{
    if (cfg.trace)
        append_token(frames, word, strlen(word));
}

}  // namespace harlune_sim
