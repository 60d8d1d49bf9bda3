// Checks, without waiting on the server, that a nudge really counts as user
// activity: the server's idle counter (MIT-SCREEN-SAVER) is read just before
// and just after one nudge, and must have fallen.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>

struct IdleCheck {
    bool due = false;  // the next nudge is to be checked
    bool waiting = false;  // its two readings are on their way
    unsigned before = 0;   // request sequence numbers
    unsigned after = 0;
    bool haveBefore = false;
    std::uint32_t beforeMs = 0;
};

enum class IdleVerdict { undecided, took, failed };

// What two readings around a nudge say. The user may have been active at
// the same moment, so only a counter that kept climbing past a second counts
// as a failure; a low reading that did not fall is asked again.
IdleVerdict judgeIdleReadings(std::uint32_t beforeMs, std::uint32_t afterMs);

// Queues the relative move; when a check is due, between two readings.
void queueCheckedNudge(xcb_connection_t* connection, xcb_window_t root, std::int16_t dx, std::int16_t dy,
                       IdleCheck& check);

// Looks at the readings of a check in flight without waiting for them. A
// check that could not decide is due again with the next nudge; a server
// that cannot answer ends the checking, undecided.
IdleVerdict collectIdleCheck(xcb_connection_t* connection, IdleCheck& check);
