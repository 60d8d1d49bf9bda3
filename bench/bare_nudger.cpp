// The least a nudger can do, as the yardstick for keepawake's cost: sleep to
// an absolute deadline, send one XTEST zero move, and again, for ever. It has
// no menu, no pause and no care for a display that stops answering.
// Usage: bare_nudger INTERVAL_MS (the display comes from DISPLAY).
#include <time.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cerrno>
#include <cstdlib>

int main(int argc, char** argv) {
    const long intervalNs = (argc > 1 ? std::atol(argv[1]) : 0) * 1000000L;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (intervalNs <= 0 || xcb_connection_has_error(connection) != 0) {
        return 2;
    }
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        next.tv_nsec += intervalNs;
        next.tv_sec += next.tv_nsec / 1000000000L;
        next.tv_nsec %= 1000000000L;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(connection);
        if (xcb_connection_has_error(connection) != 0) {
            return 1;
        }
    }
}
