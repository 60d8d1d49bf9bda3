// What the benchmark measures of a running program: its wake-ups, the
// nudges its X server sees, and the wall time of whole runs.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/e2e/x_server.h"

// Voluntary context switches over all of the process's threads: each is one
// wake-up after a wait.
long long wakeUps(pid_t pid);

struct Span {
    long long wakeUps = 0;
    int nudges = 0;
};

// Wake-ups of the process and nudges at the server over the span.
Span measure(const XServer& server, pid_t pid, double seconds);

// Median wall time of starting the command and waiting for its end, with a
// blocking wait so that nothing but the run itself is measured; what it
// prints goes to /dev/null, as a status bar's module would read it.
double medianRunMs(const std::vector<std::string>& command, int runs);
