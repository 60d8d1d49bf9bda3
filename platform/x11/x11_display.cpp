// The X display, reached through XCB: the server's screen-saver timeout, and
// relative pointer moves injected with the XTEST extension, which the server
// counts as user activity. Nothing here waits on the server: connecting runs
// in the background, and a nudge the socket cannot take at once is skipped.
// A display that is missing, lost or stuck never stops the program; the
// connection is made again, at most once a second, and standard error gets
// one line when nudges stop reaching the display and one when they do again.
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/x11/x11_display.h"
#include "platform/x11/x11_connect.h"
#include "platform/x11/x11_idle_check.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto reconnectDelay = 1s;
// How long start-up waits for the display to answer before it goes on
// without the screen-saver timeout.
constexpr auto startupLimit = 1000ms;
// A connection whose socket has taken no nudge for this long is given up.
constexpr auto stuckLimit = 3s;

// Guards everything below. It is never held while waiting on the server, so
// nobody waits long for it.
std::mutex displayMutex;
X11Connection display;
// Never destroyed: the module's static destructors run at exit before the
// program's own exit hook, which still closes the display and abandons an
// attempt in flight.
std::shared_ptr<ConnectAttempt>& attempt = *new std::shared_ptr<ConnectAttempt>;  // at most one in flight
bool triedBefore = false;
Clock::time_point lastTry;
bool skipping = false;
Clock::time_point firstSkip;
bool saidDown = false;  // the last line on standard error said nudges stopped
bool saidUnchecked = false;
IdleCheck idleCheck;
bool closed = false;

// Standard error only: the console screen stays exactly as it is. A pipe
// that nobody reads any more loses the line rather than holding up the nudge
// (and with it a pause) until someone does.
void say(const char* line) {
    pollfd errors{STDERR_FILENO, POLLOUT, 0};
    if (poll(&errors, 1, 0) == 1 && (errors.revents & POLLOUT) != 0) {
        // One short write: a pipe with room takes it whole, at once.
        const ssize_t written = write(STDERR_FILENO, line, std::strlen(line));
        static_cast<void>(written);
    }
}

void sayDown(const char* line) {
    if (!saidDown) {
        say(line);
        saidDown = true;
    }
}

void adopt(const X11Connection& made) {
    display = made;
    skipping = false;
    idleCheck = IdleCheck{};
    // Without MIT-SCREEN-SAVER there is no counter to ask: no check then.
    // Such a server's screen saver is often a client that watches the pointer
    // itself, and a zero move does not move it; said once, whatever the
    // reconnections.
    idleCheck.due = made.idleCounter;
    if (!made.idleCounter && !saidUnchecked) {
        saidUnchecked = true;
        say("keepawake: this X server has no MIT-SCREEN-SAVER extension: whether it counts the nudges as user "
            "activity cannot be checked, and a screen saver that watches the pointer is not held off by zero "
            "moves.\n");
    }
}

// Closes the socket without flushing what a stuck server has not read.
void giveUp(const char* line) {
    xcb_disconnect(display.connection);
    display = X11Connection{};
    sayDown(line);
}

// Starts the next attempt when none is in flight and the last one is at
// least a second old.
void tryAgainLater(Clock::time_point now) {
    if (attempt != nullptr || (triedBefore && now - lastTry < reconnectDelay)) {
        return;
    }
    triedBefore = true;
    lastTry = now;
    attempt = startConnectAttempt();
}

// The connection when there is a usable one now; never waits.
xcb_connection_t* liveConnection(Clock::time_point now) {
    if (display.connection != nullptr && xcb_connection_has_error(display.connection) != 0) {
        giveUp("keepawake: the X display went away; nudges are retried once a second.\n");
    }
    if (display.connection == nullptr && attempt != nullptr) {
        X11Connection made;
        if (finishConnectAttempt(*attempt, 0ms, &made)) {
            attempt.reset();
            if (made.connection != nullptr) {
                adopt(made);
            }
        }
    }
    if (display.connection == nullptr) {
        tryAgainLater(now);
    }
    return display.connection;
}

enum class Socket { ready, full, broken };

Socket socketState(xcb_connection_t* connection) {
    pollfd socket{xcb_get_file_descriptor(connection), POLLOUT, 0};
    if (poll(&socket, 1, 0) < 0 || (socket.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return Socket::broken;
    }
    return (socket.revents & POLLOUT) != 0 ? Socket::ready : Socket::full;
}

// Events and errors nobody asked for would pile up in XCB's queue.
void dropQueuedEvents(xcb_connection_t* connection) {
    while (xcb_generic_event_t* event = xcb_poll_for_queued_event(connection)) {
        std::free(event);
    }
}

}  // namespace

std::uint32_t x11ReadScreenSaverTimeout() {
    const Clock::time_point start = Clock::now();
    std::shared_ptr<ConnectAttempt> starting = startConnectAttempt();
    X11Connection made;
    const bool answered = starting != nullptr && finishConnectAttempt(*starting, startupLimit, &made);

    std::lock_guard<std::mutex> lock(displayMutex);
    triedBefore = true;
    lastTry = start;
    if (made.connection != nullptr) {
        // Read again while running (a watcher changed): the fresh connection
        // takes the nudges, and the one before it is let go.
        if (display.connection != nullptr) {
            xcb_disconnect(display.connection);
        }
        adopt(made);
        return made.screenSaverTimeout;
    }
    if (answered || starting == nullptr) {
        sayDown("keepawake: no X display with the XTEST extension could be reached; "
                "nothing will be kept awake until one can.\n");
    } else {
        // Still waited for; a late answer is taken by a later nudge.
        attempt = std::move(starting);
        sayDown("keepawake: the X display did not answer within a second; "
                "nothing will be kept awake until it does.\n");
    }
    return 0;
}

void x11SendRelativeMove(std::int32_t dx, std::int32_t dy) {
    std::lock_guard<std::mutex> lock(displayMutex);
    if (closed) {
        return;
    }
    const Clock::time_point now = Clock::now();
    xcb_connection_t* connection = liveConnection(now);
    if (connection == nullptr) {
        return;
    }

    switch (socketState(connection)) {
    case Socket::broken:
        giveUp("keepawake: the X display went away; nudges are retried once a second.\n");
        tryAgainLater(now);
        return;
    case Socket::full:
        // The server has not read for a long while. Skip: writing now would
        // wait until it does.
        if (!skipping) {
            skipping = true;
            firstSkip = now;
        } else if (now - firstSkip >= stuckLimit) {
            giveUp("keepawake: the X display stopped taking nudges; reconnecting once a second.\n");
            tryAgainLater(now);
        }
        return;
    case Socket::ready:
        break;
    }
    skipping = false;

    dropQueuedEvents(connection);
    if (collectIdleCheck(connection, idleCheck) == IdleVerdict::failed) {
        say("keepawake: the X display does not count the nudges as user activity; "
            "its screen saver may still start.\n");
    }
    queueCheckedNudge(connection, display.root, static_cast<std::int16_t>(dx), static_cast<std::int16_t>(dy),
                      idleCheck);
    // The socket has room, so the few bytes queued go out without waiting.
    xcb_flush(connection);
    if (xcb_connection_has_error(connection) != 0) {
        giveUp("keepawake: the X display went away; nudges are retried once a second.\n");
        return;
    }
    if (saidDown) {
        say("keepawake: the X display takes nudges again.\n");
        saidDown = false;
    }
}

void x11CloseDisplay() {
    std::lock_guard<std::mutex> lock(displayMutex);
    closed = true;
    if (attempt != nullptr) {
        abandonConnectAttempt(*attempt);
        attempt.reset();
    }
    if (display.connection != nullptr) {
        xcb_disconnect(display.connection);
        display = X11Connection{};
    }
}

int x11DisplayUnanswered() {
    std::lock_guard<std::mutex> lock(displayMutex);
    return display.connection == nullptr && attempt != nullptr ? 1 : 0;
}
