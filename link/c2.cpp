// The link: C2 frames bit-banged through the adapter's data register, the
// line primitives under them and the opening of the port, on whichever port
// took C2_PROG_DEV (port.h): a parallel port, GPIO lines or an FTDI chip.
//
// Data register (dshadow), the adapter's wiring:
//   bit 0-2  unused, always 0
//   bit 3    C2CK reset control   1 = released, 0 = active (C2CK held low)
//   bit 4    C2CK driver enable   active low
//   bit 5    C2CK level
//   bit 6    C2D driver enable    active low
//   bit 7    C2D level
// Status register bit 7 (BUSY, inverted by the port) reads C2D back.
//
// Every line change is exactly one PPWDATA of the whole shadow byte; none is
// skipped even when the bit is unchanged, because the frame timing on the wire
// is nothing but the sequence of port requests.
#include "c2.h"

#include <algorithm>
#include <cstdio>

#include "c2_lines.h"
#include "c2_stop.h"
#include "clock.h"
#include "port.h"

uint8_t dshadow = 0x00;

namespace {

// A strobe is low for about one request: from the middle of the request
// that takes C2CK low to the middle of the one that raises it. A port whose
// cheapest request takes 4 us leaves 1 us under the 5 us a pulse may last,
// for the two clock readings of the bracket and for a write that costs the
// kernel more than the read measured; on a slower one every pulse would be
// held, and each command redone until the run gave up.
constexpr uint64_t SLOW_REQUEST_NS = 4000;

// The reads a batched byte queues: the poll's one flag, the WAIT sample and
// the eight data bits.
constexpr size_t BATCH_ANSWERS_PER_BYTE = 10;

inline void set_bits(uint8_t mask)
{
    dshadow = static_cast<uint8_t>(dshadow | mask);
    port_write_data(dshadow);
}

inline void clear_bits(uint8_t mask)
{
    dshadow = static_cast<uint8_t>(dshadow & ~mask);
    port_write_data(dshadow);
}

inline void drive(uint32_t bit) { C2D_SET(static_cast<int>(bit & 1u)); }

// WAIT field: strobe and sample until C2D reads 1. A hold early in the field
// may have reset the target before it could answer: give up at once. After
// C2_ANSWER_WINDOW silent strobes the target was silent anyway: the field
// runs to its answer or its time-out, and the watch tells the caller.
uint32_t wait_most = 0;  // the most WAIT samples of a field since c2_wait_most

int wait_field()
{
    c2_deadline d;
    c2_deadline_start(&d, C2_WAIT_LIMIT_MS);
    for (uint32_t n = 1;; ++n) {
        C2CK_low_pulse();
        if (n > wait_most)
            wait_most = n;
        if (C2D_READ())
            return C2_OK;
        if (watch.held_ns != 0 && n <= C2_ANSWER_WINDOW)
            return C2_DISTURBED;
        if (c2_deadline_passed(&d))
            return C2_TIMEOUT;
    }
}

}  // namespace

void C2CK_RST_ACT() { clear_bits(RST_BIT); }
void C2CK_RST_DEACT() { set_bits(RST_BIT); }
void C2CK_ENA() { clear_bits(CK_NEN); }
void C2CK_DIS() { set_bits(CK_NEN); }
void C2CK_SET(int level) { level ? set_bits(CK_LEVEL) : clear_bits(CK_LEVEL); }
void C2CK_HIGH() { C2CK_SET(1); }
void C2CK_LOW() { C2CK_SET(0); }
void C2D_ENA() { clear_bits(D_NEN); }
void C2D_DIS() { set_bits(D_NEN); }
void C2D_SET(int level) { level ? set_bits(D_LEVEL) : clear_bits(D_LEVEL); }
void C2D_SETH() { C2D_SET(1); }
void C2D_SETL() { C2D_SET(0); }
void C2D_SETH_EN() { C2D_SETH(); C2D_ENA(); }
void C2D_SETL_EN() { C2D_SETL(); C2D_ENA(); }
int C2D_READ() { return (port_read_status() & STATUS_BUSY) ? 0 : 1; }
void C2D_READ_INTO(uint8_t *byte, uint8_t mask) { port_read_into(byte, mask); }

int OpenPorts(const char *path, PortProblem *problem)
{
    if (port_open(path, problem) != 0)
        return -1;
    atexit(ClosePorts);
    problem->claiming = true;
    problem->name = path;
    int claimed = port_claim(problem);
    uint64_t floor = claimed == 0 ? port_request_floor() : 0;
    if (claimed == 0 && floor >= SLOW_REQUEST_NS)
        port_too_slow(floor, problem);
    if (claimed != 0 || floor >= SLOW_REQUEST_NS)
        return -1;
    c2_watch_floor(floor);
    return 0;
}

void ClosePorts() { port_close(); }

void c2_open()
{
    C2CK_HIGH();
    C2CK_ENA();
}

void c2_release()
{
    C2D_DIS();
    C2CK_DIS();
}

void C2CK_low_pulse()
{
    // The bracket: nothing but the two requests between the readings; of
    // them the wire is low for about one, never for less than the bracket
    // less the floor.
    uint64_t start = watch_now_ns();
    C2CK_LOW();
    C2CK_HIGH();
    uint64_t bracket = watch_now_ns() - start;
    if (bracket >= C2_STROBE_LIMIT_NS + watch_floor_ns)
        watch_note(bracket - watch_floor_ns);
}

void C2CK_reset()
{
    C2CK_RST_ACT();
    udelay(40);
    C2CK_RST_DEACT();
    udelay(3);
}

void AddressWrite(uint8_t address)
{
    c2_stop_if_interrupted();
    C2CK_low_pulse();                  // START
    C2D_SETH_EN();
    C2CK_low_pulse();                  // INS 1, 1
    C2CK_low_pulse();
    for (int i = 0; i < 8; ++i) {      // ADDRESS, LSB first
        drive(address);
        C2CK_low_pulse();
        address = static_cast<uint8_t>(address >> 1);
    }
    C2D_DIS();
    C2CK_low_pulse();                  // STOP
}

namespace {

// An Address Read whose bits in `wanted` land in *result (zeroed) when the
// port delivers its reads; the other bits are strobed but not read.
void address_read(uint8_t *result, uint8_t wanted)
{
    c2_stop_if_interrupted();
    *result = 0;
    C2CK_low_pulse();                  // START
    C2D_SETL_EN();
    C2CK_low_pulse();                  // INS 0
    C2D_SETH();
    C2CK_low_pulse();                  // INS 1
    C2D_DIS();
    for (int i = 0; i < 8; ++i) {      // ADDRESS, driven by the target
        C2CK_low_pulse();
        if (wanted & (1u << i))
            C2D_READ_INTO(result, static_cast<uint8_t>(1u << i));
    }
    C2CK_low_pulse();                  // STOP
}

}  // namespace

uint8_t AddressRead()
{
    uint8_t result;
    address_read(&result, 0xFF);
    port_sync();                       // a queuing port answers the frame at once
    return result;
}

int DataWrite(uint8_t code, uint32_t value, uint32_t hold_us)
{
    c2_stop_if_interrupted();
    C2CK_low_pulse();                  // START
    C2D_SETH_EN();
    C2CK_low_pulse();                  // INS 1
    C2D_SETL();
    C2CK_low_pulse();                  // INS 0
    drive(code);                       // LENGTH, LSB first
    C2CK_low_pulse();
    drive(code >> 1u);
    C2CK_low_pulse();
    for (int i = 0, n = 8 * ((code & 3) + 1); i < n; ++i) {   // DATA, LSB first
        drive(value);
        C2CK_low_pulse();
        value >>= 1;
    }
    C2D_DIS();
    if (hold_us)
        port_hold(hold_us);
    int rc = wait_field();             // WAIT
    C2CK_low_pulse();                  // STOP
    udelay(1);
    return rc;
}

namespace {

// A Data Read whose bytes land in bytes[] (zeroed) when the port delivers
// its reads: at once, or by the next port_read_status or port_sync.
// With `waited`, the WAIT field is one strobe after a hold of hold_us with
// C2CK high, its sample landing in *waited (bit 0) with the data bits,
// which are strobed and read whatever it shows.
int data_read(uint8_t code, uint8_t *bytes, uint8_t *waited = nullptr, uint32_t hold_us = 0)
{
    c2_stop_if_interrupted();
    C2CK_low_pulse();                  // START
    C2D_SETL_EN();
    C2CK_low_pulse();                  // INS 0, 0
    C2CK_low_pulse();
    drive(code);                       // LENGTH, LSB first
    C2CK_low_pulse();
    drive(code >> 1u);
    C2CK_low_pulse();
    C2D_DIS();
    int rc = C2_OK;
    if (waited) {                      // WAIT, judged after the batch
        *waited = 0;
        port_hold(hold_us);
        C2CK_low_pulse();
        C2D_READ_INTO(waited, 1);
    } else {
        rc = wait_field();             // WAIT
    }
    if (rc == C2_OK) {
        for (int i = 0, n = 8 * ((code & 3) + 1); i < n; ++i) {   // DATA, from the target
            C2CK_low_pulse();
            C2D_READ_INTO(&bytes[i / 8], static_cast<uint8_t>(1u << (i % 8)));
        }
    }
    C2CK_low_pulse();                  // STOP
    udelay(1);
    return rc;
}

// A data frame's bytes, first on the wire lowest.
uint32_t frame_value(const uint8_t bytes[4])
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

int DataRead(uint8_t code, uint32_t *value)
{
    uint8_t bytes[4] = {};
    int rc = data_read(code, bytes);
    port_sync();
    *value = frame_value(bytes);
    return rc;
}

int DataReadHeld(uint8_t code, uint32_t *value, uint32_t hold_us)
{
    uint8_t bytes[4] = {}, waited;
    data_read(code, bytes, &waited, hold_us);
    port_sync();
    *value = frame_value(bytes);
    return waited ? C2_OK : C2_LATE;
}

int DataReadByte(uint8_t *byte)
{
    *byte = 0;
    return data_read(0, byte);
}

void c2_sync() { port_sync(); }

uint32_t c2_wait_most()
{
    uint32_t most = wait_most;
    wait_most = 0;
    return most;
}

int c2_batch_bytes()
{
    return static_cast<int>(std::min<size_t>(port_answer_room() / BATCH_ANSWERS_PER_BYTE, C2_BATCH_MAX));
}

int c2_read_batch(uint8_t *bytes, int n, uint8_t ready_mask, uint32_t hold_us, bool *wait_late)
{
    uint8_t ready[C2_BATCH_MAX], waited[C2_BATCH_MAX];
    n = std::min(n, C2_BATCH_MAX);
    for (int i = 0; i < n; ++i) {
        port_hold(hold_us);            // the poll
        address_read(&ready[i], ready_mask);
        bytes[i] = 0;
        data_read(0, &bytes[i], &waited[i], hold_us);
    }
    port_sync();
    *wait_late = false;
    for (int i = 0; i < n; ++i)
        if (!(ready[i] & ready_mask) || !waited[i]) {
            *wait_late = (ready[i] & ready_mask) && !waited[i];
            return i;
        }
    return n;
}
