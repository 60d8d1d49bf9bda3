#include "platform/wayland/wayland_idle.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "ext-idle-notify-v1-client-protocol.h"
#include "kde-idle-client-protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

wl_display* display = nullptr;
wl_registry* registry = nullptr;
ext_idle_notifier_v1* notifier = nullptr;
std::uint32_t notifierVersion = 0;
org_kde_kwin_idle* kdeIdle = nullptr;  // where ext-idle-notify is missing (sway 1.7)
wl_seat* seat = nullptr;
// The thread's own once it runs: one of the two.
ext_idle_notification_v1* notification = nullptr;
org_kde_kwin_idle_timeout* kdeTimeout = nullptr;
bool registryDone = false;

// Never destroyed: the module's static destructors run at exit before the
// program's own exit hook, which ends the thread.
std::thread& watcher = *new std::thread;
int poke[2] = {-1, -1};  // wakes the thread: a new interval, or the end
std::atomic<std::uint32_t> wantedMs{0};
std::atomic<bool> ending{false};
void (*toldIdle)() = nullptr;
void (*lostCompositor)() = nullptr;

void onGlobal(void*, wl_registry* from, std::uint32_t name, const char* interface, std::uint32_t version) {
    if (notifier == nullptr && std::strcmp(interface, ext_idle_notifier_v1_interface.name) == 0) {
        notifierVersion = version < 2 ? version : 2;
        notifier = static_cast<ext_idle_notifier_v1*>(
            wl_registry_bind(from, name, &ext_idle_notifier_v1_interface, notifierVersion));
    } else if (kdeIdle == nullptr && std::strcmp(interface, org_kde_kwin_idle_interface.name) == 0) {
        kdeIdle = static_cast<org_kde_kwin_idle*>(wl_registry_bind(from, name, &org_kde_kwin_idle_interface, 1));
    } else if (seat == nullptr && std::strcmp(interface, wl_seat_interface.name) == 0) {
        seat = static_cast<wl_seat*>(wl_registry_bind(from, name, &wl_seat_interface, 1));
    }
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener registryListener{onGlobal, onGlobalRemove};

void onSyncDone(void*, wl_callback* callback, std::uint32_t) {
    registryDone = true;
    wl_callback_destroy(callback);
}
const wl_callback_listener syncListener{onSyncDone};

void onIdled(void*, ext_idle_notification_v1*) {
    toldIdle();
}
void onResumed(void*, ext_idle_notification_v1*) {}
const ext_idle_notification_v1_listener notificationListener{onIdled, onResumed};
void onKdeIdle(void*, org_kde_kwin_idle_timeout*) {
    toldIdle();
}
void onKdeResumed(void*, org_kde_kwin_idle_timeout*) {}
const org_kde_kwin_idle_timeout_listener kdeListener{onKdeIdle, onKdeResumed};

// Reads and handles events until the registry is known or the deadline;
// a frozen compositor holds up the start no longer than that.
bool readRegistry(Clock::time_point deadline) {
    wl_callback* sync = wl_display_sync(display);
    wl_callback_add_listener(sync, &syncListener, nullptr);
    while (!registryDone) {
        if (wl_display_prepare_read(display) != 0) {
            if (wl_display_dispatch_pending(display) < 0) {
                return false;
            }
            continue;
        }
        wl_display_flush(display);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable{wl_display_get_fd(display), POLLIN, 0};
        if (left <= 0 || poll(&readable, 1, static_cast<int>(left)) <= 0) {
            wl_display_cancel_read(display);
            return false;
        }
        if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
            return false;
        }
    }
    return true;
}

// A notification made anew counts its timeout from now.
void arm(std::uint32_t intervalMs) {
    if (notifier == nullptr) {
        if (kdeTimeout != nullptr) {
            org_kde_kwin_idle_timeout_release(kdeTimeout);
        }
        kdeTimeout = org_kde_kwin_idle_get_idle_timeout(kdeIdle, seat, intervalMs);
        org_kde_kwin_idle_timeout_add_listener(kdeTimeout, &kdeListener, nullptr);
        return;
    }
    if (notification != nullptr) {
        ext_idle_notification_v1_destroy(notification);
    }
    notification = notifierVersion >= 2 ? ext_idle_notifier_v1_get_input_idle_notification(notifier, intervalMs, seat)
                                        : ext_idle_notifier_v1_get_idle_notification(notifier, intervalMs, seat);
    ext_idle_notification_v1_add_listener(notification, &notificationListener, nullptr);
}

// The thread: sleeps in one poll on the connection and the poke pipe, so it
// costs no wake-up while nothing happens.
void watch() {
    for (;;) {
        if (const std::uint32_t wanted = wantedMs.exchange(0); wanted != 0) {
            arm(wanted);
        }
        while (wl_display_prepare_read(display) != 0) {
            wl_display_dispatch_pending(display);
        }
        wl_display_flush(display);
        pollfd waits[2] = {{wl_display_get_fd(display), POLLIN, 0}, {poke[0], POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 && errno != EINTR) {
            wl_display_cancel_read(display);
            break;
        }
        if ((waits[0].revents & POLLIN) != 0) {
            if (wl_display_read_events(display) < 0) {
                break;
            }
        } else {
            wl_display_cancel_read(display);
        }
        if (wl_display_dispatch_pending(display) < 0 || (waits[0].revents & (POLLHUP | POLLERR)) != 0) {
            break;
        }
        char drained[16];
        while (read(poke[0], drained, sizeof drained) > 0) {
        }
        if (ending) {
            return;
        }
    }
    if (!ending) {
        lostCompositor();
    }
}

void disconnect() {
    if (notification != nullptr) {
        ext_idle_notification_v1_destroy(notification);
    }
    if (notifier != nullptr) {
        ext_idle_notifier_v1_destroy(notifier);
    }
    if (kdeTimeout != nullptr) {
        org_kde_kwin_idle_timeout_release(kdeTimeout);
    }
    if (kdeIdle != nullptr) {
        wl_proxy_destroy(reinterpret_cast<wl_proxy*>(kdeIdle));
    }
    if (seat != nullptr) {
        wl_seat_destroy(seat);
    }
    if (registry != nullptr) {
        wl_registry_destroy(registry);
    }
    notification = nullptr;
    notifier = nullptr;
    kdeTimeout = nullptr;
    kdeIdle = nullptr;
    seat = nullptr;
    registry = nullptr;
    wl_display_disconnect(display);
    display = nullptr;
}

// Connects and finds the notifier and the seat, within about a second.
// Empty when both are there; else why not, disconnected again.
std::string connectAndFind() {
    registryDone = false;
    display = wl_display_connect(nullptr);
    if (display == nullptr) {
        return "the Wayland compositor could not be reached to learn when the session is idle";
    }
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, nullptr);
    if (!readRegistry(Clock::now() + std::chrono::milliseconds(1000))) {
        disconnect();
        return "the Wayland compositor did not answer within a second";
    }
    if ((notifier == nullptr && kdeIdle == nullptr) || seat == nullptr) {
        disconnect();
        return "this compositor offers no idle notifications (ext-idle-notify-v1, org_kde_kwin_idle)";
    }
    return {};
}

}  // namespace

std::string waylandIdleStart(std::uint32_t intervalMs, void (*told)(), void (*lost)()) {
    if (watcher.joinable()) {
        wantedMs = intervalMs;
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(poke[1], &byte, 1);
        return {};
    }
    if (std::string why = connectAndFind(); !why.empty()) {
        return why;
    }
    if (poke[0] < 0 && pipe2(poke, O_CLOEXEC | O_NONBLOCK) != 0) {
        disconnect();
        return "no pipe for the idle notifications";
    }
    toldIdle = told;
    lostCompositor = lost;
    wantedMs = intervalMs;
    ending = false;
    watcher = std::thread(watch);
    return {};
}

std::string waylandIdleProbe(std::string* why) {
    if (watcher.joinable()) {
        return waylandIdleKind();
    }
    *why = connectAndFind();
    if (!why->empty()) {
        return {};
    }
    std::string kind = waylandIdleKind();
    disconnect();
    return kind;
}

const char* waylandIdleKind() {
    if (notifier == nullptr && kdeIdle == nullptr) {
        return "";
    }
    if (notifier == nullptr) {
        return "the KDE idle protocol (org_kde_kwin_idle)";
    }
    return notifierVersion >= 2 ? "ext-idle-notify-v1, input-only (version 2)"
                                : "ext-idle-notify-v1, heeding idle inhibitors (version 1)";
}

void waylandIdleClose() {
    if (!watcher.joinable()) {
        return;
    }
    ending = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(poke[1], &byte, 1);
    watcher.join();
    disconnect();
}
