// What the flash commands print on the console: progress marks on stdout,
// and their notes on stderr, each on a line of its own. Internal to fpi/;
// c2_progress_end, c2_note_start and c2_redo_summary in fpi.h are its
// public side.
#pragma once

// One "#" on stdout, flushed: a block read or written.
void progress_mark();
// "harlune: <line>" on stderr, on a line of its own (c2_note_start).
void say(const char *line);
// A redo more in this run, for c2_redo_summary.
void count_redo();
// Redos in this run.
int run_redos();

// What helps when the host holds clock pulses.
extern const char *const REMEDY;

inline unsigned long long to_us(unsigned long long ns) { return (ns + 999) / 1000; }
