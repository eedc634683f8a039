// Port seam for measuring the link itself: requests are only counted, the
// status reads C2D high (every WAIT field ends at once).
#include "port.h"

uint64_t stub_writes = 0;
uint64_t stub_reads = 0;

int port_open(const char *, PortProblem *) { return 3; }
int port_claim(int, PortProblem *) { return 0; }
void port_write_data(int, uint8_t) { ++stub_writes; }
uint8_t port_read_status(int)
{
    ++stub_reads;
    return 0x00;
}
void port_close(int) {}
void port_read_into(int, uint8_t *byte, uint8_t mask)
{
    ++stub_reads;
    *byte = static_cast<uint8_t>(*byte | mask);
}
void port_sync() {}
bool port_hold(uint32_t) { return false; }
bool port_keeps_time() { return false; }
uint64_t port_request_floor(int) { return 0; }
void port_too_slow(uint64_t, PortProblem *) {}
