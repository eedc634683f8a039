// The redo engine: a try during which the link's strobe watchdog saw a held
// clock pulse may have been cut by a target reset, so nothing it carried
// from then on can be trusted. The try stops at the next frame boundary, the
// target is restarted into programming mode and the command goes on from
// what got through: a block read from its first byte not read cleanly, a
// block write by reading back and rewriting from the first wrong byte,
// anything else whole. Too many redos give the command up. Internal to fpi/.
#pragma once

#include <cstdint>

#include "c2.h"
#include "try.h"

// The redos of one block or indivisible command, told in at most one line.
class Redo {
public:
    explicit Redo(const char *name);

    // The command moved on since its last disturbed try.
    void progress() { in_row_ = 0; }
    // Try t was disturbed, its longest pulse held_ns: 0 to try again (after
    // a restart), or the command's result after its line.
    int disturbed(const Try &t, uint64_t held_ns);
    // The target did not answer its restart: in no known state.
    int lost();
    // The command ends with rc: its line if it was redone; rc.
    int end(int rc);

private:
    char name_[48];
    int redos_ = 0;
    int in_row_ = 0;
    uint64_t longest_ = 0;
    bool timeout_before_ = false;
};

// One try of once(t) as a watched sequence: its result, and in *held_ns the
// longest held pulse (0: the try is good).
template <typename Once>
int watched(Try &t, uint64_t *held_ns, Once once)
{
    c2_watch_start();
    int rc = once(t);
    *held_ns = c2_watch_end();
    return rc;
}

// Restart the target into programming mode after a disturbed try; its own
// disturbed tries count for r. 0 or the command's result.
int restart(Redo &r);

// Run once(t) until a try is not disturbed, restarting the target before
// each redo when `restart_first`. The undisturbed try's result, or the
// command's result once it is given up.
template <typename Once>
int until_undisturbed(Redo &r, const char *fn, bool quiet, bool restart_first, Once once)
{
    for (;;) {
        Try t{fn, quiet};
        uint64_t held_ns;
        int rc = watched(t, &held_ns, once);
        if (held_ns == 0)
            return rc;
        if ((rc = r.disturbed(t, held_ns)) || (restart_first && (rc = restart(r))))
            return rc;
    }
}

// Read length bytes from address, going on after a disturbed try from the
// first byte it did not read cleanly.
int read_range(Redo &r, int32_t address, uint8_t *buffer, int32_t length);
// Write length bytes at address; after a disturbed try, read back what it
// may have written and go on from the first wrong byte, in pieces of
// C2_REPAIR_PIECE.
int write_range(Redo &r, int32_t address, const uint8_t *data, int32_t length);
