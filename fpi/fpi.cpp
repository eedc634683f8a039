// The flash commands over C2: every command selects the programming data
// register, then alternates one-byte data frames with status polls. Each
// try of a command is one watched sequence of the link's strobe watchdog;
// redo.cpp runs the tries.
#include "fpi.h"

#include <algorithm>
#include <cstdio>

#include "c2.h"
#include "c2_stop.h"
#include "console.h"
#include "redo.h"
#include "try.h"

namespace {

const char *const FLASH_CHANGED = "The flash content is incomplete: program the device again";
const char *const WAIT_FIELD = "the WAIT field of a data frame";
bool held() { return c2_watch_held() != 0; }

// Block reads: the first bytes of a run one answer at a time, counting the
// samples their polls and WAIT fields took; then in batches where the port can (the
// hold learned from that count), until too many batches missed.
enum class Reads { learn, batched, one_by_one };
Reads reads = Reads::learn;
uint32_t poll_most = 0;   // the most polls one wait for a flag took since reset
uint32_t hold_us = 0;     // before each poll and WAIT field of a batch
int misses = 0;           // batches that found the target not ready, in this run
// The bytes of the next batch: one once the hold is learned or has missed,
// doubling with each batch that came back ready. A WAIT field that outlasts
// the hold puts the target out of step for the rest of its batch (it may
// take the frames after it for writes): a hold too short is found by small
// batches first.
int32_t batch_now = 1;
// The hold over what the first block showed; a miss doubles it up to the
// longest the chip holds on its own clock.
// A flash byte is fetched within microseconds: a target slower than
// HOLD_MOST_US is read one answer at a time rather than with holds that
// would cost more than the round trips they save.
constexpr uint32_t HOLD_MARGIN_US = 2, HOLD_MOST_US = 64;
// The bytes of the run's first block read one answer at a time, counted.
constexpr int32_t LEARN_BYTES = 8;
// Misses in a run before the rest of it reads one answer at a time.
constexpr int MISS_LIMIT = 12;

// The first `bytes` bytes, read one answer at a time since `start`, answered
// each sample within `most` samples, one sample taking `sample_ns` (a round
// trip, two a byte). At the first sample: within the frame's own strobes,
// so a margin is held. Later: within the round trips of the extra samples,
// which are held (bounded). Batches from then on.
void learn(int32_t bytes, uint64_t start)
{
    c2_sync();
    uint32_t most = std::max(poll_most, c2_wait_most());
    uint64_t sample_ns = (c2_now_ns() - start) / (2 * static_cast<uint64_t>(bytes));
    reads = Reads::batched;
    batch_now = 1;
    uint64_t us = most <= 1 ? 0 : (most - 1) * sample_ns / 1000;
    hold_us = static_cast<uint32_t>(std::min<uint64_t>(us + HOLD_MARGIN_US, HOLD_MOST_US));
}

// A batch found the target late: the hold grows; too many such, or one
// WAIT field not ended (the target then took the frames after it out of
// step), and the run reads one answer at a time from then on.
void missed(bool wait_late)
{
    hold_us = std::min(2 * hold_us + HOLD_MARGIN_US, HOLD_MOST_US);
    batch_now = 1;
    if (++misses < MISS_LIMIT && !wait_late)
        return;
    reads = Reads::one_by_one;
    char line[160];
    snprintf(line, sizeof line,
             "the target answered %d read batch%s too late: reads go on one answer at a time", misses,
             misses == 1 ? "" : "es");
    say(line);
}

// The data bytes of a block read in batches. A byte counts once its batch
// came back with every poll and WAIT sample showing the target ready and no
// held pulse; at the first that did not, t.done and t.missed tell the redo
// engine where to go on.
int batched_data(Try &t, uint8_t *buffer, int32_t from, int32_t length)
{
    int32_t batch = c2_batch_bytes();
    for (int32_t i = from; i < length; batch_now = std::min(2 * batch_now, batch)) {
        int32_t n = std::min({batch_now, batch, length - i});
        bool wait_late;
        int32_t good = c2_read_batch(buffer + i, n, C2_OUT_READY, hold_us, &wait_late);
        if (int rc = after_frame())
            return rc;
        t.done = i += good;
        if (good < n) {
            t.missed = true;
            missed(wait_late);
            return C2_DISTURBED;
        }
    }
    return 0;
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
    if (DataWrite(0, byte, t.hold_us) == C2_TIMEOUT)
        return timed_out(t, WAIT_FIELD);
    return after_frame();
}

int get(Try &t, uint32_t *value)
{
    if (DataRead(0, value) == C2_TIMEOUT)
        return timed_out(t, WAIT_FIELD);
    return after_frame();
}

// A read head's hold before a poll's first sample.
void hold_first(const Try &t)
{
    if (t.hold_us)
        udelay(t.hold_us);
}

int in_busy(Try &t)
{
    hold_first(t);
    int rc = c2_wait_in_busy();
    return rc == -1 ? timed_out(t, "in-busy to clear") : rc;
}

int out_ready(Try &t, uint32_t limit_ms = C2_POLL_LIMIT_MS)
{
    hold_first(t);
    int rc = c2_wait_out_ready(limit_ms);
    return rc == -1 ? timed_out(t, "out-ready") : rc;
}

// A status in a read head once the hold is learned: its WAIT sample and
// its bits in one exchange. A late sample is a miss, as in a batch: nothing
// but the frame's own rest went out before it was seen.
int get_held(Try &t, uint32_t *value)
{
    if (DataReadHeld(0, value, t.hold_us) != C2_LATE)
        return after_frame();
    t.missed = true;
    missed(false);
    return C2_DISTURBED;
}

// Read the status the target offers; which is 1 or 2 for the message.
int status(Try &t, int which)
{
    uint32_t value;
    int rc;
    if ((rc = out_ready(t)) || (rc = t.hold_us ? get_held(t, &value) : get(t, &value)))
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

}  // namespace

int after_frame() { return held() ? C2_DISTURBED : 0; }

int report_timeout(const Try &t, const char *what)
{
    if (!t.quiet) {
        c2_note_start();
        fprintf(stderr, "Timed out waiting for %s in %s\n", what, t.fn);
    }
    return -1;
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
    // Once the hold is learned, the head's samples come after it: each
    // answer then takes one round trip.
    t.hold_us = reads == Reads::batched ? hold_us : 0;
    int rc = block_head(t, C2_BLOCK_READ, address, length);
    t.hold_us = 0;
    if (rc)
        return rc;
    if (reads == Reads::learn && c2_batch_bytes() == 0)
        reads = Reads::one_by_one;
    if (reads == Reads::batched)
        return batched_data(t, buffer, 0, length);
    bool learning = reads == Reads::learn;
    uint64_t start = learning ? c2_now_ns() : 0;
    if (learning) {
        poll_most = 0;
        c2_wait_most();
    }
    // Each byte lands in buffer[i] by the next frame that needs an answer:
    // an FTDI chip sends it with the next poll (c2_sync after the try).
    for (int32_t i = 0; i < length; t.done = ++i) {
        if (learning && i == LEARN_BYTES) {  // seen enough: the rest in batches
            learn(i, start);
            return batched_data(t, buffer, i, length);
        }
        if ((rc = out_ready(t)))
            return rc;
        if (DataReadByte(&buffer[i]) == C2_TIMEOUT)
            return timed_out(t, WAIT_FIELD);
        if ((rc = after_frame()))
            return rc;
    }
    if (learning)
        learn(length, start);
    return 0;
}

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
        if (((AddressRead() & mask) != 0) == set) {
            poll_most = std::max(poll_most, n);
            return after_frame();
        }
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
    int rc = r.end(write_range(r, address, data, length));
    if (rc == 0)
        progress_mark();
    return rc;
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
