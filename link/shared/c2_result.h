// The result every layer shares for an exchange that a host hold-up
// disturbed.
#pragma once

// A C2 exchange during which a clock pulse was held too long: the target may
// have reset, and nothing the exchange carried can be trusted.
constexpr int C2_DISTURBED = -2;
