// Flash programming over C2: every command selects the programming data
// register, then alternates one-byte data frames with status polls.
//
// Each try of a command is one watched sequence of the link's strobe
// watchdog. Once it notes a held clock pulse, nothing the frames carried from
// then on can be trusted (a reset target reads as all ones and refuses
// nothing): the try stops at the next frame boundary without a message, the
// target is restarted and the command goes on from what got through.
#include "fpi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "c2.h"

namespace {

const char *const FLASH_CHANGED = "The flash content is incomplete: program the device again";
const char *const WAIT_FIELD = "the WAIT field of a data frame";
const char *const REMEDY = "run harlune at real-time priority (for example chrt -f 50 harlune ...) "
                           "or on a quieter machine";

// One try of an exchange.
struct Try {
    const char *fn;                   // names the exchange in a time-out message
    bool quiet = false;               // time-outs are the caller's to report
    const char *timed_out = nullptr;  // a wait that timed out after a held pulse: what it waited for
    int32_t done = 0;                 // block commands: bytes moved before the first held pulse
};

bool progress_open = false;  // "#" marks on stdout since its last newline

bool held() { return c2_watch_held() != 0; }

int after_frame() { return held() ? C2_DISTURBED : 0; }

int report_timeout(const Try &t, const char *what)
{
    if (!t.quiet) {
        c2_note_start();
        fprintf(stderr, "Timed out waiting for %s in %s\n", what, t.fn);
    }
    return -1;
}

// A wait that timed out. After a held pulse the hold may be why (a reset
// target stays silent): the try is disturbed, and the time-out stands only
// if the redo times out as well.
int timed_out(Try &t, const char *what)
{
    if (!held())
        return report_timeout(t, what);
    t.timed_out = what;
    return C2_DISTURBED;
}

int select_fpdat()
{
    AddressWrite(C2_FPDAT);
    return after_frame();
}

int put(Try &t, uint8_t byte)
{
    if (DataWrite(0, byte) == C2_TIMEOUT)
        return timed_out(t, WAIT_FIELD);
    return after_frame();
}

int get(Try &t, uint32_t *value)
{
    if (DataRead(0, value) == C2_TIMEOUT)
        return timed_out(t, WAIT_FIELD);
    return after_frame();
}

int in_busy(Try &t)
{
    int rc = c2_wait_in_busy();
    return rc == -1 ? timed_out(t, "in-busy to clear") : rc;
}

int out_ready(Try &t, uint32_t limit_ms = C2_POLL_LIMIT_MS)
{
    int rc = c2_wait_out_ready(limit_ms);
    return rc == -1 ? timed_out(t, "out-ready") : rc;
}

// Read the status the target offers; which is 1 or 2 for the message.
int status(Try &t, int which)
{
    uint32_t value;
    int rc;
    if ((rc = out_ready(t)) || (rc = get(t, &value)))
        return rc;
    if (value != C2_COMMAND_OK) {
        c2_note_start();
        fprintf(stderr, "Status%d 0x%2.2lx instead of 0x0d in %s\n", which,
                static_cast<unsigned long>(value), t.fn);
        return -1;
    }
    return 0;
}

// Select the data register, send the command code, read the first status.
int head(Try &t, uint8_t code)
{
    int rc;
    if ((rc = select_fpdat()) || (rc = put(t, code)) || (rc = in_busy(t)))
        return rc;
    return status(t, 1);
}

// Address high byte, low byte and length byte (256 goes out as 0x00), then
// the second status.
int block_head(Try &t, uint8_t code, int32_t address, int32_t length)
{
    int rc;
    if ((rc = head(t, code)) ||
        (rc = put(t, static_cast<uint8_t>(address >> 8))) || (rc = in_busy(t)) ||
        (rc = put(t, static_cast<uint8_t>(address))) || (rc = in_busy(t)) ||
        (rc = put(t, static_cast<uint8_t>(length))) || (rc = in_busy(t)))
        return rc;
    return status(t, 2);
}

int init_once(Try &t)
{
    C2CK_reset();
    udelay(2);
    AddressWrite(C2_FPCTL);
    int rc = DataWrite(0, 0x02);
    int last = DataWrite(0, 0x01);
    udelay(20000);  // the programming interface needs 20 ms before a command
    if (rc == C2_TIMEOUT || last == C2_TIMEOUT)
        return timed_out(t, WAIT_FIELD);
    return after_frame();
}

int block_write_once(Try &t, int32_t address, const uint8_t *data, int32_t length)
{
    int rc;
    if ((rc = block_head(t, C2_BLOCK_WRITE, address, length)))
        return rc;
    for (int32_t i = 0; i < length; t.done = ++i)
        if ((rc = put(t, data[i])) || (rc = in_busy(t)))
            return rc;
    return out_ready(t);  // the status then offered is not read
}

int block_read_once(Try &t, int32_t address, uint8_t *buffer, int32_t length)
{
    int rc;
    if ((rc = block_head(t, C2_BLOCK_READ, address, length)))
        return rc;
    // Each byte lands in buffer[i] by the next frame that needs an answer:
    // an FTDI chip sends it with the next poll (c2_sync after the try).
    for (int32_t i = 0; i < length; t.done = ++i) {
        if ((rc = out_ready(t)))
            return rc;
        if (DataReadByte(&buffer[i]) == C2_TIMEOUT)
            return timed_out(t, WAIT_FIELD);
        if ((rc = after_frame()))
            return rc;
    }
    return 0;
}

unsigned long long to_us(uint64_t ns) { return (ns + 999) / 1000; }

int run_redos = 0;  // redos in this run

// One line on stderr, after what stdout holds, and never inside a line of
// progress marks on the same terminal or in the same file.
void say(const char *line)
{
    c2_note_start();
    fprintf(stderr, "harlune: %s\n", line);
}

// The redos of one block or indivisible command, told in at most one line.
class Redo {
public:
    explicit Redo(const char *name) { snprintf(name_, sizeof name_, "%s", name); }

    // The command moved on since its last disturbed try.
    void progress() { in_row_ = 0; }

    // Try t was disturbed, its longest pulse held_ns: 0 to try again (after
    // a restart), or the command's result after its line.
    int disturbed(const Try &t, uint64_t held_ns)
    {
        longest_ = std::max(longest_, held_ns);
        if (t.timed_out && timeout_before_) {
            end(0);
            return report_timeout(t, t.timed_out);
        }
        timeout_before_ = t.timed_out != nullptr;
        char line[400];
        if (in_row_ == C2_REDO_LIMIT || run_redos == C2_RUN_REDO_LIMIT) {
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
        ++run_redos;
        return 0;
    }

    // The target did not answer its restart: in no known state.
    int lost()
    {
        char line[160];
        snprintf(line, sizeof line, "%s given up: the target did not answer its restart", name_);
        say(line);
        redos_ = 0;
        return C2_DISTURBED;
    }

    // The command ends with rc: its line if it was redone; rc.
    int end(int rc)
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
        if (held_ns == 0)
            return rc;
        done += t.done;
        if (t.done > 0)
            r.progress();
        if ((rc = r.disturbed(t, held_ns)) || (rc = restart(r)))
            return rc;
    }
}

void progress_mark()
{
    fputs("#", stdout);
    fflush(stdout);
    progress_open = true;
}

}  // namespace

int c2_init()
{
    Redo r("start-up");
    return r.end(until_undisturbed(r, "c2_init", true, false, init_once));
}

int c2_device_id()
{
    uint32_t value = 0;
    Redo r("device id read");
    int rc = r.end(until_undisturbed(r, "c2_device_id", true, true, [&value](Try &t) {
        AddressWrite(C2_DEVICEID);
        if (DataRead(0, &value) == C2_TIMEOUT)
            return timed_out(t, WAIT_FIELD);
        return after_frame();
    }));
    return rc == 0 ? static_cast<int>(value & 0xFF) : rc;
}

namespace {

// Poll the interface status until `mask` is set (or clear). As in a WAIT
// field, a held pulse in the first C2_ANSWER_WINDOW polls cuts the poll
// short; a later one is the caller's to weigh once the poll ends.
int poll(uint8_t mask, bool set, uint32_t limit_ms)
{
    c2_deadline d;
    c2_deadline_start(&d, limit_ms);
    for (uint32_t n = 1;; ++n) {
        if (((AddressRead() & mask) != 0) == set)
            return after_frame();
        if (held() && n <= C2_ANSWER_WINDOW)
            return C2_DISTURBED;
        if (c2_deadline_passed(&d))
            return -1;
    }
}

}  // namespace

int c2_wait_in_busy() { return poll(C2_IN_BUSY, false, C2_POLL_LIMIT_MS); }

int c2_wait_out_ready(uint32_t limit_ms) { return poll(C2_OUT_READY, true, limit_ms); }

int c2_block_write(int32_t address, const uint8_t *data, int32_t length)
{
    c2_interrupt_note(FLASH_CHANGED);
    char name[32];
    snprintf(name, sizeof name, "block write at 0x%4.4x", static_cast<unsigned>(address));
    Redo r(name);
    for (int32_t done = 0, piece = length; done < length;) {
        int32_t n = std::min(piece, length - done);
        Try t{"c2_block_write"};
        uint64_t held_ns;
        int rc = watched(t, &held_ns, [&](Try &tt) { return block_write_once(tt, address + done, data + done, n); });
        if (held_ns == 0) {
            if (rc != 0)
                return r.end(rc);
            done += n;
            r.progress();
            continue;
        }
        if ((rc = r.disturbed(t, held_ns)) || (rc = restart(r)))
            return r.end(rc);
        // The flash holds every byte before the last one the try moved
        // cleanly; from that one to the piece's end, any may or may not have
        // been written. Read them back and go on from the first wrong one:
        // each rewrite of a flash row counts against its endurance.
        int32_t from = done + std::max(t.done - 1, 0), to = done + n;
        uint8_t back[256];
        if ((rc = read_range(r, address + from, back, to - from)))
            return r.end(rc);
        int32_t k = 0;
        while (from + k < to && back[k] == data[from + k])
            ++k;
        if (from + k > done)
            r.progress();
        done = from + k;
        piece = C2_REPAIR_PIECE;
    }
    r.end(0);
    progress_mark();
    return 0;
}

int c2_block_read(int32_t address, uint8_t *buffer, int32_t length)
{
    char name[32];
    snprintf(name, sizeof name, "block read at 0x%4.4x", static_cast<unsigned>(address));
    Redo r(name);
    int rc = r.end(read_range(r, address, buffer, length));
    if (rc == 0)
        progress_mark();
    return rc;
}

int c2_page_erase(uint8_t page)
{
    c2_interrupt_note(FLASH_CHANGED);
    char name[32];
    snprintf(name, sizeof name, "page erase of page %u", page);
    Redo r(name);
    return r.end(until_undisturbed(r, "c2_page_erase", false, true, [page](Try &t) {
        int rc;
        if ((rc = head(t, C2_PAGE_ERASE)) || (rc = put(t, page)) || (rc = in_busy(t)) ||
            (rc = status(t, 2)) || (rc = put(t, 0x00)) || (rc = in_busy(t)))
            return rc;
        return out_ready(t);  // the status then offered is not read
    }));
}

int c2_device_erase()
{
    c2_interrupt_note(FLASH_CHANGED);
    Redo r("device erase");
    return r.end(until_undisturbed(r, "c2_device_erase", false, true, [](Try &t) {
        int rc;
        if ((rc = head(t, C2_DEVICE_ERASE)))
            return rc;
        static const uint8_t arming[] = {0xDE, 0xAD, 0xA5};
        for (uint8_t byte : arming)
            if ((rc = put(t, byte)) || (rc = in_busy(t)))
                return rc;
        // The erase itself ends with out-ready; its status is not read.
        return out_ready(t, C2_ERASE_LIMIT_MS);
    }));
}

// Standard output and standard error are one terminal or one file (2>&1).
static bool streams_shared()
{
    struct stat out, err;
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 && out.st_dev == err.st_dev &&
           out.st_ino == err.st_ino;
}

void c2_note_start()
{
    fflush(stdout);
    if (progress_open && streams_shared())
        fputc('\n', stderr);
    progress_open = false;
}

void c2_progress_end()
{
    fputs("\n", stdout);
    progress_open = false;
}

void c2_redo_summary()
{
    if (run_redos == 0)
        return;
    c2_watch_totals totals = c2_watch_run();
    char line[400];
    snprintf(line, sizeof line,
             "%d redo%s in this run: %llu C2 clock pulse%s held low 5 us or more (the longest %llu us), "
             "which may reset the target; %s",
             run_redos, run_redos == 1 ? "" : "s", static_cast<unsigned long long>(totals.pulses),
             totals.pulses == 1 ? " was" : "s were", to_us(totals.longest_ns), REMEDY);
    progress_open = false;
    say(line);
}
