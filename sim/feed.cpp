// What every port hands the adapter: data writes, status reads, strobes
// picked for stalls and holds.
#include "feed.h"

#include <algorithm>
#include <vector>

#include "record.h"

namespace harlune_sim {

namespace {

bool picked(const std::vector<uint64_t>& numbers, uint64_t strobe)
{
    return std::find(numbers.begin(), numbers.end(), strobe) != numbers.end();
}

}  // namespace

void Feed::reset()
{
    stall_rng_.state = core_.cfg.stall_seed;
    strobes_picked_ = 0;
    low_strobe_ = 0;
    holds_picked_ = 0;
    stall_owed_ns_ = 0;
    hold_due_ = false;
    hold_pending_ = false;
}

bool Feed::stall_selected(uint64_t strobe)
{
    const Config& c = core_.cfg;
    bool selected = picked(c.stall_at, strobe) || (c.stall_every && strobe % c.stall_every == 0);
    // Drawn for every strobe, so strobe n gets the same draw whatever else is set.
    if (c.stall_one_in && stall_rng_.next() % c.stall_one_in == 0)
        selected = true;
    return selected;
}

// The write that ends a strobe picked by hold_at makes a hold due. A number
// a reset pulse gave back (no reset control) ends no strobe and is not
// considered twice.
void Feed::drive(uint8_t data, bool reset_control, std::string_view token)
{
    Core& c = core_;
    if (!token.empty() && c.cfg.trace)
        append_token(c.trace, token.data(), token.size());
    Adapter::Result result = adapter_.write(data, reset_control);
    if (result.rose) {
        uint64_t ended = low_strobe_;
        low_strobe_ = 0;
        if (ended && ended <= c.stats.strobes && ended > holds_picked_) {
            holds_picked_ = ended;
            hold_due_ = picked(c.cfg.hold_at, ended);
        }
    }
    if (!result.strobe)
        return;
    uint64_t strobe = ++c.stats.strobes;
    low_strobe_ = strobe;
    if (strobe <= strobes_picked_)
        return;
    strobes_picked_ = strobe;
    if (stall_selected(strobe) && c.cfg.stall_ns) {
        ++c.stats.stalls;
        stall_owed_ns_ += c.cfg.stall_ns;
    }
}

void Feed::write(uint8_t data, bool reset_control, std::string_view token)
{
    ++core_.stats.writes;
    drive(data, reset_control, token);
}

uint8_t Feed::read_status()
{
    ++core_.stats.reads;
    uint8_t status = adapter_.read_status();
    trace_byte(core_, 'R', status);
    return status;
}

int Feed::read_c2d(char kind, bool with_c2d)
{
    ++core_.stats.reads;
    int c2d = 1;
    if (with_c2d)
        c2d = (adapter_.read_status() & 0x80) ? 0 : 1;  // C2D low shows on status bit 7
    if (core_.cfg.trace) {
        char token[2] = {kind, with_c2d ? static_cast<char>('0' + c2d) : '-'};
        append_token(core_.trace, token, 2);
    }
    return c2d;
}

uint64_t Feed::take_stall()
{
    uint64_t ns = stall_owed_ns_;
    stall_owed_ns_ = 0;
    return ns;
}

// The host is held once the request has returned, at its next clock read or
// request, so that a host timing its strobes from before C2CK goes low to
// after it is high again never sees it.
void Feed::returned()
{
    Core& c = core_;
    if (!adapter_.c2ck())
        return;
    bool due = hold_due_ || (c.command_completed && c.cfg.hold_after_commands);
    hold_due_ = false;
    c.command_completed = false;
    hold_pending_ = due && c.cfg.hold_ns;
}

void Feed::take_hold()
{
    if (!hold_pending_)
        return;
    hold_pending_ = false;
    ++core_.stats.holds;
    clock_.hold(core_.cfg.hold_ns);
}

}  // namespace harlune_sim
