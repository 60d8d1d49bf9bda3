// Whether the system counts the nudges as user activity, where it says so:
// after some updates Windows stopped counting synthetic moves, and the screen
// locked while nothing was said. One line on standard error when nudges stop
// counting and one when they count again, never one per nudge.
#pragma once

#include "platform/platform.h"

// The worker's start: the first nudge of a run is checked.
void startNudgeChecks();

// After a resume: the next nudge is checked. Any thread.
void checkNextNudge();

// Sends the nudge, checking it when one is due: the first of a run, the first
// after a resume, and every one while they do not count. Worker only.
void sendCheckedNudge(const MouseInput& nudge);
