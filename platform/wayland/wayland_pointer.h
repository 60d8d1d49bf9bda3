// Keeps a wlroots session (sway and the like) awake through one virtual
// pointer of the compositor's virtual-pointer protocol: a zero relative
// motion followed by a frame counts as user activity there.
#pragma once

// Connects, and makes the one virtual pointer the program keeps to its end
// (sway 1.7 could crash when a second was made after the first was gone).
// Waits at most about a second for a compositor that does not answer. False
// when there is no compositor or it offers no virtual pointers.
bool waylandStart();

// One zero motion and a frame; skipped, never waited for, when the
// compositor is not reading what it was sent. False once the compositor
// closed the connection (nothing is sent from then on).
bool waylandNudge();

void waylandClose();
