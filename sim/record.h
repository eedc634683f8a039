// Traces and files: trace tokens, the report, the flash file and the output
// files. Internal to libharlune_sim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core.h"

namespace harlune_sim {

// Append a space (unless empty) and then `text` to a trace.
void append_token(std::string& trace, const char* text, size_t length);
// Upper-case hex digits of the low `digits` nibbles of value.
char* put_hex(char* out, uint64_t value, unsigned digits);
// A request trace token: a letter and a byte in hex (Wxx, Rxx).
void trace_byte(Core& core, char kind, uint8_t value);
// A gap of wire time between two requests: Dn, whole microseconds, none under 1.
void trace_gap(Core& core, uint64_t ns);
// Counters and faults, one "key value" line each.
std::string report(const Core& core);
// cfg.flash_file into `flash` (a missing file leaves it erased).
void load_flash(Core& core, std::vector<uint8_t>& flash);
// The configured output files, written whole.
void save_files(const Core& core, const std::vector<uint8_t>& flash);

}  // namespace harlune_sim
