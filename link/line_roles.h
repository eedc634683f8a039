// The adapter's data-register byte as line roles, for the ports that drive
// C2CK, C2D and an optional reset line themselves (GPIO, FTDI), and the
// checks of a C2_PROG_DEV line or pin list that name the roles.
//
//   C2CK  reset active (bit 3 clear): driven low without a reset line, an
//         input with one (rst holds the pin low; C2CK driven high would
//         fight it); otherwise driver on (bit 4 clear): driven at bit 5,
//         else input
//   C2D   driver on (bit 6 clear): driven at bit 7, else input
//   rst   reset active: driven low, else input
#pragma once

#include <cstdint>
#include <functional>
#include <string>

enum LineRole { ROLE_CK = 0, ROLE_D = 1, ROLE_RST = 2 };
constexpr unsigned ROLE_COUNT = 3;
extern const char *const role_name[ROLE_COUNT];  // "ck", "d", "rst": the list's keys

// The role a list key names, or -1.
int role_of(const std::string &key);

// What one data-register byte asks of the lines, as bit masks with bit[role]
// set for each role: the driven lines, and of them the high ones. Without a
// reset line (has_rst false) bit[ROLE_RST] is not used.
struct LineMasks {
    uint32_t driven = 0, high = 0;
    bool ck_low = false;  // C2CK held low: driven low, or by the reset line
};
LineMasks line_masks(uint8_t data, const unsigned bit[ROLE_COUNT], bool has_rst);

// Each pair of the first `count` roles, in list order (ck-d, ck-rst, d-rst),
// to `refusal`, which says why the two cannot go together ("are the same
// line"), or returns nullptr. "<a> and <b> <why>" of the first refused pair,
// or an empty string.
std::string refused_pair(unsigned count, const std::function<const char *(unsigned a, unsigned b)> &refusal);
