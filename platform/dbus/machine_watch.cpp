#include "platform/dbus/machine_watch.h"

#include <gio/gio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int callLimitMs = 2000;
// Then whatever has not answered is said unknown; the text says the same.
constexpr guint answerLimitMs = 2500;
constexpr const char* answerLimitText = "2.5 s";
constexpr unsigned power = 1;          // the program's watchPower
constexpr unsigned lock = 2;           // and watchLock

constexpr const char* upowerName = "org.freedesktop.UPower";
constexpr const char* upowerPath = "/org/freedesktop/UPower";
constexpr const char* logindName = "org.freedesktop.login1";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";

std::atomic<bool> onBattery{false};
std::atomic<bool> locked{false};

// The watcher thread's own. Its strings are never destroyed: the thread
// runs on while the module's static destructors run at exit.
GMainContext* context = nullptr;
GDBusConnection* connection = nullptr;
unsigned watched = 0;
int notify = -1;
std::string& powerProblem = *new std::string;  // why the power source cannot be known; empty while it may be
std::string& lockProblem = *new std::string;
bool powerKnown = false;
bool lockKnown = false;
bool reported = false;
GSource* answerLimit = nullptr;  // gone once all have answered, so that it never wakes the thread
std::string& sessionPath = *new std::string;

void changed() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(notify, &byte, 1);  // a full pipe already says it
}

// Once: every source that cannot be known, in one line.
void report(bool boundReached) {
    const bool powerOpen = (watched & power) != 0 && !powerKnown && powerProblem.empty();
    const bool lockOpen = (watched & lock) != 0 && !lockKnown && lockProblem.empty();
    if (reported || (!boundReached && (powerOpen || lockOpen))) {
        return;
    }
    reported = true;
    if (answerLimit != nullptr && !boundReached) {
        g_source_destroy(answerLimit);
    }
    if (answerLimit != nullptr) {
        g_source_unref(answerLimit);
        answerLimit = nullptr;
    }
    if (powerOpen) {
        powerProblem = std::string("UPower did not answer within ") + answerLimitText;
    }
    if (lockOpen) {
        lockProblem = std::string("logind did not answer within ") + answerLimitText;
    }
    std::string unknown;
    std::string assumed;
    if ((watched & power) != 0 && !powerKnown) {
        unknown = "whether the machine is on battery (" + powerProblem + ")";
        assumed = "on mains power";
    }
    if ((watched & lock) != 0 && !lockKnown) {
        unknown += (unknown.empty() ? "" : ", nor ") + std::string("whether the session is locked (") + lockProblem + ")";
        assumed += (assumed.empty() ? "" : " and ") + std::string("unlocked");
    }
    if (!unknown.empty()) {
        std::fprintf(stderr, "keepawake: cannot tell %s: keeping awake as if %s.\n", unknown.c_str(), assumed.c_str());
        std::fflush(stderr);
    }
}

gboolean onAnswerLimit(gpointer) {
    report(true);
    return G_SOURCE_REMOVE;
}

std::string describe(GError* error) {
    std::string text = error != nullptr ? error->message : "no answer";
    if (error != nullptr) {
        g_error_free(error);
    }
    return text;
}

// --- Values -------------------------------------------------------------------

void takeBattery(bool value) {
    powerKnown = true;
    if (onBattery.exchange(value) != value) {
        changed();
    }
}

void takeLocked(bool value) {
    lockKnown = true;
    if (locked.exchange(value) != value) {
        changed();
    }
}

// The first answer says "changed" too, so the program takes the state it
// starts in through the same path as every later one.
void firstAnswer() {
    changed();
    report(false);
}

// One followed value: what it is called, and where its answers go.
struct Followed {
    const char* service;  // for the line that says it cannot be known
    const char* property;
    bool* known;
    std::string* problem;
    void (*take)(bool value);
};
const Followed batteryValue{"UPower", "OnBattery", &powerKnown, &powerProblem, takeBattery};
const Followed lockValue{"logind", "LockedHint", &lockKnown, &lockProblem, takeLocked};

void onValue(GObject* source, GAsyncResult* result, gpointer data) {
    const Followed& followed = *static_cast<const Followed*>(data);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    const bool first = !*followed.known;
    if (reply == nullptr) {
        if (first) {
            *followed.problem = std::string(followed.service) + ": " + describe(error);
            report(false);
        }
        return;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
        followed.take(g_variant_get_boolean(value) != FALSE);
    } else if (first) {
        *followed.problem = std::string(followed.service) + "'s " + followed.property + " is not a boolean";
    }
    g_variant_unref(value);
    g_variant_unref(reply);
    if (first) {
        firstAnswer();
    }
}

void getProperty(const char* name, const char* path, const char* interface, const Followed& followed) {
    g_dbus_connection_call(connection, name, path, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", interface, followed.property), G_VARIANT_TYPE("(v)"),
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, callLimitMs, nullptr, onValue,
                           const_cast<Followed*>(&followed));
}

// PropertiesChanged (sa{sv}as): the new value, or only its name when the
// service leaves it to be asked for.
void onPropertiesChanged(GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*,
                         GVariant* parameters, gpointer data) {
    const bool isPower = GPOINTER_TO_UINT(data) == power;
    const char* property = isPower ? "OnBattery" : "LockedHint";
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) {
        return;
    }
    GVariant* values = g_variant_get_child_value(parameters, 1);
    GVariant* value = g_variant_lookup_value(values, property, G_VARIANT_TYPE_BOOLEAN);
    if (value != nullptr) {
        const bool now = g_variant_get_boolean(value) != FALSE;
        if (isPower) {
            takeBattery(now);
        } else {
            takeLocked(now);
        }
        g_variant_unref(value);
    } else {
        GVariant* invalidated = g_variant_get_child_value(parameters, 2);
        gsize count = 0;
        const gchar** names = g_variant_get_strv(invalidated, &count);
        for (gsize i = 0; i < count; ++i) {
            if (g_strcmp0(names[i], property) == 0) {
                getProperty(isPower ? upowerName : logindName, path, isPower ? upowerName : sessionInterface,
                            isPower ? batteryValue : lockValue);
            }
        }
        g_free(names);
        g_variant_unref(invalidated);
    }
    g_variant_unref(values);
}

// --- Sources --------------------------------------------------------------------

void watchPowerSource() {
    g_dbus_connection_signal_subscribe(connection, upowerName, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                       upowerPath, upowerName, G_DBUS_SIGNAL_FLAGS_NONE, onPropertiesChanged,
                                       GUINT_TO_POINTER(power), nullptr);
    getProperty(upowerName, upowerPath, upowerName, batteryValue);
}

void onSession(GObject* source, GAsyncResult* result, gpointer) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply == nullptr) {
        lockProblem = "no logind session of ours: " + describe(error);
        report(false);
        return;
    }
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    sessionPath = path;
    g_variant_unref(reply);
    g_dbus_connection_signal_subscribe(connection, logindName, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                       sessionPath.c_str(), sessionInterface, G_DBUS_SIGNAL_FLAGS_NONE,
                                       onPropertiesChanged, GUINT_TO_POINTER(lock), nullptr);
    getProperty(logindName, sessionPath.c_str(), sessionInterface, lockValue);
}

// By XDG_SESSION_ID where the session names itself, or else as logind tells
// the session a process belongs to.
void watchLock() {
    const char* id = std::getenv("XDG_SESSION_ID");
    const bool named = id != nullptr && id[0] != '\0';
    g_dbus_connection_call(connection, logindName, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           named ? "GetSession" : "GetSessionByPID",
                           named ? g_variant_new("(s)", id) : g_variant_new("(u)", static_cast<guint32>(getpid())),
                           G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, callLimitMs, nullptr, onSession,
                           nullptr);
}

void onConnected(GObject*, GAsyncResult* result, gpointer) {
    GError* error = nullptr;
    connection = g_dbus_connection_new_for_address_finish(result, &error);
    if (connection == nullptr) {
        const std::string problem = "no system bus: " + describe(error);
        powerProblem = lockProblem = problem;
        report(false);
        return;
    }
    if ((watched & power) != 0) {
        watchPowerSource();
    }
    if ((watched & lock) != 0) {
        watchLock();
    }
}

gpointer runWatcher(gpointer) {
    g_main_context_push_thread_default(context);
    GMainLoop* loop = g_main_loop_new(context, FALSE);

    answerLimit = g_timeout_source_new(answerLimitMs);
    g_source_set_callback(answerLimit, onAnswerLimit, nullptr, nullptr);
    g_source_attach(answerLimit, context);

    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (address == nullptr) {
        powerProblem = lockProblem = "no system bus: " + describe(error);
        report(false);
    } else {
        // A connection of our own: connecting, and every call, is
        // asynchronous, so a bus that never answers holds up only this.
        g_dbus_connection_new_for_address(address,
                                          static_cast<GDBusConnectionFlags>(
                                              G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                          nullptr, nullptr, onConnected, nullptr);
        g_free(address);
    }
    // Runs to the process's end: between changes it only waits.
    g_main_loop_run(loop);
    return nullptr;
}

}  // namespace

void machineWatch(unsigned what, int notifyFd) {
    if (context != nullptr || what == 0) {
        return;
    }
    watched = what;
    notify = notifyFd;
    context = g_main_context_new();
    GError* error = nullptr;
    GThread* thread = g_thread_try_new("keepawake-machine", runWatcher, nullptr, &error);
    if (thread == nullptr) {
        std::fprintf(stderr, "keepawake: cannot follow the machine (%s): keeping awake as if on mains power and "
                             "unlocked.\n",
                     describe(error).c_str());
        return;
    }
    g_thread_unref(thread);
}

void machineRead(bool* battery, bool* isLocked) {
    *battery = onBattery;
    *isLocked = locked;
}
