// The control endpoint's part in the POSIX wait.
#pragma once

#include <poll.h>

#include <cstddef>

// Slots the endpoint needs in the wait: the listener and each connection.
constexpr std::size_t controlWaitSlots = 1 + 16;

// Fills waits (controlWaitSlots of them, unused ones -1) and lowers the poll
// timeout (ms, -1 for none) to the nearest connection deadline.
void addControlWaits(pollfd* waits, int* timeout);

// After poll: accepts, reads, closes what is due. True when a complete
// request waits for takeControlRequest.
bool serveControlWaits(const pollfd* waits);

// True while a request waits, taken or not.
bool controlRequestWaiting();
