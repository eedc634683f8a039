// The data-register byte as line roles, and the pair checks of a line or pin
// list (line_roles.h).
#include "line_roles.h"

#include "port.h"

const char *const role_name[ROLE_COUNT] = {"ck", "d", "rst"};

int role_of(const std::string &key)
{
    for (unsigned r = 0; r < ROLE_COUNT; ++r)
        if (key == role_name[r])
            return static_cast<int>(r);
    return -1;
}

LineMasks line_masks(uint8_t data, const unsigned bit[ROLE_COUNT], bool has_rst)
{
    LineMasks m;
    auto drive = [&m, bit](unsigned role, bool level) {
        m.driven |= 1u << bit[role];
        if (level)
            m.high |= 1u << bit[role];
    };
    bool reset = !(data & RST_BIT);
    if (reset && !has_rst)
        drive(ROLE_CK, false);
    else if (!reset && !(data & CK_NEN))
        drive(ROLE_CK, data & CK_LEVEL);
    if (!(data & D_NEN))
        drive(ROLE_D, data & D_LEVEL);
    if (reset && has_rst)
        drive(ROLE_RST, false);
    m.ck_low = (reset && has_rst) || ((m.driven >> bit[ROLE_CK]) & 1u && !((m.high >> bit[ROLE_CK]) & 1u));
    return m;
}

std::string refused_pair(unsigned count, const std::function<const char *(unsigned a, unsigned b)> &refusal)
{
    for (unsigned a = 0; a < count; ++a)
        for (unsigned b = a + 1; b < count; ++b)
            if (const char *why = refusal(a, b))
                return std::string(role_name[a]) + " and " + role_name[b] + " " + why;
    return {};
}
