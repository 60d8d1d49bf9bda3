#include "platform/wayland/wayland_pointer.h"

#include <poll.h>
#include <wayland-client.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "virtual-pointer-unstable-v1-client-protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto startLimit = std::chrono::milliseconds(1000);

std::mutex pointerMutex;
wl_display* display = nullptr;
zwlr_virtual_pointer_manager_v1* manager = nullptr;
zwlr_virtual_pointer_v1* pointer = nullptr;
wl_registry* registry = nullptr;
wl_callback* registrySync = nullptr;
bool registryDone = false;
bool lost = false;

void onGlobal(void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    if (manager == nullptr && std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    }
}

void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registryListener{onGlobal, onGlobalRemove};

void onSyncDone(void*, wl_callback* callback, std::uint32_t) {
    registryDone = true;
    wl_callback_destroy(callback);
    registrySync = nullptr;
}

const wl_callback_listener syncListener{onSyncDone};

// Reads and handles the compositor's events until *done or the deadline;
// never blocks past it (a frozen compositor must not hold up the start).
bool dispatchUntil(const bool* done, Clock::time_point deadline) {
    const int fd = wl_display_get_fd(display);
    for (;;) {
        if (wl_display_dispatch_pending(display) < 0) {
            return false;
        }
        if (*done) {
            return true;
        }
        if (wl_display_prepare_read(display) != 0) {
            continue;
        }
        if (wl_display_flush(display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display);
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable{fd, POLLIN, 0};
        const int ready = left > 0 ? poll(&readable, 1, static_cast<int>(left)) : 0;
        if (ready > 0) {
            if (wl_display_read_events(display) < 0) {
                return false;
            }
        } else {
            wl_display_cancel_read(display);
            if (ready == 0 || errno != EINTR) {
                return false;
            }
        }
    }
}

// Takes in whatever the compositor sent since the last nudge, without
// waiting, so that its side of the socket never fills up.
void drainEvents() {
    if (wl_display_prepare_read(display) == 0) {
        pollfd readable{wl_display_get_fd(display), POLLIN, 0};
        if (poll(&readable, 1, 0) > 0) {
            wl_display_read_events(display);
        } else {
            wl_display_cancel_read(display);
        }
    }
    wl_display_dispatch_pending(display);
}

// Frees every object of ours, then the connection; the compositor drops its
// side of them with the connection.
void disconnect() {
    for (void* object : {static_cast<void*>(pointer), static_cast<void*>(manager), static_cast<void*>(registry),
                         static_cast<void*>(registrySync)}) {
        if (object != nullptr) {
            wl_proxy_destroy(static_cast<wl_proxy*>(object));
        }
    }
    pointer = nullptr;
    manager = nullptr;
    registry = nullptr;
    registrySync = nullptr;
    wl_display_disconnect(display);
    display = nullptr;
}

std::uint32_t nowMs() {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

}  // namespace

bool waylandStart() {
    std::lock_guard<std::mutex> lock(pointerMutex);
    display = wl_display_connect(nullptr);
    if (display == nullptr) {
        return false;
    }
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, nullptr);
    registrySync = wl_display_sync(display);
    wl_callback_add_listener(registrySync, &syncListener, nullptr);
    if (!dispatchUntil(&registryDone, Clock::now() + startLimit) || manager == nullptr) {
        disconnect();
        return false;
    }
    pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, nullptr);
    wl_display_flush(display);
    return true;
}

bool waylandNudge() {
    std::lock_guard<std::mutex> lock(pointerMutex);
    if (pointer == nullptr || lost) {
        return false;
    }
    drainEvents();
    // What could not be sent last time is still waiting: send nothing more.
    if (wl_display_flush(display) < 0 && errno == EAGAIN) {
        return true;
    }
    if (wl_display_get_error(display) == 0) {
        zwlr_virtual_pointer_v1_motion(pointer, nowMs(), wl_fixed_from_int(0), wl_fixed_from_int(0));
        zwlr_virtual_pointer_v1_frame(pointer);
        wl_display_flush(display);
    }
    lost = wl_display_get_error(display) != 0;
    return !lost;
}

void waylandClose() {
    std::lock_guard<std::mutex> lock(pointerMutex);
    if (display != nullptr) {
        disconnect();
    }
}
