// The GPIO chip: lines, line requests, the kernel's checks, the wired lines
// as the adapter's byte.
#include "gpio.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "adapter.h"

namespace harlune_sim {

namespace {

constexpr uint64_t kDirection = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT;
constexpr uint64_t kDrive = GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_OPEN_SOURCE;
constexpr uint64_t kEdge = GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
constexpr uint64_t kBias = GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                           GPIO_V2_LINE_FLAG_BIAS_DISABLED;
constexpr uint64_t kValid = GPIO_V2_LINE_FLAG_ACTIVE_LOW | kDirection | kDrive | kEdge | kBias |
                            GPIO_V2_LINE_FLAG_EVENT_CLOCK_REALTIME |
                            GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE;

template <typename T, size_t N>
bool all_zero(const T (&words)[N])
{
    return std::all_of(words, words + N, [](T w) { return w == 0; });
}

uint64_t bit(unsigned index) { return uint64_t{1} << index; }

// The first attribute of `id` that applies to line `index`, or nullptr.
const gpio_v2_line_attribute* attribute(const gpio_v2_line_config& c, uint32_t id, unsigned index)
{
    for (uint32_t i = 0; i < c.num_attrs && i < GPIO_V2_LINE_NUM_ATTRS_MAX; ++i)
        if (c.attrs[i].attr.id == id && (c.attrs[i].mask & bit(index)))
            return &c.attrs[i].attr;
    return nullptr;
}

uint64_t line_flags(const gpio_v2_line_config& c, unsigned index)
{
    const gpio_v2_line_attribute* a = attribute(c, GPIO_V2_LINE_ATTR_ID_FLAGS, index);
    return a ? a->flags : c.flags;
}

int check_flags(uint64_t f)
{
    if (f & ~kValid)
        return EINVAL;
    if (f & GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE)
        return EOPNOTSUPP;  // no timestamp engine
    if ((f & kDirection) == kDirection)
        return EINVAL;
    if ((f & kEdge) && !(f & GPIO_V2_LINE_FLAG_INPUT))
        return EINVAL;
    if ((f & kDrive) == kDrive || ((f & kDrive) && !(f & GPIO_V2_LINE_FLAG_OUTPUT)))
        return EINVAL;
    if ((f & kBias) && !(f & kDirection))
        return EINVAL;
    uint64_t bias = f & kBias;
    if (bias & (bias - 1))
        return EINVAL;  // more than one
    return 0;
}

int check_config(const gpio_v2_line_config& c, unsigned lines)
{
    if (c.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX || !all_zero(c.padding))
        return EINVAL;
    for (unsigned i = 0; i < lines; ++i) {
        uint64_t f = line_flags(c, i);
        if (int e = check_flags(f))
            return e;
        if (attribute(c, GPIO_V2_LINE_ATTR_ID_DEBOUNCE, i) && !(f & GPIO_V2_LINE_FLAG_INPUT))
            return EINVAL;
    }
    return 0;
}

void copy_name(char (&out)[GPIO_MAX_NAME_SIZE], const std::string& text)
{
    snprintf(out, sizeof out, "%s", text.c_str());
}

}  // namespace

void GpioChip::configure()
{
    const Config& c = core_.cfg;
    lines_.assign(c.gpio_lines, Line{});
    for (uint32_t offset : c.gpio_busy)
        if (Line* l = line(offset))
            l->busy = true;
    for (const Request& r : requests_)
        for (uint32_t offset : r.offsets)
            if (Line* l = line(offset); l && !l->busy)
                l->owner = r.fd;
}

GpioChip::Line* GpioChip::line(uint32_t offset)
{
    return offset < lines_.size() ? &lines_[offset] : nullptr;
}

const GpioChip::Line* GpioChip::line(uint32_t offset) const
{
    return offset < lines_.size() ? &lines_[offset] : nullptr;
}

const GpioChip::Request* GpioChip::find(int fd) const
{
    for (const Request& r : requests_)
        if (r.fd == fd)
            return &r;
    return nullptr;
}

void GpioChip::forget_released(int fd)
{
    released_.erase(std::remove(released_.begin(), released_.end(), fd), released_.end());
}

void GpioChip::opened(int fd)
{
    forget_released(fd);
    chip_fds_.push_back(fd);
}

bool GpioChip::is_chip(int fd) const
{
    return std::find(chip_fds_.begin(), chip_fds_.end(), fd) != chip_fds_.end();
}

bool GpioChip::is_request(int fd) const { return find(fd) != nullptr; }

bool GpioChip::was_request(int fd) const
{
    return std::find(released_.begin(), released_.end(), fd) != released_.end();
}

bool GpioChip::closed(int fd)
{
    auto chip = std::find(chip_fds_.begin(), chip_fds_.end(), fd);
    if (chip != chip_fds_.end()) {
        chip_fds_.erase(chip);
        return false;
    }
    for (Line& l : lines_)
        if (l.owner == fd) {
            l.owner = -1;
            l.flags &= kDirection;  // the direction and level stay
        }
    requests_.erase(std::remove_if(requests_.begin(), requests_.end(),
                                   [fd](const Request& r) { return r.fd == fd; }),
                    requests_.end());
    released_.push_back(fd);
    return true;
}

int GpioChip::chip_info(gpiochip_info& info) const
{
    memset(&info, 0, sizeof info);
    const std::string& path = core_.cfg.gpio_chip;
    copy_name(info.name, path.substr(path.rfind('/') + 1));
    copy_name(info.label, "harlune-sim");
    info.lines = static_cast<uint32_t>(lines_.size());
    return 0;
}

int GpioChip::line_info(gpio_v2_line_info& info) const
{
    if (!all_zero(info.padding))
        return EINVAL;
    const Line* l = line(info.offset);
    if (!l)
        return EINVAL;
    uint32_t offset = info.offset;
    memset(&info, 0, sizeof info);
    info.offset = offset;
    std::string name = "GPIO" + std::to_string(offset);
    for (const auto& [named, given] : core_.cfg.gpio_names)
        if (named == offset)
            name = given;
    copy_name(info.name, name);
    info.flags = l->flags;
    if (l->busy) {
        copy_name(info.consumer, "busy");
        info.flags |= GPIO_V2_LINE_FLAG_USED;
    } else if (const Request* r = find(l->owner)) {
        copy_name(info.consumer, r->consumer);
        info.flags |= GPIO_V2_LINE_FLAG_USED;
    }
    return 0;
}

int GpioChip::check_request(const gpio_v2_line_request& request) const
{
    if (request.num_lines == 0 || request.num_lines > GPIO_V2_LINES_MAX ||
        !all_zero(request.padding))
        return EINVAL;
    if (int e = check_config(request.config, request.num_lines))
        return e;
    for (unsigned i = 0; i < request.num_lines; ++i) {
        const Line* l = line(request.offsets[i]);
        if (!l)
            return EINVAL;
        if (l->busy || l->owner >= 0 ||
            std::find(request.offsets, request.offsets + i, request.offsets[i]) !=
                request.offsets + i)
            return EBUSY;
    }
    return 0;
}

void GpioChip::apply(Line& l, const gpio_v2_line_config& config, unsigned index)
{
    uint64_t f = line_flags(config, index);
    uint64_t direction = (f & kDirection) ? f & kDirection : l.flags & kDirection;  // or as is
    l.flags = (f & ~kDirection) | direction;
    if (f & GPIO_V2_LINE_FLAG_OUTPUT) {
        const gpio_v2_line_attribute* a =
            attribute(config, GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES, index);
        int value = a && (a->values & bit(index)) ? 1 : 0;
        l.value = value ^ ((f & GPIO_V2_LINE_FLAG_ACTIVE_LOW) ? 1 : 0);
    }
}

void GpioChip::hold(int fd, const gpio_v2_line_request& request)
{
    forget_released(fd);
    Request r{fd, {}, {request.offsets, request.offsets + request.num_lines}};
    r.consumer.assign(request.consumer, strnlen(request.consumer, sizeof request.consumer));
    if (r.consumer.empty())
        r.consumer.push_back('?');  // not = "?": a false -Wrestrict of GCC 12 at -O2
    for (unsigned i = 0; i < request.num_lines; ++i) {
        Line& l = *line(request.offsets[i]);
        l.owner = fd;
        apply(l, request.config, i);
    }
    requests_.push_back(std::move(r));
    check_reset_fight();
}

int GpioChip::set_config(int fd, const gpio_v2_line_config& config)
{
    const Request* r = find(fd);
    if (int e = check_config(config, static_cast<unsigned>(r->offsets.size())))
        return e;
    for (unsigned i = 0; i < r->offsets.size(); ++i)
        if (Line* l = line(r->offsets[i]))
            apply(*l, config, i);
    check_reset_fight();
    write();
    return 0;
}

int GpioChip::set_values(int fd, const gpio_v2_line_values& values)
{
    const Request* r = find(fd);
    bool any = false;
    for (unsigned i = 0; i < r->offsets.size(); ++i) {
        const Line* l = line(r->offsets[i]);
        if (!(values.mask & bit(i)))
            continue;
        if (!l || !(l->flags & GPIO_V2_LINE_FLAG_OUTPUT))
            return EPERM;
        any = true;
    }
    if (!any)
        return EINVAL;
    for (unsigned i = 0; i < r->offsets.size(); ++i)
        if (values.mask & bit(i)) {
            Line& l = *line(r->offsets[i]);
            int active_low = (l.flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW) ? 1 : 0;
            l.value = ((values.bits & bit(i)) ? 1 : 0) ^ active_low;
        }
    check_reset_fight();
    write();
    return 0;
}

int GpioChip::get_values(int fd, gpio_v2_line_values& values)
{
    bool with_c2d = false;
    if (int e = check_get(fd, values.mask, with_c2d))
        return e;
    int c2d = feed_.read_c2d('g', with_c2d);
    values.bits = this->values(fd, values.mask, c2d, feed_.adapter().c2ck());
    return 0;
}

void GpioChip::check_reset_fight()
{
    const GpioWiring& w = core_.cfg.gpio_wiring;
    const Line* rst = line(w.rst);
    const Line* ck = line(w.ck);
    if (rst && ck && drives(*rst) && rst->value == 0 && drives(*ck))
        core_.fault("C2CK driven %s while the reset line drives it low", ck->value ? "high" : "low");
}

unsigned GpioChip::line_count(int fd) const
{
    const Request* r = find(fd);
    return r ? static_cast<unsigned>(r->offsets.size()) : 0;
}

int GpioChip::check_get(int fd, uint64_t mask, bool& with_c2d) const
{
    const Request* r = find(fd);
    bool any = false;
    with_c2d = false;
    for (unsigned i = 0; i < r->offsets.size(); ++i)
        if (mask & bit(i)) {
            any = true;
            with_c2d |= r->offsets[i] == core_.cfg.gpio_wiring.d;
        }
    return any ? 0 : EINVAL;
}

bool GpioChip::drives(const Line& l)
{
    if (!(l.flags & GPIO_V2_LINE_FLAG_OUTPUT))
        return false;
    if (l.flags & GPIO_V2_LINE_FLAG_OPEN_DRAIN)
        return l.value == 0;
    if (l.flags & GPIO_V2_LINE_FLAG_OPEN_SOURCE)
        return l.value == 1;
    return true;
}

uint64_t GpioChip::values(int fd, uint64_t mask, int c2d, int c2ck) const
{
    const GpioWiring& w = core_.cfg.gpio_wiring;
    const Request* r = find(fd);
    uint64_t bits = 0;
    for (unsigned i = 0; i < r->offsets.size(); ++i) {
        uint32_t offset = r->offsets[i];
        const Line* l = line(offset);
        if (!(mask & bit(i)) || !l)
            continue;
        int level = 0;  // an unwired input: nothing attached
        if (offset == w.d)
            level = c2d;
        else if (offset == w.ck)
            level = c2ck;
        else if (offset == w.rst)
            level = drives(*l) ? l->value : 1;
        else if (drives(*l))
            level = l->value;
        if (l->flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW)
            level ^= 1;
        if (level)
            bits |= bit(i);
    }
    return bits;
}

uint8_t GpioChip::data() const
{
    const GpioWiring& w = core_.cfg.gpio_wiring;
    uint8_t data = 0;
    const Line* rst = line(w.rst);
    if (!rst || !drives(*rst) || rst->value)
        data |= kResetReleased;
    const Line* ck = line(w.ck);
    if (ck && drives(*ck))
        data |= ck->value ? kC2ckLevel : 0;
    else
        data |= kC2ckDriverOff | kC2ckLevel;
    const Line* d = line(w.d);
    if (d && drives(*d))
        data |= d->value ? kC2dLevel : 0;
    else
        data |= kC2dDriverOff | kC2dLevel;
    return data;
}

bool GpioChip::reset_wired() const { return line(core_.cfg.gpio_wiring.rst) != nullptr; }

void GpioChip::drive() { feed_.drive(data(), reset_wired()); }

void GpioChip::write()
{
    const GpioWiring& w = core_.cfg.gpio_wiring;
    char out[4] = {'G'};
    const uint32_t offsets[] = {w.ck, w.d, w.rst};
    for (int i = 0; i < 3; ++i) {
        const Line* l = line(offsets[i]);
        char c = '-';
        if (l && l->owner >= 0)
            c = (l->flags & GPIO_V2_LINE_FLAG_OUTPUT) ? static_cast<char>('0' + l->value) : 'z';
        out[1 + i] = c;
    }
    feed_.write(data(), reset_wired(), {out, 4});
}

}  // namespace harlune_sim
