// A private Xvfb for a test, and what the test asks the X server directly:
// idle time, pointer position, screen-saver timeout.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct XServer {
    pid_t pid = -1;
    int display = -1;
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
};

// Starts Xvfb with -noreset (so its settings survive its clients) on a free
// display, or on the given one, with any further arguments; connects to it.
// pid stays -1 on failure.
XServer startXServer(int display = -1, const std::vector<std::string>& extraArguments = {});
void stopXServer(XServer& server);
std::string displayName(const XServer& server);

std::uint32_t idleMilliseconds(const XServer& server);
void pointerPosition(const XServer& server, int* x, int* y);
void movePointer(const XServer& server, int x, int y);
// The user's hand: a one-pixel relative move through XTEST, back and forth.
void userMove(const XServer& server);
std::uint16_t screenSaverTimeout(const XServer& server);
void setScreenSaverTimeout(const XServer& server, std::uint16_t seconds);

struct IdleWatch {
    std::uint32_t largestIdleMs = 0;
    int nudges = 0;  // times the idle time fell back
    int samples = 0;
};

// Samples the server's idle time every couple of milliseconds for the span.
IdleWatch watchIdle(const XServer& server, std::chrono::milliseconds span);

// With a nudge every 100 ms: once the server's idle time passes 400 ms the
// nudges have stopped, and the last came 400 ms before. When that last nudge
// came, from `from` (negative: before it); nothing when they went on.
std::optional<std::chrono::milliseconds> lastNudge(const XServer& server, std::chrono::steady_clock::time_point from,
                                                   std::chrono::milliseconds limit);

// The first nudge after from, as the idle time falls back; -1 ms if none.
std::chrono::milliseconds untilANudge(const XServer& server, std::chrono::steady_clock::time_point from,
                                      std::chrono::milliseconds limit);

// A display that accepts connections and never answers: a listening socket
// that nobody reads, on a display number reserved by its lock file.
struct SilentDisplay {
    int display = -1;
    int listener = -1;
    std::string name;  // for DISPLAY
};

// tcp: listens on 127.0.0.1 instead of the local socket. display stays -1 on
// failure.
SilentDisplay startSilentDisplay(bool tcp);
void stopSilentDisplay(SilentDisplay& silent);

// Keeps X servers that other tests start meanwhile off the number of a server
// that was killed: its lock file names this live process until released.
void holdDisplay(int display);
void releaseDisplay(int display);
