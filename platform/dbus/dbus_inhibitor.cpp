// All bus work happens on one thread of the module's own, running a private
// GMainContext with asynchronous calls only; the program's threads hand it
// work with g_main_context_invoke and wait for it only at start and at exit,
// each time with a deadline. The connection is private to this module, so
// closing it (or the process dying) drops the inhibitor with it.
#include "platform/dbus/dbus_inhibitor.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/dbus/desktop_timeouts.h"

namespace {

constexpr auto startLimit = std::chrono::milliseconds(1000);
constexpr auto closeLimit = std::chrono::milliseconds(500);
constexpr int callLimitMs = 2000;
constexpr guint32 inhibitIdle = 8;
constexpr const char* appId = "keepawake";
constexpr const char* reason = "Kept awake at the user's request";

struct Service {
    const char* name;
    const char* path;
    const char* interface;
    const char* uninhibit;
};
const Service gnomeSessionManager{"org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
                                  "Uninhibit"};
const Service freedesktopScreenSaver{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                     "org.freedesktop.ScreenSaver", "UnInhibit"};

// Set before dbusStart returns true and never changed after.
GMainContext* context = nullptr;
GMainLoop* loop = nullptr;
GThread* thread = nullptr;
GDBusConnection* connection = nullptr;
const Service* service = nullptr;

// The D-Bus thread's own. A generation tells answers meant for an owner of
// the name that has since gone away from those of the present one.
bool wanted = true;
bool inFlight = false;
bool haveCookie = false;
guint32 cookie = 0;
bool ownerPresent = false;
bool refused = false;
bool closing = false;
bool activityChecked = false;
guint generation = 0;

// Read by the worker on every nudge.
std::atomic<bool> needsTaking{false};
std::atomic<bool> simulateActivity{false};

std::mutex handOver;
std::condition_variable handedOver;
bool startAnswered = false;
bool found = false;
bool abandoned = false;
bool threadEnded = false;
std::uint32_t foundTimeout = 0;

void updateNeedsTaking() {
    needsTaking = wanted && !haveCookie && !inFlight && ownerPresent && !refused && !closing;
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

void onActivityChecked(GObject* source, GAsyncResult* result, gpointer) {
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    // GNOME's stand-in for this service answers NotSupported: its inhibitor
    // is enough there, and nudges would only be refused.
    simulateActivity = reply != nullptr;
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
}

// Once shortly after the inhibitor is taken, at start and after the service
// came back: see that it took.
void checkTook() {
    if (service == &gnomeSessionManager) {
        call("IsInhibited", g_variant_new("(u)", inhibitIdle), G_VARIANT_TYPE("(b)"), onChecked,
             GUINT_TO_POINTER(generation));
    } else if (!activityChecked) {
        activityChecked = true;
        call("SimulateUserActivity", nullptr, nullptr, onActivityChecked, nullptr);
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
            std::fprintf(stderr, "keepawake: %s would not take the idle inhibitor (%s); the session may go idle.\n",
                         service->name, error->message);
            refused = true;
            updateNeedsTaking();
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
    } else {
        checkTook();
    }
    updateNeedsTaking();
}

void take() {
    if (wanted && !haveCookie && !inFlight && ownerPresent && !refused && !closing) {
        inFlight = true;
        GVariant* arguments = service == &gnomeSessionManager
                                  ? g_variant_new("(susu)", appId, 0u, reason, inhibitIdle)
                                  : g_variant_new("(ss)", appId, reason);
        call("Inhibit", arguments, G_VARIANT_TYPE("(u)"), onInhibited, GUINT_TO_POINTER(generation));
    }
    updateNeedsTaking();
}

void onAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer) {
    if (!ownerPresent) {
        ownerPresent = true;
        refused = false;
        updateNeedsTaking();
    }
}

void onVanished(GDBusConnection*, const gchar*, gpointer) {
    // Its inhibitors went with it; answers still on their way are stale.
    ownerPresent = false;
    haveCookie = false;
    inFlight = false;
    ++generation;
    updateNeedsTaking();
}

// Hands the outcome of the start to dbusStart; false when it gave up waiting.
bool answerStart(bool serviceFound, std::uint32_t timeout) {
    std::lock_guard<std::mutex> lock(handOver);
    if (abandoned) {
        return false;
    }
    startAnswered = true;
    found = serviceFound;
    foundTimeout = timeout;
    handedOver.notify_all();
    return serviceFound;
}

void choose(const Service* chosen) {
    service = chosen;
    const std::uint32_t timeout = chosen == &gnomeSessionManager ? gnomeIdleDelaySeconds() : kdeLockTimeoutSeconds();
    if (!answerStart(true, timeout)) {
        shutDown();
        return;
    }
    ownerPresent = true;
    g_bus_watch_name_on_connection(connection, chosen->name, G_BUS_NAME_WATCHER_FLAGS_NONE, onAppeared, onVanished,
                                   nullptr, nullptr);
    take();
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
    if (owned) {
        choose(candidate);
    } else if (candidate == &gnomeSessionManager) {
        askOwner(&freedesktopScreenSaver);
    } else {
        answerStart(false, 0);
        shutDown();
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
        answerStart(false, 0);
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

// The session bus's address from the environment alone: no bus is started
// and nothing is waited for when there is none.
std::string sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address != nullptr && address[0] != '\0') {
        return address;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') {
        return {};
    }
    const std::string path = std::string(runtime) + "/bus";
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) {
        return {};
    }
    gchar* escaped = g_dbus_address_escape_value(path.c_str());
    std::string address = std::string("unix:path=") + escaped;
    g_free(escaped);
    return address;
}

gboolean pauseOnThread(gpointer) {
    wanted = false;
    release(nullptr);
    updateNeedsTaking();
    return G_SOURCE_REMOVE;
}

gboolean resumeOnThread(gpointer) {
    wanted = true;
    take();
    return G_SOURCE_REMOVE;
}

gboolean takeOnThread(gpointer) {
    take();
    return G_SOURCE_REMOVE;
}

gboolean closeOnThread(gpointer) {
    wanted = false;
    closing = true;
    updateNeedsTaking();
    release(onReleasedForClose);
    return G_SOURCE_REMOVE;
}

}  // namespace

bool dbusStart(std::uint32_t* timeoutSeconds) {
    const std::string address = sessionBusAddress();
    if (address.empty()) {
        return false;
    }
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
    if (!found) {
        g_thread_unref(started);
        return false;
    }
    thread = started;
    *timeoutSeconds = foundTimeout;
    return true;
}

void dbusNudge() {
    if (needsTaking) {
        g_main_context_invoke(context, takeOnThread, nullptr);
    }
    if (simulateActivity) {
        // No reply is asked for: one message queued to GDBus's own writer.
        g_dbus_connection_call(connection, service->name, service->path, service->interface, "SimulateUserActivity",
                               nullptr, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
    }
}

void dbusPause() {
    g_main_context_invoke(context, pauseOnThread, nullptr);
}

void dbusResume() {
    g_main_context_invoke(context, resumeOnThread, nullptr);
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
