// Flash programming over C2: every command selects the programming data
// register, then alternates one-byte data frames with status polls.
#include "fpi.h"

#include <cstdio>

#include "c2.h"

namespace {

int timed_out(const char *fn, const char *what)
{
    fprintf(stderr, "Timed out waiting for %s in %s\n", what, fn);
    return -1;
}

int put(const char *fn, uint8_t byte)
{
    if (DataWrite(0, byte) != C2_OK)
        return timed_out(fn, "the WAIT field of a data frame");
    return 0;
}

int get(const char *fn, uint32_t *value)
{
    if (DataRead(0, value) != C2_OK)
        return timed_out(fn, "the WAIT field of a data frame");
    return 0;
}

int in_busy(const char *fn)
{
    if (c2_wait_in_busy() != 0)
        return timed_out(fn, "in-busy to clear");
    return 0;
}

int out_ready(const char *fn, uint32_t limit_ms = C2_POLL_LIMIT_MS)
{
    if (c2_wait_out_ready(limit_ms) != 0)
        return timed_out(fn, "out-ready");
    return 0;
}

// Read the status the target offers; which is 1 or 2 for the message.
int status(const char *fn, int which)
{
    uint32_t value;
    if (out_ready(fn) || get(fn, &value))
        return -1;
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
    AddressWrite(C2_FPDAT);
    if (put(fn, code) || in_busy(fn))
        return -1;
    return status(fn, 1);
}

// Address high byte, low byte and length byte (256 goes out as 0x00), then
// the second status.
int block_head(const char *fn, uint8_t code, int32_t address, int32_t length)
{
    if (head(fn, code))
        return -1;
    if (put(fn, static_cast<uint8_t>(address >> 8)) || in_busy(fn) ||
        put(fn, static_cast<uint8_t>(address)) || in_busy(fn) ||
        put(fn, static_cast<uint8_t>(length)) || in_busy(fn))
        return -1;
    return status(fn, 2);
}

void progress_mark()
{
    fputs("#", stdout);
    fflush(stdout);
}

}  // namespace

int c2_init()
{
    C2CK_reset();
    udelay(2);
    AddressWrite(C2_FPCTL);
    int rc = DataWrite(0, 0x02);
    if (DataWrite(0, 0x01) != C2_OK)
        rc = C2_TIMEOUT;
    udelay(20000);
    return rc == C2_OK ? 0 : -1;
}

int c2_device_id()
{
    uint32_t value;
    AddressWrite(C2_DEVICEID);
    if (DataRead(0, &value) != C2_OK)
        return -1;
    return static_cast<int>(value & 0xFF);
}

int c2_wait_in_busy()
{
    c2_deadline d;
    c2_deadline_start(&d, C2_POLL_LIMIT_MS);
    while (AddressRead() & C2_IN_BUSY)
        if (c2_deadline_passed(&d))
            return -1;
    return 0;
}

int c2_wait_out_ready(uint32_t limit_ms)
{
    c2_deadline d;
    c2_deadline_start(&d, limit_ms);
    while (!(AddressRead() & C2_OUT_READY))
        if (c2_deadline_passed(&d))
            return -1;
    return 0;
}

int c2_block_write(int32_t address, const uint8_t *data, int32_t length)
{
    const char *fn = "c2_block_write";
    if (block_head(fn, C2_BLOCK_WRITE, address, length))
        return -1;
    for (int32_t i = 0; i < length; ++i)
        if (put(fn, data[i]) || in_busy(fn))
            return -1;
    // The status then offered is not read.
    if (out_ready(fn))
        return -1;
    progress_mark();
    return 0;
}

int c2_block_read(int32_t address, uint8_t *buffer, int32_t length)
{
    const char *fn = "c2_block_read";
    if (block_head(fn, C2_BLOCK_READ, address, length))
        return -1;
    for (int32_t i = 0; i < length; ++i) {
        uint32_t value;
        if (out_ready(fn) || get(fn, &value))
            return -1;
        buffer[i] = static_cast<uint8_t>(value);
    }
    progress_mark();
    return 0;
}

int c2_page_erase(uint8_t page)
{
    const char *fn = "c2_page_erase";
    if (head(fn, C2_PAGE_ERASE) || put(fn, page) || in_busy(fn) || status(fn, 2))
        return -1;
    if (put(fn, 0x00) || in_busy(fn) || out_ready(fn))
        return -1;
    return 0;
}

int c2_device_erase()
{
    const char *fn = "c2_device_erase";
    if (head(fn, C2_DEVICE_ERASE))
        return -1;
    // Arming sequence.
    static const uint8_t arming[] = {0xDE, 0xAD, 0xA5};
    for (uint8_t byte : arming)
        if (put(fn, byte) || in_busy(fn))
            return -1;
    // The erase itself ends with out-ready; its status is not read.
    if (out_ready(fn, C2_ERASE_LIMIT_MS))
        return -1;
    return 0;
}
