// The X display, reached through XCB: the server's screen-saver timeout, and
// relative pointer moves injected with the XTEST extension, which the server
// counts as user activity. A lost or missing display never stops the program;
// the connection is tried again at most once a second.
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/linux/linux_display.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto reconnectDelay = std::chrono::seconds(1);

std::mutex displayMutex;
xcb_connection_t* display = nullptr;
bool triedBefore = false;
Clock::time_point lastTry;

// The connection, made again when it was lost; null when no display can be
// reached now. Caller holds displayMutex.
xcb_connection_t* connectDisplay() {
    if (display != nullptr && xcb_connection_has_error(display) == 0) {
        return display;
    }
    if (display != nullptr) {
        xcb_disconnect(display);
        display = nullptr;
    }
    const Clock::time_point now = Clock::now();
    if (triedBefore && now - lastTry < reconnectDelay) {
        return nullptr;
    }
    triedBefore = true;
    lastTry = now;

    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return nullptr;
    }
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection, &xcb_test_id);
    if (xtest == nullptr || xtest->present == 0) {
        xcb_disconnect(connection);
        return nullptr;
    }
    display = connection;
    return display;
}

}  // namespace

std::uint32_t x11ReadScreenSaverTimeout() {
    std::lock_guard<std::mutex> lock(displayMutex);
    xcb_connection_t* connection = connectDisplay();
    if (connection == nullptr) {
        // Standard error only: the console screen stays exactly as it is.
        std::fprintf(stderr, "keepawake: no X display with the XTEST extension could be reached; "
                             "nothing will be kept awake until one can.\n");
        return 0;
    }
    xcb_get_screen_saver_reply_t* reply =
        xcb_get_screen_saver_reply(connection, xcb_get_screen_saver(connection), nullptr);
    if (reply == nullptr) {
        return 0;
    }
    const std::uint32_t timeout = reply->timeout;
    std::free(reply);
    return timeout;
}

void x11SendMouseInput(const MouseInput& input) {
    if ((input.dwFlags & mouseEventMove) == 0 || (input.dwFlags & mouseEventAbsolute) != 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(displayMutex);
    xcb_connection_t* connection = connectDisplay();
    if (connection == nullptr) {
        return;
    }
    // Detail 1 makes the motion relative; no reply is awaited, so a nudge is
    // one write to the server.
    xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, 1, XCB_CURRENT_TIME, XCB_NONE,
                        static_cast<std::int16_t>(input.dx), static_cast<std::int16_t>(input.dy), 0);
    xcb_flush(connection);
}

void x11CloseDisplay() {
    std::lock_guard<std::mutex> lock(displayMutex);
    if (display != nullptr) {
        xcb_disconnect(display);
        display = nullptr;
    }
}
