#include "platform/x11/x11_idle_check.h"

#include <xcb/screensaver.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>

#include <cstdlib>

namespace {

// Longer than any stall of a busy server between two back-to-back requests.
constexpr std::uint32_t clearlyIdleMs = 1000;

// True once the reply (or an error in its place) is in; reading stays 0 then.
bool replyIn(xcb_connection_t* connection, unsigned sequence, std::uint32_t* reading, bool* failed) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection, sequence, &reply, &error) == 0) {
        return false;
    }
    if (reply != nullptr) {
        *reading = static_cast<xcb_screensaver_query_info_reply_t*>(reply)->ms_since_user_input;
    } else {
        *failed = true;
    }
    std::free(reply);
    std::free(error);
    return true;
}

}  // namespace

IdleVerdict judgeIdleReadings(std::uint32_t beforeMs, std::uint32_t afterMs) {
    if (afterMs < beforeMs) {
        return IdleVerdict::took;
    }
    return afterMs > clearlyIdleMs ? IdleVerdict::failed : IdleVerdict::undecided;
}

void queueCheckedNudge(xcb_connection_t* connection, xcb_window_t root, std::int16_t dx, std::int16_t dy,
                       IdleCheck& check) {
    const bool checking = check.due && !check.waiting;
    if (checking) {
        check.before = xcb_screensaver_query_info(connection, root).sequence;
    }
    // Detail 1 makes the motion relative; no reply is awaited.
    xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, 1, XCB_CURRENT_TIME, XCB_NONE, dx, dy, 0);
    if (checking) {
        check.after = xcb_screensaver_query_info(connection, root).sequence;
        check.due = false;
        check.waiting = true;
    }
}

IdleVerdict collectIdleCheck(xcb_connection_t* connection, IdleCheck& check) {
    if (!check.waiting) {
        return IdleVerdict::undecided;
    }
    bool unanswerable = false;
    if (!check.haveBefore) {
        if (!replyIn(connection, check.before, &check.beforeMs, &unanswerable)) {
            return IdleVerdict::undecided;
        }
        check.haveBefore = true;
    }
    std::uint32_t afterMs = 0;
    if (!replyIn(connection, check.after, &afterMs, &unanswerable)) {
        return IdleVerdict::undecided;
    }
    const IdleVerdict verdict = judgeIdleReadings(check.beforeMs, afterMs);
    const bool again = verdict == IdleVerdict::undecided && !unanswerable;
    check = IdleCheck{};
    check.due = again;
    return unanswerable ? IdleVerdict::undecided : verdict;
}
