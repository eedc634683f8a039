// Image files and the program, verify and read-back commands.
//
// An image is raw binary: byte i is the flash byte at address i. The program
// and verify commands also read Intel HEX files into such an image. Buffers
// are malloc'd, owned by whoever asked for them, and released with free().
#pragma once

#include <cstdint>

struct stat;

// Flash addresses carry 16 bits; no transfer may go beyond them.
constexpr int32_t C2_ADDRESS_SPACE = 0x10000;
// Bytes per flash command.
constexpr int32_t C2_BLOCK_SIZE = 256;

// Read a whole file. Returns its size, or -1 open, -2 seek to end, -3 no
// memory (or too large), -4 seek back, -5 short read; *buffer is then null.
// A FIFO fails at the seek (-2) without waiting for a writer.
int readfile(const char *path, uint8_t **buffer);
// Write length bytes (create or truncate). A regular file gets mode 0666 once
// every byte is written and the descriptor closed without error; until then,
// and after any failure, it keeps the mode it was created with (0700 less the
// umask) or had. 0, -1 open/create failed (also a FIFO with no reader), -5 a
// write or the close failed; -5 without a message when a stop signal
// (c2_catch_signals) cut the write short. *opened, if given, gets the opened
// file's status (st_mode 0 when nothing was opened).
int writefile(const char *path, int32_t length, const uint8_t *data, struct stat *opened = nullptr);

// An image file the program and verify commands read as Intel HEX: its name
// ends in .hex or .ihx (any case) and its first byte, after a UTF-8
// byte-order mark and blank lines, is ':' (then refused if it does not
// parse); or, whatever its name, every non-blank line of it is a well-formed
// record with a right checksum, and there is one at least.
bool is_intel_hex(const char *path, const uint8_t *data, int32_t size);
// The image that Intel HEX text describes: from address 0 to the highest byte
// written, gaps 0xFF (erased flash). Returns its size, with *image malloc'd;
// or -1 after one line on stderr, "harlune: path:line: what is wrong" (or a
// failed malloc's), with *image null. Refused: a malformed line, a bad
// checksum, an unknown record type, a byte at 64 KiB or beyond, a byte
// written twice, no end-of-file record or anything after it, no data.
int32_t parse_intel_hex(const char *path, const uint8_t *text, int32_t length, uint8_t **image);

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
