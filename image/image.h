// Image files and the program, verify and read-back commands.
//
// An image is raw binary: byte i is the flash byte at address i. Buffers are
// malloc'd, owned by whoever asked for them, and released with free().
#pragma once

#include <cstdint>

// Flash addresses carry 16 bits; no transfer may go beyond them.
constexpr int32_t C2_ADDRESS_SPACE = 0x10000;
// Bytes per flash command.
constexpr int32_t C2_BLOCK_SIZE = 256;

// Read a whole file. Returns its size, or -1 open, -2 seek to end, -3 no
// memory (or too large), -4 seek back, -5 short read; *buffer is then null.
int readfile(const char *path, uint8_t **buffer);
// Write length bytes (create or truncate; mode 0666 once written).
// 0, -1 open/create failed, -5 a write failed.
int writefile(const char *path, int32_t length, const uint8_t *data);

// Read size bytes of flash from address 0. 0, or -1 (no memory, or a block
// read failed); on 0 *buffer belongs to the caller, on -1 it is null.
int readprg(int32_t size, uint8_t **buffer);
// Compare the flash with image: 0 equal, 1 differences (one line each on
// stderr), -1 the device read failed.
int vrfyprg(int32_t size, const uint8_t *image);

// The commands; each returns its result, which becomes the exit status.
int writeprg(const char *path);                 // "p"
int checkprg(const char *path);                 // "v"
int storeprg(const char *path, int32_t length); // "r"

// Hex dump on stdout, 8 bytes a line.
void printbuf(int32_t length, const uint8_t *data);
