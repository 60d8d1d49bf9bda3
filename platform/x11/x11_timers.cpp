// The idle watchers of an X session as its server tells of them: xscreensaver
// keeps a child window of the root that names its version (the way its own
// xscreensaver-command finds the daemon of this display), xautolock writes
// its process id on the root window, and the server's DPMS has its stages.
//
// The watch asks only for the root window's properties and the end of
// xscreensaver's window, not for every window the desktop makes or moves: a
// dragged window would wake the program dozens of times a second. xscreensaver
// writes _SCREENSAVER_STATUS on the root window when it starts and deletes it
// when it quits; a daemon killed outright still loses its window.
#include "platform/x11/x11_timers.h"

#include <poll.h>
#include <xcb/dpms.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/x11/x11_module.h"

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> owned(T* reply) {
    return Reply<T>(reply, &std::free);
}

constexpr char versionName[] = "_SCREENSAVER_VERSION";
constexpr char statusName[] = "_SCREENSAVER_STATUS";
constexpr char xautolockName[] = "XAUTOLOCK_SEMAPHORE_PID";

xcb_intern_atom_cookie_t intern(xcb_connection_t* connection, bool onlyIfExists, const char* name) {
    return xcb_intern_atom(connection, onlyIfExists ? 1 : 0, static_cast<std::uint16_t>(std::strlen(name)), name);
}

xcb_atom_t atomOf(xcb_connection_t* connection, xcb_intern_atom_cookie_t cookie) {
    auto reply = owned(xcb_intern_atom_reply(connection, cookie, nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The first child of the root that carries xscreensaver's version. All the
// questions go out before the first answer is waited for: one round trip
// however many windows the desktop has.
void findScreensaver(xcb_connection_t* connection, xcb_window_t root, xcb_atom_t version, X11WatcherFacts* facts) {
    auto tree = owned(xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr));
    if (!tree || version == XCB_ATOM_NONE) {
        return;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_property_cookie_t> asked;
    asked.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        asked.push_back(xcb_get_property(connection, 0, children[i], version, XCB_ATOM_STRING, 0, 8));
    }
    for (int i = 0; i < count; ++i) {
        // Every reply is taken, found or not, so none is left behind.
        auto property = owned(xcb_get_property_reply(connection, asked[static_cast<std::size_t>(i)], nullptr));
        const int length = property ? xcb_get_property_value_length(property.get()) : 0;
        if (facts->screensaverWindow != 0 || length <= 0 || property->format != 8) {
            continue;
        }
        const std::size_t kept = std::min(static_cast<std::size_t>(length), sizeof facts->screensaverVersion - 1);
        std::memcpy(facts->screensaverVersion, xcb_get_property_value(property.get()), kept);
        facts->screensaverVersion[kept] = '\0';
        facts->screensaverWindow = children[i];
    }
}

struct Watch {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t status = XCB_ATOM_NONE;
    xcb_atom_t xautolock = XCB_ATOM_NONE;
    xcb_window_t screensaver = 0;
    unsigned followRequest = 0;  // asking for the end of that window
};

// Opened on the caller's thread, then used only by the main thread.
Watch watch;

// What the socket takes now; the rest goes with the next call.
void flushIfRoom() {
    pollfd socket{xcb_get_file_descriptor(watch.connection), POLLOUT, 0};
    if (poll(&socket, 1, 0) == 1 && (socket.revents & POLLOUT) != 0) {
        xcb_flush(watch.connection);
    }
}

}  // namespace

int x11TimersRead(X11WatcherFacts* facts, char* resources, std::size_t size) {
    *facts = X11WatcherFacts{};
    facts->dpms = -1;
    if (size > 0) {
        resources[0] = '\0';
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return 0;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_prefetch_extension_data(connection, &xcb_dpms_id);
    // Names nobody made yet mean nobody wrote them: they are not made here.
    const auto version = intern(connection, true, versionName);
    const auto xautolock = intern(connection, true, xautolockName);
    const std::uint32_t words = size > 0 ? static_cast<std::uint32_t>((size - 1) / 4) : 0;
    const auto database = xcb_get_property(connection, 0, root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 0, words);

    if (auto text = owned(xcb_get_property_reply(connection, database, nullptr)); text && size > 0) {
        const int given = std::max(0, xcb_get_property_value_length(text.get()));
        const std::size_t length = std::min(static_cast<std::size_t>(given), size - 1);
        std::memcpy(resources, xcb_get_property_value(text.get()), length);
        resources[length] = '\0';
    }
    const xcb_atom_t xautolockAtom = atomOf(connection, xautolock);
    if (xautolockAtom != XCB_ATOM_NONE) {
        // Four bytes of a native int, written with format 8.
        const auto asked = xcb_get_property(connection, 0, root, xautolockAtom, XCB_GET_PROPERTY_TYPE_ANY, 0, 1);
        auto pid = owned(xcb_get_property_reply(connection, asked, nullptr));
        if (pid && pid->format == 8 && xcb_get_property_value_length(pid.get()) >= 4) {
            std::int32_t value = 0;
            std::memcpy(&value, xcb_get_property_value(pid.get()), sizeof value);
            facts->xautolockPid = value > 0 ? static_cast<std::uint32_t>(value) : 0;
        }
    }
    findScreensaver(connection, root, atomOf(connection, version), facts);

    const xcb_query_extension_reply_t* dpms = xcb_get_extension_data(connection, &xcb_dpms_id);
    if (dpms != nullptr && dpms->present != 0) {
        const auto infoAsked = xcb_dpms_info(connection);
        const auto timeoutsAsked = xcb_dpms_get_timeouts(connection);
        auto info = owned(xcb_dpms_info_reply(connection, infoAsked, nullptr));
        auto timeouts = owned(xcb_dpms_get_timeouts_reply(connection, timeoutsAsked, nullptr));
        if (info && timeouts) {
            facts->dpms = info->state != 0 ? 1 : 0;
            facts->dpmsStandby = timeouts->standby_timeout;
            facts->dpmsSuspend = timeouts->suspend_timeout;
            facts->dpmsOff = timeouts->off_timeout;
        }
    }
    const bool reached = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reached ? 1 : 0;
}

int x11TimersWatchOpen(std::uint32_t screensaverWindow) {
    x11TimersWatchClose();
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return -1;
    }
    // Made if need be: xautolock may write its name only later.
    const auto status = intern(connection, false, statusName);
    const auto xautolock = intern(connection, false, xautolockName);
    watch.connection = connection;
    watch.root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    watch.status = atomOf(connection, status);
    watch.xautolock = atomOf(connection, xautolock);
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(connection, watch.root, XCB_CW_EVENT_MASK, &mask);
    x11TimersWatchFollow(screensaverWindow);
    xcb_flush(connection);
    if (xcb_connection_has_error(connection) != 0 || watch.status == XCB_ATOM_NONE) {
        x11TimersWatchClose();
        return -1;
    }
    return xcb_get_file_descriptor(connection);
}

void x11TimersWatchFollow(std::uint32_t screensaverWindow) {
    if (watch.connection == nullptr || screensaverWindow == watch.screensaver) {
        return;
    }
    watch.screensaver = screensaverWindow;
    if (screensaverWindow != 0) {
        const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        watch.followRequest =
            xcb_change_window_attributes(watch.connection, screensaverWindow, XCB_CW_EVENT_MASK, &mask).sequence;
        flushIfRoom();
    }
}

int x11TimersWatchReadable() {
    if (watch.connection == nullptr) {
        return 0;
    }
    bool changed = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(watch.connection)) {
        switch (event->response_type & 0x7f) {
        case 0: {
            // The window was gone before its end could be asked for.
            const auto* error = reinterpret_cast<const xcb_generic_error_t*>(event);
            if (watch.screensaver != 0 && error->sequence == static_cast<std::uint16_t>(watch.followRequest)) {
                watch.screensaver = 0;
                changed = true;
            }
            break;
        }
        case XCB_PROPERTY_NOTIFY: {
            const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            changed = changed || (property->window == watch.root &&
                                  (property->atom == XCB_ATOM_RESOURCE_MANAGER || property->atom == watch.status ||
                                   property->atom == watch.xautolock));
            break;
        }
        case XCB_DESTROY_NOTIFY: {
            const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
            if (destroyed->window == watch.screensaver && watch.screensaver != 0) {
                watch.screensaver = 0;
                changed = true;
            }
            break;
        }
        default:
            break;
        }
        std::free(event);
    }
    if (xcb_connection_has_error(watch.connection) != 0) {
        x11TimersWatchClose();
        return -1;
    }
    flushIfRoom();
    return changed ? 1 : 0;
}

void x11TimersWatchClose() {
    if (watch.connection != nullptr) {
        xcb_disconnect(watch.connection);
    }
    watch = Watch{};
}
