// The redo engine: tries, restart, resume, repair and give-up.
#include "redo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "fpi.h"

Redo::Redo(const char *name) { snprintf(name_, sizeof name_, "%s", name); }

int Redo::disturbed(const Try &t, uint64_t held_ns)
{
    longest_ = std::max(longest_, held_ns);
    if (t.timed_out && timeout_before_) {
        end(0);
        return report_timeout(t, t.timed_out);
    }
    timeout_before_ = t.timed_out != nullptr;
    char line[400];
    if (in_row_ == C2_REDO_LIMIT || run_redos() == C2_RUN_REDO_LIMIT) {
        if (in_row_ == C2_REDO_LIMIT)
            snprintf(line, sizeof line, "%s given up after %d redos in a row", name_, C2_REDO_LIMIT);
        else
            snprintf(line, sizeof line, "%s given up after %d redos in this run", name_, C2_RUN_REDO_LIMIT);
        snprintf(line + strlen(line), sizeof line - strlen(line),
                 ": C2 clock pulses were held low up to %llu us, and one held 5 us or more may reset "
                 "the target; %s",
                 to_us(longest_), REMEDY);
        say(line);
        redos_ = 0;
        return C2_DISTURBED;
    }
    ++in_row_;
    ++redos_;
    count_redo();
    return 0;
}

int Redo::lost()
{
    char line[160];
    snprintf(line, sizeof line, "%s given up: the target did not answer its restart", name_);
    say(line);
    redos_ = 0;
    return C2_DISTURBED;
}

int Redo::end(int rc)
{
    if (redos_ > 0) {
        char line[200];
        snprintf(line, sizeof line,
                 "%s redone %d time%s: C2 clock pulses were held low up to %llu us, which may reset "
                 "the target",
                 name_, redos_, redos_ == 1 ? "" : "s", to_us(longest_));
        say(line);
        redos_ = 0;
    }
    return rc;
}

int restart(Redo &r)
{
    for (;;) {
        Try t{"c2_init", true};
        uint64_t held_ns;
        int rc = watched(t, &held_ns, init_once);
        if (held_ns == 0)
            return rc == 0 ? 0 : r.lost();
        if ((rc = r.disturbed(t, held_ns)))
            return rc == -1 ? r.lost() : rc;
    }
}

int read_range(Redo &r, int32_t address, uint8_t *buffer, int32_t length)
{
    for (int32_t done = 0;;) {
        Try t{"c2_block_read"};
        uint64_t held_ns;
        int rc = watched(t, &held_ns, [&](Try &tt) {
            int once = block_read_once(tt, address + done, buffer + done, length - done);
            c2_sync();
            return once;
        });
        if (held_ns == 0 && !t.missed)
            return rc;
        done += t.done;
        if (t.done > 0)
            r.progress();
        // A batch that found the target late: no redo, but a restart all the same.
        if ((held_ns != 0 && (rc = r.disturbed(t, held_ns))) || (rc = restart(r)))
            return rc;
    }
}

int write_range(Redo &r, int32_t address, const uint8_t *data, int32_t length)
{
    for (int32_t done = 0, piece = length; done < length;) {
        int32_t n = std::min(piece, length - done);
        Try t{"c2_block_write"};
        uint64_t held_ns;
        int rc = watched(t, &held_ns, [&](Try &tt) { return block_write_once(tt, address + done, data + done, n); });
        if (held_ns == 0) {
            if (rc != 0)
                return rc;
            done += n;
            r.progress();
            continue;
        }
        if ((rc = r.disturbed(t, held_ns)) || (rc = restart(r)))
            return rc;
        // The flash holds every byte before the last one the try moved
        // cleanly; from that one to the piece's end, any may or may not have
        // been written. Read them back and go on from the first wrong one:
        // each rewrite of a flash row counts against its endurance.
        int32_t from = done + std::max(t.done - 1, 0), to = done + n;
        uint8_t back[256];
        if ((rc = read_range(r, address + from, back, to - from)))
            return rc;
        int32_t k = 0;
        while (from + k < to && back[k] == data[from + k])
            ++k;
        if (from + k > done)
            r.progress();
        done = from + k;
        piece = C2_REPAIR_PIECE;
    }
    return 0;
}
