// The benchmark's counting port (port_count.cpp).
#pragma once

#include <cstdint>

#include "c2.h"

// C2_PROG_DEV of the counting port.
constexpr const char *COUNTING_PORT = "bench:count";

// Requests made since the port was opened.
extern uint64_t counted_writes, counted_reads;

// Add the counting port to the seam and open it as the link's port. False
// when it could not be had.
bool open_counting_port();
