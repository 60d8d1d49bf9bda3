// Looking for the programs a run waits for in /proc, and waiting for their
// ends on pidfds: what the POSIX wait and the benchmark share.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <vector>

#include "platform/platform.h"

// Process ids of this user's processes that match, this one aside; false
// when /proc cannot be read.
bool scanForPrograms(ProgramMatch match, std::vector<pid_t>* found);

// The wait's slots: the timer of the next look and the pidfds held.
constexpr int programWaitSlots = 17;
void addProgramWaits(pollfd* slots);
// After the poll: true when whether one runs has changed.
bool serveProgramWaits(const pollfd* slots);
