// Stop signals, for every layer: the link catches them and stops the run
// between two C2 frames; the layers above ask for a stop at their own safe
// points and say what a stop must clean up.
#pragma once

// SIGINT, SIGTERM and SIGHUP only set a flag; the next frame to start then
// resets the target, releases the lines, runs the cleanup (if any), prints
// "Interrupted by SIGINT" (or SIGTERM, SIGHUP) and the note (if any), and
// exits with 128 + the signal number. A signal that was ignored when the
// process started stays ignored.
void c2_catch_signals();
// Extra line printed on interruption (nullptr: none). The text must outlive the run.
void c2_interrupt_note(const char *note);
// Called on interruption once the lines are released, before anything is
// printed (nullptr: none); e.g. to remove a file the run began to write.
void c2_interrupt_cleanup(void (*cleanup)());
// The pending signal, or 0.
int c2_interrupted();
// If a signal is pending, stop the run as described above; otherwise return.
void c2_stop_if_interrupted();
