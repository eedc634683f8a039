// The benchmark's port, a fourth behind the seam: requests are only
// counted, and the status reads C2D high (every WAIT field ends at once).
// Measures the link's own cost, with no system call under it.
#include "port_count.h"

#include <cstring>

#include "port.h"

uint64_t counted_writes = 0;
uint64_t counted_reads = 0;

namespace {

bool count_takes(const char *device) { return strcmp(device, COUNTING_PORT) == 0; }
int count_parse(const char *, PortProblem *) { return 0; }
int count_open(PortProblem *) { return 0; }
int count_claim(PortProblem *) { return 0; }
void count_write(uint8_t) { ++counted_writes; }
uint8_t count_read()
{
    ++counted_reads;
    return 0x00;
}
void count_close() {}

const PortOps counting_port = {
    .name = "counting port (the benchmark's)",
    .request_noun = "port",
    .takes = count_takes,
    .parse = count_parse,
    .open = count_open,
    .claim = count_claim,
    .write_data = count_write,
    .read_status = count_read,
    .close = count_close,
};

}  // namespace

bool open_counting_port()
{
    port_add(&counting_port);
    PortProblem problem;
    bool opened = OpenPorts(COUNTING_PORT, &problem) == 0;
    counted_writes = counted_reads = 0;  // not the reads that timed it
    return opened;
}
