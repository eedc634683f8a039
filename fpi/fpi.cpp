// Flash programming over C2: every command selects the programming data
// register, then alternates one-byte data frames with status polls.
//
// Each command runs as one watched sequence of the link's strobe watchdog.
// Once it trips, nothing the frames carried can be trusted (a reset target
// reads as all ones and refuses nothing): the command stops at the next frame
// boundary without a message and is redone from a fresh start-up.
#include "fpi.h"

#include <algorithm>
#include <cstdio>

#include "c2.h"

namespace {


const char *const FLASH_CHANGED = "The flash content is incomplete: program the device again";

bool cut() { return c2_watch_held() != 0; }

const char *const WAIT_FIELD = "the WAIT field of a data frame";

// A wait that timed out after the watchdog noted a hold: the hold may have
// reset the target (a long erase), or the target may be gone. The command is
// redone once; a second such time-out in a row stands. what == nullptr: the
// caller's caller reports it (start-up, device id read).
struct {
    const char *fn, *what;
} held_timeout = {nullptr, nullptr};

int timed_out(const char *fn, const char *what)
{
    if (cut()) {
        held_timeout = {fn, what};
        return C2_DISTURBED;
    }
    if (what)
        fprintf(stderr, "Timed out waiting for %s in %s\n", what, fn);
    return -1;
}

int select_fpdat()
{
    AddressWrite(C2_FPDAT);
    return cut() ? C2_DISTURBED : 0;
}

int put(const char *fn, uint8_t byte)
{
    if (DataWrite(0, byte) == C2_TIMEOUT)
        return timed_out(fn, WAIT_FIELD);
    return cut() ? C2_DISTURBED : 0;
}

int get(const char *fn, uint32_t *value)
{
    if (DataRead(0, value) == C2_TIMEOUT)
        return timed_out(fn, WAIT_FIELD);
    return cut() ? C2_DISTURBED : 0;
}

int in_busy(const char *fn)
{
    int rc = c2_wait_in_busy();
    return rc == -1 ? timed_out(fn, "in-busy to clear") : rc;
}

int out_ready(const char *fn, uint32_t limit_ms = C2_POLL_LIMIT_MS)
{
    int rc = c2_wait_out_ready(limit_ms);
    return rc == -1 ? timed_out(fn, "out-ready") : rc;
}

// Read the status the target offers; which is 1 or 2 for the message.
int status(const char *fn, int which)
{
    uint32_t value;
    int rc;
    if ((rc = out_ready(fn)) || (rc = get(fn, &value)))
        return rc;
    if (value != C2_COMMAND_OK) {
        fprintf(stderr, "Status%d 0x%2.2lx instead of 0x0d in %s\n", which,
                static_cast<unsigned long>(value), fn);
        return -1;
    }
    return 0;
}

// Select the data register, send the command code, read the first status.
int head(const char *fn, uint8_t code)
{
    int rc;
    if ((rc = select_fpdat()) || (rc = put(fn, code)) || (rc = in_busy(fn)))
        return rc;
    return status(fn, 1);
}

// Address high byte, low byte and length byte (256 goes out as 0x00), then
// the second status.
int block_head(const char *fn, uint8_t code, int32_t address, int32_t length)
{
    int rc;
    if ((rc = head(fn, code)) ||
        (rc = put(fn, static_cast<uint8_t>(address >> 8))) || (rc = in_busy(fn)) ||
        (rc = put(fn, static_cast<uint8_t>(address))) || (rc = in_busy(fn)) ||
        (rc = put(fn, static_cast<uint8_t>(length))) || (rc = in_busy(fn)))
        return rc;
    return status(fn, 2);
}

int init_once()
{
    C2CK_reset();
    udelay(2);
    AddressWrite(C2_FPCTL);
    int rc = DataWrite(0, 0x02);
    int last = DataWrite(0, 0x01);
    udelay(20000);  // the programming interface needs 20 ms before a command
    if (rc == C2_TIMEOUT || last == C2_TIMEOUT)
        return timed_out("c2_init", nullptr);
    return cut() ? C2_DISTURBED : 0;
}

int block_write_once(int32_t address, const uint8_t *data, int32_t length)
{
    const char *fn = "c2_block_write";
    int rc;
    if ((rc = block_head(fn, C2_BLOCK_WRITE, address, length)))
        return rc;
    for (int32_t i = 0; i < length; ++i)
        if ((rc = put(fn, data[i])) || (rc = in_busy(fn)))
            return rc;
    return out_ready(fn);  // the status then offered is not read
}

int block_read_once(int32_t address, uint8_t *buffer, int32_t length)
{
    const char *fn = "c2_block_read";
    int rc;
    if ((rc = block_head(fn, C2_BLOCK_READ, address, length)))
        return rc;
    // Each byte lands in buffer[i] by the next frame that needs an answer:
    // an FTDI chip sends it with the next poll (c2_sync after the loop).
    for (int32_t i = 0; i < length; ++i) {
        if ((rc = out_ready(fn)))
            return rc;
        if (DataReadByte(&buffer[i]) == C2_TIMEOUT)
            return timed_out(fn, WAIT_FIELD);
        if (cut())
            return C2_DISTURBED;
    }
    return 0;
}

// What a redo note names: "block read at 0x0100", "page erase of page 3".
struct Op {
    const char *what;
    const char *at;  // printf format for value, or nullptr
    long value;
};

// "harlune: <op> <text>" as one line on stderr, after what stdout holds.
void say(const Op &op, const char *text)
{
    char where[32] = "";
    if (op.at)
        snprintf(where, sizeof where, op.at, op.value);
    fflush(stdout);
    fprintf(stderr, "harlune: %s%s %s\n", op.what, where, text);
}

unsigned long long to_us(uint64_t ns) { return (ns + 999) / 1000; }

// Run once(address, length) as watched sequences until a try is not
// disturbed, restarting the target before each redo (the start-up restarts
// itself). length > 0: a block, redone in smaller pieces after a disturbance;
// 0: one indivisible command. The first undisturbed failure (its message
// printed from clean frames) or the second time-out in a row after a hold,
// 0, or C2_DISTURBED after the diagnostic once C2_REDO_LIMIT redos in a row
// made no progress.
template <typename Once>
int undisturbed(const Op &op, bool restart, int32_t address, int32_t length, Once once)
{
    bool block = length > 0;
    int32_t total = block ? length : 1, piece = total;
    uint64_t worst = 0;
    int redos = 0;
    bool timeout_redone = false;
    for (int32_t done = 0; done < total;) {
        int32_t n = std::min(piece, total - done);
        held_timeout = {nullptr, nullptr};
        c2_watch_start();
        int rc = once(address + done, n);
        uint64_t held = c2_watch_end();
        if (rc != 0 && rc != C2_DISTURBED)
            return rc;
        if (held == 0) {
            done += n;
            redos = 0;
            timeout_redone = false;
            continue;
        }
        if (held_timeout.fn && timeout_redone) {
            if (held_timeout.what)
                fprintf(stderr, "Timed out waiting for %s in %s\n", held_timeout.what, held_timeout.fn);
            return -1;
        }
        timeout_redone = held_timeout.fn != nullptr;
        worst = std::max(worst, held);
        Op at = op;
        if (block)
            at.value = address + done;
        char text[320];
        if (redos++ == C2_REDO_LIMIT) {
            snprintf(text, sizeof text,
                     "given up after %d redos in a row: the host was held up to %llu us inside C2 clock "
                     "pulses, and a clock pulse of 20 us resets the target. Run harlune at real-time "
                     "priority (for example chrt -f 50 harlune ...) or on a quieter machine",
                     C2_REDO_LIMIT, to_us(worst));
            say(at, text);
            return C2_DISTURBED;
        }
        char next[64];
        if (block) {
            piece = std::max(C2_MIN_PIECE, piece / 2);
            snprintf(next, sizeof next, "target restarted, redoing it in pieces of %d bytes",
                     std::min(piece, total - done));
        } else {
            snprintf(next, sizeof next, "%s", restart ? "target restarted, redoing it" : "redoing it");
        }
        snprintf(text, sizeof text, "disturbed: the host was held up %llu us inside a C2 frame; %s", to_us(held), next);
        say(at, text);
        if (restart && (rc = c2_init()) != 0)
            return rc;
    }
    return 0;
}

void progress_mark()
{
    fputs("#", stdout);
    fflush(stdout);
}

}  // namespace

int c2_init()
{
    return undisturbed(Op{"start-up", nullptr, 0}, false, 0, 0,
                       [](int32_t, int32_t) { return init_once(); });
}

int c2_device_id()
{
    uint32_t value = 0;
    int rc = undisturbed(Op{"device id read", nullptr, 0}, true, 0, 0, [&value](int32_t, int32_t) {
        AddressWrite(C2_DEVICEID);
        if (DataRead(0, &value) == C2_TIMEOUT)
            return timed_out("c2_device_id", nullptr);
        return cut() ? C2_DISTURBED : 0;
    });
    return rc == 0 ? static_cast<int>(value & 0xFF) : rc;
}

namespace {

// Poll the interface status until `mask` is set (or clear). As in a WAIT
// field, a hold in the first C2_ANSWER_WINDOW polls cuts the poll short; a
// later one is the caller's to weigh once the poll ends.
int poll(uint8_t mask, bool set, uint32_t limit_ms)
{
    c2_deadline d;
    c2_deadline_start(&d, limit_ms);
    for (uint32_t n = 1;; ++n) {
        if (((AddressRead() & mask) != 0) == set)
            return cut() ? C2_DISTURBED : 0;
        if (cut() && n <= C2_ANSWER_WINDOW)
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
    // Writing a byte again only clears the bits it cleared before: a
    // disturbed piece is safe to write again.
    int rc = undisturbed(Op{"block write", " at 0x%4.4lx", 0}, true, address, length,
                         [address, data](int32_t a, int32_t n) { return block_write_once(a, data + (a - address), n); });
    if (rc != 0)
        return -1;
    progress_mark();
    return 0;
}

int c2_block_read(int32_t address, uint8_t *buffer, int32_t length)
{
    // A disturbed piece's bytes are read again before anyone sees them.
    int rc = undisturbed(Op{"block read", " at 0x%4.4lx", 0}, true, address, length,
                         [address, buffer](int32_t a, int32_t n) {
                             int r = block_read_once(a, buffer + (a - address), n);
                             c2_sync();
                             return r;
                         });
    if (rc != 0)
        return -1;
    progress_mark();
    return 0;
}

int c2_page_erase(uint8_t page)
{
    c2_interrupt_note(FLASH_CHANGED);
    const char *fn = "c2_page_erase";
    int rc = undisturbed(Op{"page erase", " of page %ld", page}, true, 0, 0, [fn, page](int32_t, int32_t) {
        int r;
        if ((r = head(fn, C2_PAGE_ERASE)) || (r = put(fn, page)) || (r = in_busy(fn)) ||
            (r = status(fn, 2)) || (r = put(fn, 0x00)) || (r = in_busy(fn)))
            return r;
        return out_ready(fn);  // the status then offered is not read
    });
    return rc == 0 ? 0 : -1;
}

int c2_device_erase()
{
    c2_interrupt_note(FLASH_CHANGED);
    const char *fn = "c2_device_erase";
    int rc = undisturbed(Op{"device erase", nullptr, 0}, true, 0, 0, [fn](int32_t, int32_t) {
        int r;
        if ((r = head(fn, C2_DEVICE_ERASE)))
            return r;
        static const uint8_t arming[] = {0xDE, 0xAD, 0xA5};
        for (uint8_t byte : arming)
            if ((r = put(fn, byte)) || (r = in_busy(fn)))
                return r;
        // The erase itself ends with out-ready; its status is not read.
        return out_ready(fn, C2_ERASE_LIMIT_MS);
    });
    return rc == 0 ? 0 : -1;
}
