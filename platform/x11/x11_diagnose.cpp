// --diagnose on X11: everything the server tells about blanking, and one
// nudge checked against its idle counter. Runs on a reader thread, so the
// plain blocking XCB calls are fine here: the caller's deadline bounds them.
#include <xcb/dpms.h>
#include <xcb/screensaver.h>
#include <xcb/sync.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/x11/x11_connect.h"
#include "platform/x11/x11_diagnose.h"

#include <functional>

namespace {

using FindingSink = std::function<void(Finding)>;

const std::string serverSource = "X server, GetScreenSaver";
const std::string dpmsSource = "X server, DPMS extension";

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> owned(T* reply) {
    return Reply<T>(reply, &std::free);
}

bool present(xcb_connection_t* connection, xcb_extension_t* extension) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
    return data != nullptr && data->present != 0;
}

std::optional<std::uint32_t> idleMs(xcb_connection_t* connection, xcb_window_t root) {
    auto info = owned(xcb_screensaver_query_info_reply(connection, xcb_screensaver_query_info(connection, root),
                                                       nullptr));
    if (!info) {
        return std::nullopt;
    }
    return info->ms_since_user_input;
}

void saverFindings(xcb_connection_t* connection, const FindingSink& add) {
    auto saver = owned(xcb_get_screen_saver_reply(connection, xcb_get_screen_saver(connection), nullptr));
    if (!saver) {
        add(unreadableFinding(Finding::timeout, Finding::saverTimeout, "screen-saver timeout",
                              "the X server refused GetScreenSaver"));
        return;
    }
    Finding timeout = readFinding(Finding::timeout, Finding::saverTimeout, "screen-saver timeout",
                                  saver->timeout == 0 ? "0 (off)" : std::to_string(saver->timeout),
                                  saver->timeout == 0 ? "" : "s", serverSource);
    timeout.seconds = saver->timeout;
    timeout.heldBy = heldByNudge;
    add(timeout);
    add(readFinding(Finding::timers, Finding::fact, "screen-saver cycle", std::to_string(saver->interval), "s",
                    serverSource));
    add(readFinding(Finding::timers, Finding::fact, "screen-saver blanking",
                    saver->prefer_blanking == XCB_BLANKING_NOT_PREFERRED ? "not preferred" : "preferred", "",
                    serverSource));
}

void dpmsFindings(xcb_connection_t* connection, const FindingSink& add) {
    if (!present(connection, &xcb_dpms_id)) {
        add(readFinding(Finding::timers, Finding::fact, "DPMS", "not offered by this server", "", dpmsSource));
        return;
    }
    auto info = owned(xcb_dpms_info_reply(connection, xcb_dpms_info(connection), nullptr));
    auto timeouts = owned(xcb_dpms_get_timeouts_reply(connection, xcb_dpms_get_timeouts(connection), nullptr));
    if (!info || !timeouts) {
        add(unreadableFinding(Finding::timers, Finding::timer, "DPMS", "the X server refused the DPMS queries"));
        return;
    }
    const bool enabled = info->state != 0;
    add(readFinding(Finding::timers, Finding::fact, "DPMS", enabled ? "enabled" : "disabled", "", dpmsSource));
    const struct {
        const char* what;
        std::uint16_t seconds;
    } stages[] = {{"DPMS standby", timeouts->standby_timeout},
                  {"DPMS suspend", timeouts->suspend_timeout},
                  {"DPMS off", timeouts->off_timeout}};
    for (const auto& stage : stages) {
        // An enabled DPMS is one of the session's timers, listed with the
        // others (platform/linux/x11_timers.cpp); a disabled one blanks
        // nothing, whatever its timeouts say.
        if (enabled) {
            add(readFinding(Finding::timers, Finding::fact, stage.what, std::to_string(stage.seconds), "s",
                            dpmsSource));
            continue;
        }
        Finding finding = timerFinding(Finding::timer, stage.what, 0, dpmsSource, heldByNudge);
        finding.value = std::to_string(stage.seconds) + " s, unused while DPMS is disabled";
        finding.unit.clear();
        add(finding);
    }
}

// One zero relative move between two readings of the idle counter. A user
// busy at the same moment makes the first reading low; it is asked again.
void liveCheck(xcb_connection_t* connection, xcb_window_t root, const FindingSink& add) {
    const std::string source = "MIT-SCREEN-SAVER idle counter around one XTEST move";
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto before = idleMs(connection, root);
        if (!before) {
            add(unreadableFinding(Finding::live, Finding::check, "one nudge", "the X server refused QueryInfo"));
            return;
        }
        if (attempt == 0) {
            add(readFinding(Finding::live, Finding::fact, "idle time", std::to_string(*before), "ms",
                            "MIT-SCREEN-SAVER QueryInfo"));
        }
        xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        const auto after = idleMs(connection, root);
        if (!after) {
            add(unreadableFinding(Finding::live, Finding::check, "one nudge", "the X server refused QueryInfo"));
            return;
        }
        if (*after < *before) {
            Finding counted = readFinding(Finding::live, Finding::check, "one nudge",
                                          "counted: idle time fell from " + std::to_string(*before) + " to " +
                                              std::to_string(*after),
                                          "ms", source);
            counted.ok = true;
            add(counted);
            return;
        }
        if (*after > 1000) {
            Finding ignored = readFinding(Finding::live, Finding::check, "one nudge",
                                          "did not count: idle time went from " + std::to_string(*before) + " to " +
                                              std::to_string(*after),
                                          "ms", source);
            ignored.advice = "this X server does not count XTEST moves as user activity; its screen saver and "
                             "DPMS will still start (use the desktop's own session, or raise their timeouts)";
            add(ignored);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    add(unreadableFinding(Finding::live, Finding::check, "one nudge",
                          "the idle time stayed under a second: someone is using the display"));
}

}  // namespace

void x11Diagnose(DiagnosisSink sink, void* context) {
    const FindingSink add = [sink, context](const Finding& finding) { sendFinding(sink, context, finding); };
    const char* name = std::getenv("DISPLAY");
    const std::string display = name != nullptr ? name : "";
    Finding way = readFinding(Finding::session, Finding::way, "kept awake by", "XTEST relative moves", "",
                              "X display " + display);
    way.heldBy = heldByNudge;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        way.advice = "the X display " + display + " cannot be reached: run keepawake inside the desktop session, "
                     "with its DISPLAY and XAUTHORITY";
        add(way);
        return;
    }
    xcb_prefetch_extension_data(connection, &xcb_test_id);
    xcb_prefetch_extension_data(connection, &xcb_screensaver_id);
    xcb_prefetch_extension_data(connection, &xcb_dpms_id);
    xcb_prefetch_extension_data(connection, &xcb_sync_id);
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
    add(readFinding(Finding::session, Finding::fact, "X server",
                    std::string(xcb_setup_vendor(setup), static_cast<std::size_t>(xcb_setup_vendor_length(setup))) +
                        ", release " + std::to_string(setup->release_number),
                    "", "X display " + display));

    way.ok = present(connection, &xcb_test_id);
    if (!way.ok) {
        way.advice = "the X display " + display + " has no XTEST extension: start the X server with XTEST";
    }
    add(way);
    const bool sync = present(connection, &xcb_sync_id);
    const bool idleTime = sync && findIdleTimeCounter(connection) != 0;
    add(readFinding(Finding::session, Finding::fact, "--only-when-idle",
                    idleTime ? "told when the session is idle by the SYNC extension's IDLETIME counter"
                             : std::string("not told here (") +
                                   (sync ? "no IDLETIME counter" : "no SYNC extension") +
                                   "): its nudges would keep their timer",
                    "", "X display " + display));
    saverFindings(connection, add);
    dpmsFindings(connection, add);

    const bool counter = present(connection, &xcb_screensaver_id);
    add(readFinding(Finding::live, Finding::fact, "MIT-SCREEN-SAVER", counter ? "there" : "not there", "",
                    "X display " + display));
    if (!counter) {
        add(unreadableFinding(Finding::live, Finding::check, "one nudge",
                              "the X server has no MIT-SCREEN-SAVER extension to tell the idle time"));
    } else if (way.ok) {
        liveCheck(connection, root, add);
    }
    xcb_disconnect(connection);
}
