// udelay: at least the asked time, without the tens of microseconds of
// wake-up latency a sleep costs. Short delays spin on the monotonic clock;
// long ones sleep, and sleep again if a signal cut the sleep short.
#include "c2.h"
#include "port.h"

namespace {
// Below this a sleep would mostly be wake-up latency.
constexpr uint32_t SPIN_LIMIT_US = 1000;
}

void udelay(uint32_t us)
{
    uint64_t end = port_now_ns() + static_cast<uint64_t>(us) * 1000u;
    if (us >= SPIN_LIMIT_US) {
        uint64_t now = port_now_ns();
        while (now < end) {
            port_sleep_us(static_cast<uint32_t>((end - now + 999) / 1000));
            now = port_now_ns();
        }
        return;
    }
    while (port_now_ns() < end) {
    }
}
