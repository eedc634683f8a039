// Progress marks and notes: the one place that knows whether a line of
// marks is open on stdout, so that no note lands inside it.
#include "console.h"

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

#include "c2.h"
#include "fpi.h"

const char *const REMEDY = "run harlune at real-time priority (for example chrt -f 50 harlune ...) "
                           "or on a quieter machine";

namespace {

bool progress_open = false;  // "#" marks on stdout since its last newline
int redos = 0;               // redos in this run

// Standard output and standard error are one terminal or one file (2>&1).
bool streams_shared()
{
    struct stat out, err;
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 && out.st_dev == err.st_dev &&
           out.st_ino == err.st_ino;
}

}  // namespace

void progress_mark()
{
    fputs("#", stdout);
    fflush(stdout);
    progress_open = true;
}

void say(const char *line)
{
    c2_note_start();
    fprintf(stderr, "harlune: %s\n", line);
}

void count_redo() { ++redos; }

int run_redos() { return redos; }

void c2_note_start()
{
    fflush(stdout);
    if (progress_open && streams_shared())
        fputc('\n', stderr);
    progress_open = false;
}

void c2_progress_end()
{
    fputs("\n", stdout);
    progress_open = false;
}

void c2_redo_summary()
{
    if (redos == 0)
        return;
    c2_watch_totals totals = c2_watch_run();
    char line[400];
    snprintf(line, sizeof line,
             "%d redo%s in this run: %llu C2 clock pulse%s held low 5 us or more (the longest %llu us), "
             "which may reset the target; %s",
             redos, redos == 1 ? "" : "s", static_cast<unsigned long long>(totals.pulses),
             totals.pulses == 1 ? " was" : "s were", to_us(totals.longest_ns), REMEDY);
    progress_open = false;
    say(line);
}
