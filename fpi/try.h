// One try of a C2 exchange, and the single-try steps of the flash commands
// that the redo engine runs again. Internal to fpi/.
#pragma once

#include <cstdint>

// One try of an exchange.
struct Try {
    const char *fn;                   // names the exchange in a time-out message
    bool quiet = false;               // time-outs are the caller's to report
    const char *timed_out = nullptr;  // a wait that timed out after a held pulse: what it waited for
    int32_t done = 0;                 // block commands: bytes moved before the first held pulse
    bool missed = false;              // a read batch found the target not ready at byte `done`
    uint32_t hold_us = 0;             // a read head: C2CK held high this long before each first sample
};

// The longest held pulse since the try began (0: none yet) decides: 0, or
// C2_DISTURBED once a pulse was held.
int after_frame();
// "Timed out waiting for <what> in <fn>" unless the try is quiet; -1.
int report_timeout(const Try &t, const char *what);

// Single tries, each one watched sequence; 0, -1 (refused, timed out), or
// C2_DISTURBED at the first frame boundary after a held pulse. Block tries
// count in t.done the bytes moved before it.
int init_once(Try &t);
int block_read_once(Try &t, int32_t address, uint8_t *buffer, int32_t length);
int block_write_once(Try &t, int32_t address, const uint8_t *data, int32_t length);
