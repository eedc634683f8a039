// The public interface: configuration, what the simulator saw, the files.
#include "sim.h"

#include "record.h"
#include "instance.h"

namespace harlune_sim {

namespace {

constexpr uint32_t kMaxFlash = 0x10000;  // 16-bit flash addresses
constexpr size_t kTraceReserve = 1 << 20;

Sim* g_sim = nullptr;

void check_config(Core& core)
{
    Config& c = core.cfg;
    if (c.flash_size == 0 || c.flash_size > kMaxFlash) {
        core.fault("configuration: flash size %u outside 1..65536; using 65536", c.flash_size);
        c.flash_size = kMaxFlash;
    }
    if (c.page_size == 0) {
        core.fault("configuration: page size 0; using 512");
        c.page_size = 512;
    }
    for (const Refusal& r : c.refusals) {
        if (r.nth == 0 || r.point < 1 || r.point > 2 || (r.command == 0x03 && r.point == 2))
            core.fault("configuration: refusal %02X:%u:%u:%02X never applies", r.command, r.nth,
                       r.point, r.code);
    }
    if (!c.stall_ns && (!c.stall_at.empty() || c.stall_every || c.stall_one_in))
        core.fault("configuration: stall strobes chosen but no stall length; no stalls");
    if (!c.hold_ns && (!c.hold_at.empty() || c.hold_after_commands))
        core.fault("configuration: hold strobes or commands chosen but no hold length; no holds");
    const GpioWiring& w = c.gpio_wiring;
    if (w.ck >= c.gpio_lines || w.d >= c.gpio_lines || w.ck == w.d ||
        (w.rst != kNoLine && (w.rst >= c.gpio_lines || w.rst == w.ck || w.rst == w.d)))
        core.fault("configuration: GPIO wiring ck=%u d=%u rst=%d not on %u distinct lines",
                   w.ck, w.d, w.rst == kNoLine ? -1 : static_cast<int>(w.rst), c.gpio_lines);
    for (uint32_t offset : c.gpio_busy)
        if (offset >= c.gpio_lines)
            core.fault("configuration: busy GPIO line %u outside the chip", offset);
    if (!c.gpio_chip.empty() && c.gpio_chip == c.device)
        core.fault("configuration: the GPIO chip path is the device path; the device is served");
}

__attribute__((constructor)) void load_from_environment()
{
    configure(config_from_env());
}

__attribute__((destructor)) void save_at_exit()
{
    // Only the process that used the device: a wrapper that merely loaded the
    // library (timeout, env) would overwrite what that process saved.
    if (g_sim && g_sim->active && g_sim->used && g_sim->dirty)
        save();
}

}  // namespace

Sim& sim()
{
    if (!g_sim)
        g_sim = new Sim;
    return *g_sim;
}

Sim* sim_if_created() { return g_sim; }

void configure(const Config& config)
{
    Sim& s = sim();
    Core& c = s.core;
    c.cfg = config;
    c.stats = Stats{};
    c.requests = 0;
    c.trace.clear();
    c.frames.clear();
    c.faults.clear();
    c.fault_total = 0;
    c.rng.state = config.seed;
    c.desync = false;
    c.mid_low_rng.state = config.mid_low_seed;
    c.response_rng.state = config.response_seed;
    c.command_completed = false;
    if (c.cfg.trace) {
        c.trace.reserve(kTraceReserve);
        c.frames.reserve(kTraceReserve / 8);
    }
    check_config(c);
    s.feed.reset();
    s.clock.configure();
    s.adapter.reset();
    s.gpio.configure();
    s.usb.configure();
    s.target.configure();
    s.wire.reset();
    load_flash(c, s.target.flash);
    s.last_start_ns = 0;
    s.last_end_ns = 0;
    s.unclaimed_fault = false;
    s.dirty = true;
    s.active = true;
}

const Config& config() { return sim().core.cfg; }
std::string trace() { return sim().core.trace; }
std::string frames() { return sim().core.frames; }
const std::vector<std::string>& faults() { return sim().core.faults; }
uint64_t fault_count() { return sim().core.fault_total; }
const Stats& stats() { return sim().core.stats; }
std::string report() { return report(sim().core); }
std::vector<uint8_t>& flash() { return sim().target.flash; }
bool programming_mode() { return sim().target.programming_mode(); }

void save()
{
    Sim& s = sim();
    save_files(s.core, s.target.flash);
    s.dirty = false;
}

}  // namespace harlune_sim
