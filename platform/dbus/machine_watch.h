// Follows the machine on the system bus: the power source through UPower's
// OnBattery, the session's lock through logind's LockedHint, each with its
// PropertiesChanged. Everything runs on a thread of its own with
// asynchronous, bounded calls only; nothing the program does waits on it.
#pragma once

// Starts watching (what: the program's watchPower and watchLock bits). Each
// change writes one byte to notifyFd. Once every source has answered, or
// after a bound, one line on standard error names those that cannot be
// known; they then read as on mains power and unlocked.
void machineWatch(unsigned what, int notifyFd);

// The state as last seen; any thread.
void machineRead(bool* onBattery, bool* locked);
