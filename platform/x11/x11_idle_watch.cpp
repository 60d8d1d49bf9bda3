// The alarm's events and the counter's reply are taken by polling XCB once
// the main thread's wait saw the socket readable: a server that stops
// answering holds up nothing after the start's bounded second.
#include "platform/x11/x11_idle_watch.h"

#include <xcb/sync.h>
#include <xcb/xcbext.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/x11/x11_connect.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Watch {
    xcb_connection_t* connection = nullptr;
    std::uint32_t counter = 0;
    xcb_sync_alarm_t alarm = 0;
    std::uint8_t alarmEvent = 0;  // the AlarmNotify event's number on this server
    std::uint32_t intervalMs = 0;
    unsigned query = 0;           // the idle time asked for at the last arming; 0: answered
    bool toldSinceArming = false;
    Clock::time_point lastTold;
};

// Never destroyed: the module's static destructors run at exit before the
// program's own exit hook.
Watch& watch = *new Watch;

void tell(char* problem, std::size_t size, const std::string& line) {
    std::snprintf(problem, size, "%s", line.c_str());
}

void closeConnection() {
    if (watch.connection != nullptr) {
        xcb_disconnect(watch.connection);
    }
    watch = Watch{};
}

xcb_sync_int64_t toInt64(std::int64_t value) {
    return xcb_sync_int64_t{static_cast<std::int32_t>(value >> 32), static_cast<std::uint32_t>(value)};
}

std::int64_t fromInt64(xcb_sync_int64_t value) {
    return (static_cast<std::int64_t>(value.hi) << 32) | value.lo;
}

// The alarm's event and the reply to the idle time asked for at arming may
// both tell of one and the same crossing; a nudge then follows the first,
// and the next real one cannot come within half an interval of it.
bool firstTelling() {
    const Clock::time_point now = Clock::now();
    if (watch.toldSinceArming && now - watch.lastTold < std::chrono::milliseconds(watch.intervalMs / 2)) {
        return false;
    }
    watch.toldSinceArming = true;
    watch.lastTold = now;
    return true;
}

// Sets the alarm to the interval and asks for the idle time as it is now.
void arm(std::uint32_t intervalMs) {
    watch.intervalMs = intervalMs;
    // Each time the idle time rises past the value; the program's own nudge
    // sets it back to 0 like any input, so the next comes one whole interval
    // of idleness later.
    constexpr std::uint32_t mask = XCB_SYNC_CA_COUNTER | XCB_SYNC_CA_VALUE_TYPE | XCB_SYNC_CA_VALUE |
                                   XCB_SYNC_CA_TEST_TYPE | XCB_SYNC_CA_DELTA | XCB_SYNC_CA_EVENTS;
    if (watch.alarm == 0) {
        xcb_sync_create_alarm_value_list_t values{watch.counter, XCB_SYNC_VALUETYPE_ABSOLUTE, toInt64(intervalMs),
                                                  XCB_SYNC_TESTTYPE_POSITIVE_TRANSITION, toInt64(0), 1};
        watch.alarm = xcb_generate_id(watch.connection);
        xcb_sync_create_alarm_aux(watch.connection, watch.alarm, mask, &values);
    } else {
        xcb_sync_change_alarm_value_list_t values{watch.counter, XCB_SYNC_VALUETYPE_ABSOLUTE, toInt64(intervalMs),
                                                  XCB_SYNC_TESTTYPE_POSITIVE_TRANSITION, toInt64(0), 1};
        xcb_sync_change_alarm_aux(watch.connection, watch.alarm, mask, &values);
    }
    // A transition only: a session idle for longer already is told by this.
    watch.query = xcb_sync_query_counter(watch.connection, watch.counter).sequence;
    watch.toldSinceArming = false;
    // A few short requests: the socket takes them at once.
    xcb_flush(watch.connection);
}

}  // namespace

int x11IdleStart(std::uint32_t intervalMs, char* problem, std::size_t size) {
    if (watch.connection != nullptr) {
        // A connection that broke is said by x11IdleReadable, which the wait
        // calls next; re-arming never waits on the display.
        if (xcb_connection_has_error(watch.connection) != 0) {
            tell(problem, size, "the X display went away");
            return -1;
        }
        arm(intervalMs);
        return xcb_get_file_descriptor(watch.connection);
    }
    const std::shared_ptr<ConnectAttempt> attempt = startConnectAttempt(true);
    X11Connection made;
    if (attempt == nullptr || !finishConnectAttempt(*attempt, 1000ms, &made)) {
        if (attempt != nullptr) {
            abandonConnectAttempt(*attempt);
        }
        tell(problem, size, "the X display did not answer within a second");
        return -1;
    }
    if (made.connection == nullptr) {
        tell(problem, size, "no X display could be reached to learn when the session is idle");
        return -1;
    }
    if (made.idleTimeCounter == 0) {
        xcb_disconnect(made.connection);
        tell(problem, size,
             made.sync ? "this X server's SYNC extension has no IDLETIME counter, which tells when the session is idle"
                       : "this X server has no SYNC extension, which tells when the session is idle");
        return -1;
    }
    watch.connection = made.connection;
    watch.counter = made.idleTimeCounter;
    watch.alarmEvent = static_cast<std::uint8_t>(xcb_get_extension_data(watch.connection, &xcb_sync_id)->first_event +
                                                 XCB_SYNC_ALARM_NOTIFY);
    arm(intervalMs);
    return xcb_get_file_descriptor(watch.connection);
}

int x11IdleReadable(char* problem, std::size_t size) {
    if (watch.connection == nullptr) {
        return 0;
    }
    bool idle = false;
    bool refused = false;
    // Reads what the socket holds, never waiting, and sorts it into events
    // and the reply taken below.
    while (xcb_generic_event_t* event = xcb_poll_for_event(watch.connection)) {
        if (event->response_type == 0) {
            refused = true;  // an error: the alarm was not made or changed
        } else if ((event->response_type & 0x7f) == watch.alarmEvent) {
            const auto* alarm = reinterpret_cast<const xcb_sync_alarm_notify_event_t*>(event);
            if (alarm->alarm == watch.alarm && alarm->state != XCB_SYNC_ALARMSTATE_DESTROYED &&
                fromInt64(alarm->counter_value) >= watch.intervalMs) {
                idle = firstTelling() || idle;
            }
        }
        std::free(event);
    }
    if (watch.query != 0) {
        void* answer = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(watch.connection, watch.query, &answer, &error) != 0) {
            watch.query = 0;
            const auto* reply = static_cast<const xcb_sync_query_counter_reply_t*>(answer);
            if (reply != nullptr && fromInt64(reply->counter_value) >= watch.intervalMs) {
                idle = firstTelling() || idle;
            }
            refused = refused || error != nullptr;
        }
        std::free(answer);
        std::free(error);
    }
    if (xcb_connection_has_error(watch.connection) != 0 || refused) {
        tell(problem, size,
             refused ? "the X server refused the idle-time alarm" : "the X display went away");
        closeConnection();
        return 0;
    }
    return idle ? 1 : 0;
}

void x11IdleStop() {
    closeConnection();
}
