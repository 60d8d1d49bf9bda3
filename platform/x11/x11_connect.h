// Connecting to the X display without ever waiting on it: the connection,
// its setup and the first questions run on a thread of their own, and the
// caller looks for the result when it likes.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <memory>

struct X11Connection {
    xcb_connection_t* connection = nullptr;  // null: the display could not be reached
    xcb_window_t root = 0;
    std::uint32_t screenSaverTimeout = 0;  // seconds; 0 when unreadable
    bool idleCounter = false;              // MIT-SCREEN-SAVER is there to ask
    // Only when asked for: whether SYNC is there, and its IDLETIME counter
    // (0: none).
    bool sync = false;
    std::uint32_t idleTimeCounter = 0;
};

struct ConnectAttempt;

// Starts connecting to $DISPLAY in the background. Null when no thread could
// be started, which counts as a failed attempt. The first call must come
// before the program has other threads (it may set XAUTHORITY). With
// idleTime, the SYNC extension and its IDLETIME counter are looked up too.
std::shared_ptr<ConnectAttempt> startConnectAttempt(bool idleTime = false);

// Waits up to the limit for the attempt to end. True once it has; the result
// (possibly no connection) then belongs to the caller.
bool finishConnectAttempt(ConnectAttempt& attempt, std::chrono::milliseconds limit, X11Connection* result);

// Nobody wants the attempt any more: a connection that still comes is closed.
void abandonConnectAttempt(ConnectAttempt& attempt);

// The SYNC extension's IDLETIME counter, 0 where there is none. Blocks: for
// a thread that may, or a caller that bounds it.
std::uint32_t findIdleTimeCounter(xcb_connection_t* connection);
