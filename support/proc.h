// support/proc.h
// Child processes the library runs (a compressor, a trial load of a library):
// every wait for one is bounded.
#pragma once
#include <sys/types.h>

// Waits at most waitMs for child, which holds the write end of the pipe whose
// read end is readFd until it ends (the caller has closed its own write end);
// kills it when the time runs out, closes readFd and reaps it. The child's
// exit status, or -1 when it did not exit by itself.
int Proc_WaitChild(pid_t child, int readFd, int waitMs);
