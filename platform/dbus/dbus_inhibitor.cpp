// All bus work happens on one thread of the module's own, running a private
// GMainContext with asynchronous calls only; the program's threads hand it
// work with g_main_context_invoke and wait for it only at start and at exit,
// each time with a deadline. The connection is private to this module, so
// closing it (or the process dying) drops the inhibitor with it.
#include "platform/dbus/dbus_inhibitor.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dbus/bus_address.h"
#include "platform/dbus/desktop_timeouts.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto startLimit = std::chrono::milliseconds(1000);
constexpr auto closeLimit = std::chrono::milliseconds(500);
constexpr int callLimitMs = 2000;
constexpr guint32 inhibitIdle = 8;
constexpr std::uint32_t longestActivityPeriodMs = 10000;
constexpr const char* appId = "keepawake";
constexpr const char* reason = "Kept awake at the user's request";

struct Service {
    const char* name;
    const char* path;
    const char* interface;
    const char* uninhibit;
    const char* spoken;  // as the user reads it
};
const Service gnomeSessionManager{"org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
                                  "Uninhibit", "GNOME's session manager"};
const Service freedesktopScreenSaver{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                     "org.freedesktop.ScreenSaver", "UnInhibit", "the freedesktop screen saver"};
// In the order they are preferred.
const Service* const services[] = {&gnomeSessionManager, &freedesktopScreenSaver};

// Set before dbusStart returns true and never changed after.
GMainContext* context = nullptr;
GMainLoop* loop = nullptr;
GThread* thread = nullptr;
GDBusConnection* connection = nullptr;
DbusChanged told = nullptr;

// The D-Bus thread's own. A generation tells answers meant for an owner of
// the name that has since gone away from those of the present one.
const Service* service = nullptr;  // the one whose inhibitor is wanted
bool present[2] = {false, false};
bool seen[2] = {false, false};
bool wanted = true;
bool inFlight = false;
bool haveCookie = false;
guint32 cookie = 0;
bool refused = false;
bool checked = false;  // this owner's first inhibitor was checked
bool closing = false;
guint generation = 0;

// What the other threads read.
std::atomic<const Service*> offered{nullptr};
std::atomic<bool> simulateActivity{false};
std::atomic<std::uint32_t> activityPeriodMs{longestActivityPeriodMs};
std::atomic<std::uint32_t> timeoutSeconds{0};

// The worker's own.
std::optional<Clock::time_point> lastActivity;

// Never destroyed: closing at exit, in the program's exit hook, still waits
// on them after the module's static destructors have run.
std::mutex& handOver = *new std::mutex;
std::condition_variable& handedOver = *new std::condition_variable;
bool startAnswered = false;
bool connected = false;
bool abandoned = false;
bool threadEnded = false;

int slotOf(const Service* candidate) {
    return candidate == &gnomeSessionManager ? 0 : 1;
}

void call(const char* method, GVariant* arguments, const GVariantType* replyType, GAsyncReadyCallback done,
          gpointer data) {
    g_dbus_connection_call(connection, service->name, service->path, service->interface, method, arguments,
                           replyType, G_DBUS_CALL_FLAGS_NO_AUTO_START, callLimitMs, nullptr, done, data);
}

void onClosed(GObject*, GAsyncResult* result, gpointer) {
    g_dbus_connection_close_finish(connection, result, nullptr);
    g_main_loop_quit(loop);
}

void shutDown() {
    if (connection == nullptr) {
        g_main_loop_quit(loop);
        return;
    }
    g_dbus_connection_close(connection, nullptr, onClosed, nullptr);
}

// Says what changed, once the state the other threads read is up to date.
void publish(const char* cause) {
    offered = service != nullptr && !refused ? service : nullptr;
    if (told != nullptr && !closing) {
        told(cause);
    }
}

void onChecked(GObject* source, GAsyncResult* result, gpointer data) {
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (GPOINTER_TO_UINT(data) != generation || closing) {
        if (reply != nullptr) {
            g_variant_unref(reply);
        }
        return;
    }
    gboolean inhibited = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &inhibited);
        g_variant_unref(reply);
    }
    if (!inhibited && wanted && haveCookie) {
        std::fprintf(stderr, "keepawake: GNOME's session manager took the idle inhibitor but does not report the "
                             "session inhibited; it may still go idle and lock.\n");
    }
}

void onActivityChecked(GObject* source, GAsyncResult* result, gpointer data) {
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    // GNOME's stand-in for this service answers NotSupported, hypridle knows
    // no such method: their inhibitor is enough, and the call would only be
    // refused.
    const bool takes = reply != nullptr;
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
    if (GPOINTER_TO_UINT(data) == generation && !closing && takes != simulateActivity) {
        simulateActivity = takes;
        publish(nullptr);
    }
}

// Once shortly after the inhibitor is taken from a new owner: see that it
// took, and whether the desktop takes the activity call.
void checkTook() {
    if (service == &gnomeSessionManager) {
        call("IsInhibited", g_variant_new("(u)", inhibitIdle), G_VARIANT_TYPE("(b)"), onChecked,
             GUINT_TO_POINTER(generation));
    } else {
        call("SimulateUserActivity", nullptr, nullptr, onActivityChecked, GUINT_TO_POINTER(generation));
    }
}

void onReleasedForClose(GObject* source, GAsyncResult* result, gpointer) {
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
    shutDown();
}

void release(GAsyncReadyCallback done) {
    if (!haveCookie) {
        if (done != nullptr) {
            shutDown();
        }
        return;
    }
    haveCookie = false;
    call(service->uninhibit, g_variant_new("(u)", cookie), nullptr, done, nullptr);
}

void onInhibited(GObject* source, GAsyncResult* result, gpointer data) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    const bool current = GPOINTER_TO_UINT(data) == generation && !closing;
    if (current) {
        inFlight = false;
    }
    if (reply == nullptr) {
        if (current) {
            refused = true;
            const std::string cause =
                std::string(service->spoken) + " would not take the idle inhibitor (" + error->message + ")";
            publish(cause.c_str());
        }
        g_error_free(error);
        return;
    }
    guint32 newCookie = 0;
    g_variant_get(reply, "(u)", &newCookie);
    g_variant_unref(reply);
    if (!current) {
        return;
    }
    cookie = newCookie;
    haveCookie = true;
    if (!wanted) {
        // Paused while the request was on its way.
        release(nullptr);
    } else if (!checked) {
        checked = true;
        checkTook();
    }
}

void take() {
    if (service != nullptr && wanted && !haveCookie && !inFlight && !refused && !closing) {
        inFlight = true;
        GVariant* arguments = service == &gnomeSessionManager
                                  ? g_variant_new("(susu)", appId, 0u, reason, inhibitIdle)
                                  : g_variant_new("(ss)", appId, reason);
        call("Inhibit", arguments, G_VARIANT_TYPE("(u)"), onInhibited, GUINT_TO_POINTER(generation));
    }
}

// A new owner: nothing of the last one's answers counts any more.
void choose(const Service* chosen) {
    service = chosen;
    ++generation;
    haveCookie = false;
    inFlight = false;
    refused = false;
    checked = false;
    simulateActivity = false;
    if (chosen != nullptr) {
        const std::uint32_t timeout =
            chosen == &gnomeSessionManager ? gnomeIdleDelaySeconds() : kdeLockTimeoutSeconds();
        timeoutSeconds = timeout;
        activityPeriodMs = timeout == 0 ? longestActivityPeriodMs : std::min(longestActivityPeriodMs, timeout * 500);
    }
    take();
}

const Service* serviceNamed(const gchar* name) {
    for (const Service* candidate : services) {
        if (g_strcmp0(name, candidate->name) == 0) {
            return candidate;
        }
    }
    return nullptr;
}

void onAppeared(GDBusConnection*, const gchar* name, const gchar*, gpointer) {
    const Service* appeared = serviceNamed(name);
    const int slot = slotOf(appeared);
    if (appeared == nullptr || present[slot]) {
        return;
    }
    present[slot] = true;
    const bool before = seen[slot];
    seen[slot] = true;
    if (service != nullptr && !refused) {
        return;  // one inhibitor is enough; this one stands by
    }
    choose(appeared);
    const std::string cause =
        std::string(appeared->spoken) + (before ? " came back to the session bus" : " appeared on the session bus");
    publish(cause.c_str());
}

void onVanished(GDBusConnection*, const gchar* name, gpointer) {
    const Service* vanished = serviceNamed(name);
    const int slot = slotOf(vanished);
    if (vanished == nullptr || !present[slot]) {
        return;
    }
    present[slot] = false;
    if (vanished != service) {
        return;
    }
    // Its inhibitors went with it; answers still on their way are stale.
    const Service* standby = nullptr;
    for (const Service* candidate : services) {
        if (candidate != vanished && present[slotOf(candidate)]) {
            standby = candidate;
        }
    }
    choose(standby);
    const std::string cause = std::string(vanished->spoken) + " left the session bus";
    publish(cause.c_str());
}

// Hands the outcome of the start to dbusStart; false when it gave up waiting.
bool answerStart(bool answered) {
    std::lock_guard<std::mutex> lock(handOver);
    if (abandoned) {
        return false;
    }
    startAnswered = true;
    connected = answered;
    handedOver.notify_all();
    return answered;
}

// Both owners are known: take the preferred one's inhibitor, and follow both
// names from now on (their first reports match what is known and change
// nothing).
void settleStart() {
    for (const Service* candidate : services) {
        seen[slotOf(candidate)] = present[slotOf(candidate)];
    }
    for (const Service* candidate : services) {
        if (present[slotOf(candidate)]) {
            choose(candidate);
            break;
        }
    }
    offered = service;
    // Answered once the timeout is known; a start that gave up meanwhile
    // drops the inhibitor with the connection.
    if (!answerStart(true)) {
        shutDown();
        return;
    }
    for (const Service* candidate : services) {
        g_bus_watch_name_on_connection(connection, candidate->name, G_BUS_NAME_WATCHER_FLAGS_NONE, onAppeared,
                                       onVanished, nullptr, nullptr);
    }
}

void askOwner(const Service* candidate);

void onOwnerAnswer(GObject* source, GAsyncResult* result, gpointer data) {
    const auto* candidate = static_cast<const Service*>(data);
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    gboolean owned = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    present[slotOf(candidate)] = owned != FALSE;
    if (candidate == &gnomeSessionManager) {
        askOwner(&freedesktopScreenSaver);
    } else {
        settleStart();
    }
}

void askOwner(const Service* candidate) {
    g_dbus_connection_call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", g_variant_new("(s)", candidate->name), G_VARIANT_TYPE("(b)"),
                           G_DBUS_CALL_FLAGS_NONE, callLimitMs, nullptr, onOwnerAnswer,
                           const_cast<Service*>(candidate));
}

void onConnected(GObject*, GAsyncResult* result, gpointer) {
    connection = g_dbus_connection_new_for_address_finish(result, nullptr);
    if (connection == nullptr) {
        answerStart(false);
        shutDown();
        return;
    }
    askOwner(&gnomeSessionManager);
}

gpointer threadMain(gpointer address) {
    g_main_context_push_thread_default(context);
    g_dbus_connection_new_for_address(
        static_cast<const gchar*>(address),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, onConnected, nullptr);
    g_free(address);
    g_main_loop_run(loop);
    g_main_context_pop_thread_default(context);
    std::lock_guard<std::mutex> lock(handOver);
    threadEnded = true;
    handedOver.notify_all();
    return nullptr;
}

gboolean pauseOnThread(gpointer) {
    wanted = false;
    release(nullptr);
    return G_SOURCE_REMOVE;
}

gboolean resumeOnThread(gpointer) {
    wanted = true;
    take();
    return G_SOURCE_REMOVE;
}

gboolean closeOnThread(gpointer) {
    wanted = false;
    closing = true;
    release(onReleasedForClose);
    return G_SOURCE_REMOVE;
}

}  // namespace

bool dbusStart(DbusChanged changed) {
    const std::string address = sessionBusAddress();
    if (address.empty()) {
        return false;
    }
    told = changed;
    context = g_main_context_new();
    loop = g_main_loop_new(context, FALSE);
    GThread* started = g_thread_try_new("keepawake-dbus", threadMain, g_strdup(address.c_str()), nullptr);
    if (started == nullptr) {
        return false;
    }
    std::unique_lock<std::mutex> lock(handOver);
    if (!handedOver.wait_for(lock, startLimit, [] { return startAnswered; })) {
        // The thread shuts itself down when its answer comes after all.
        abandoned = true;
        g_thread_unref(started);
        return false;
    }
    if (!connected) {
        g_thread_unref(started);
        return false;
    }
    thread = started;
    return true;
}

const char* dbusService() {
    const Service* now = offered;
    return now != nullptr ? now->spoken : nullptr;
}

std::uint32_t dbusActivityPeriodMs() {
    return offered.load() != nullptr && simulateActivity ? activityPeriodMs.load() : 0;
}

std::uint32_t dbusTimeoutSeconds() {
    return offered.load() != nullptr ? timeoutSeconds.load() : 0;
}

void dbusNudge(bool onItsOwnTimer) {
    const Service* now = offered;
    if (now == nullptr || !simulateActivity) {
        return;
    }
    const auto period = std::chrono::milliseconds(activityPeriodMs.load());
    // A timer tick keeps its phase and may come a few milliseconds before a
    // whole period has passed since the last call.
    const auto slack = onItsOwnTimer ? period / 8 : std::chrono::milliseconds(0);
    const Clock::time_point at = Clock::now();
    if (lastActivity && at - *lastActivity + slack < period) {
        return;
    }
    lastActivity = at;
    // No reply is asked for: one message queued to GDBus's own writer.
    g_dbus_connection_call(connection, now->name, now->path, now->interface, "SimulateUserActivity", nullptr, nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
}

void dbusPause() {
    if (thread != nullptr) {
        g_main_context_invoke(context, pauseOnThread, nullptr);
    }
}

void dbusResume() {
    if (thread != nullptr) {
        g_main_context_invoke(context, resumeOnThread, nullptr);
    }
}

void dbusClose() {
    if (thread == nullptr) {
        return;
    }
    g_main_context_invoke(context, closeOnThread, nullptr);
    std::unique_lock<std::mutex> lock(handOver);
    const bool ended = handedOver.wait_for(lock, closeLimit, [] { return threadEnded; });
    lock.unlock();
    if (ended) {
        g_thread_join(thread);
    } else {
        g_thread_unref(thread);
    }
    thread = nullptr;
}
