// --diagnose's bus and settings readers. They run on a reader thread of the
// program's, so plain synchronous GIO calls serve, each with its own bound;
// connecting has none, which the caller's deadline covers.
#include "platform/dbus/dbus_diagnose.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/dbus/bus_address.h"
#include "platform/dbus/desktop_timeouts.h"

namespace {

constexpr int callMs = 700;
constexpr guint32 inhibitIdle = 8;
const std::string waylandAdvice =
    "this Wayland session offers no GNOME session manager, no freedesktop screen saver and no wlroots virtual "
    "pointer: use a desktop that offers one of them";

struct Out {
    DiagnosisSink sink;
    void* context;
    bool applies = true;  // false: timers of a desktop that is not running, shown as facts
    void operator()(Finding finding) const {
        if (!applies && finding.kind == Finding::timer && finding.unreadable.empty()) {
            finding.kind = Finding::fact;
            finding.source += "; not running here, so it blanks nothing now";
        }
        sendFinding(sink, context, finding);
    }
};

bool environmentHas(const char* name, const char* part) {
    const char* value = std::getenv(name);
    return value != nullptr && std::strstr(value, part) != nullptr;
}

std::string systemBusAddress() {
    if (const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"); address != nullptr && address[0] != '\0') {
        return address;
    }
    struct stat status {};
    if (stat("/var/run/dbus/system_bus_socket", &status) != 0) {
        return {};
    }
    return "unix:path=/var/run/dbus/system_bus_socket";
}

GDBusConnection* connectTo(const std::string& address, std::string* why) {
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (connection == nullptr) {
        *why = "cannot connect to " + address + ": " + error->message;
        g_error_free(error);
    }
    return connection;
}

// One call; null with *why set when it failed or found no answer in time.
GVariant* call(GDBusConnection* connection, const char* name, const char* path, const char* interface,
               const char* method, GVariant* arguments, const char* replyType, std::string* why) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection, name, path, interface, method, arguments,
                                                  replyType != nullptr ? G_VARIANT_TYPE(replyType) : nullptr,
                                                  G_DBUS_CALL_FLAGS_NO_AUTO_START, callMs, nullptr, &error);
    if (reply == nullptr && why != nullptr) {
        *why = std::string(method) + ": " + error->message;
    }
    if (error != nullptr) {
        g_error_free(error);
    }
    return reply;
}

bool hasOwner(GDBusConnection* connection, const char* name) {
    GVariant* reply = call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", g_variant_new("(s)", name), "(b)", nullptr);
    gboolean owned = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    return owned != FALSE;
}

// The program name of a bus name's owner, from /proc; empty when unknown.
std::string ownerProgram(GDBusConnection* connection, const char* name) {
    GVariant* reply = call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetConnectionUnixProcessID", g_variant_new("(s)", name), "(u)", nullptr);
    if (reply == nullptr) {
        return {};
    }
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    g_variant_unref(reply);
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string program;
    std::getline(comm, program);
    return program;
}

GVariant* property(GDBusConnection* connection, const char* name, const char* path, const char* interface,
                   const char* key, std::string* why) {
    GVariant* reply = call(connection, name, path, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", interface, key), "(v)", why);
    if (reply == nullptr) {
        return nullptr;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    return value;
}

// --- Settings -------------------------------------------------------------

// A schema only where it is installed: GSettings aborts on a missing one.
GSettings* settingsFor(const char* schemaId, GSettingsSchema** schema) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    *schema = source != nullptr ? g_settings_schema_source_lookup(source, schemaId, TRUE) : nullptr;
    return *schema != nullptr ? g_settings_new_full(*schema, nullptr, nullptr) : nullptr;
}

bool hasKey(GSettingsSchema* schema, const char* key, const GVariantType* type) {
    if (!g_settings_schema_has_key(schema, key)) {
        return false;
    }
    GSettingsSchemaKey* found = g_settings_schema_get_key(schema, key);
    const bool right = g_variant_type_equal(g_settings_schema_key_get_value_type(found), type);
    g_settings_schema_key_unref(found);
    return right;
}

// GNOME's settings blank, lock and sleep only where GNOME runs; elsewhere
// they are shown for what they are, installed but idle.
void gnomeSettings(const Out& sink, bool idleDelayIsTheTimeout, unsigned heldBy, bool gnomeRuns) {
    const Out add{sink.sink, sink.context, gnomeRuns};
    GSettingsSchema* schema = nullptr;
    GSettings* session = settingsFor("org.gnome.desktop.session", &schema);
    if (session == nullptr) {
        if (idleDelayIsTheTimeout || environmentHas("XDG_CURRENT_DESKTOP", "GNOME")) {
            add(unreadableFinding(idleDelayIsTheTimeout ? Finding::timeout : Finding::timers,
                                  idleDelayIsTheTimeout ? Finding::saverTimeout : Finding::timer, "GNOME idle-delay",
                                  "the org.gnome.desktop.session schema is not installed"));
        }
        return;
    }
    if (hasKey(schema, "idle-delay", G_VARIANT_TYPE_UINT32)) {
        Finding delay = timerFinding(idleDelayIsTheTimeout ? Finding::saverTimeout : Finding::timer,
                                     "GNOME idle-delay (blanks, then locks if locking is on)",
                                     g_settings_get_uint(session, "idle-delay"),
                                     "GSettings org.gnome.desktop.session", heldBy);
        if (idleDelayIsTheTimeout) {
            delay.part = Finding::timeout;
        }
        add(delay);
    }
    g_object_unref(session);
    g_settings_schema_unref(schema);

    if (GSettings* saver = settingsFor("org.gnome.desktop.screensaver", &schema)) {
        if (hasKey(schema, "lock-enabled", G_VARIANT_TYPE_BOOLEAN)) {
            add(readFinding(Finding::timers, Finding::fact, "GNOME lock-enabled",
                            g_settings_get_boolean(saver, "lock-enabled") ? "true" : "false", "",
                            "GSettings org.gnome.desktop.screensaver"));
        }
        if (hasKey(schema, "lock-delay", G_VARIANT_TYPE_UINT32)) {
            add(readFinding(Finding::timers, Finding::fact, "GNOME lock-delay (after the blank)",
                            std::to_string(g_settings_get_uint(saver, "lock-delay")), "s",
                            "GSettings org.gnome.desktop.screensaver"));
        }
        g_object_unref(saver);
        g_settings_schema_unref(schema);
    }

    GSettings* power = settingsFor("org.gnome.settings-daemon.plugins.power", &schema);
    if (power == nullptr) {
        add(readFinding(Finding::timers, Finding::fact, "GNOME sleep when inactive",
                        "not configured here (no org.gnome.settings-daemon.plugins.power schema)", "", ""));
        return;
    }
    for (const char* supply : {"ac", "battery"}) {
        const std::string timeoutKey = std::string("sleep-inactive-") + supply + "-timeout";
        const std::string typeKey = std::string("sleep-inactive-") + supply + "-type";
        if (!hasKey(schema, timeoutKey.c_str(), G_VARIANT_TYPE_INT32) || !g_settings_schema_has_key(schema, typeKey.c_str())) {
            continue;
        }
        const int seconds = g_settings_get_int(power, timeoutKey.c_str());
        gchar* type = g_settings_get_string(power, typeKey.c_str());
        const bool acts = std::strcmp(type, "nothing") != 0 && seconds > 0;
        Finding sleep = timerFinding(Finding::timer,
                                     std::string("GNOME sleep when inactive on ") +
                                         (std::strcmp(supply, "ac") == 0 ? "mains" : "battery") + " (" + type + ")",
                                     acts ? static_cast<std::uint32_t>(seconds) : 0,
                                     "GSettings org.gnome.settings-daemon.plugins.power", heldBy);
        g_free(type);
        add(sleep);
    }
    g_object_unref(power);
    g_settings_schema_unref(schema);
}

std::string configHome() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        return config;
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

bool readText(const std::string& path, std::string* text) {
    std::ifstream file(path);
    if (!file) {
        return false;
    }
    std::ostringstream all;
    all << file.rdbuf();
    *text = all.str();
    return true;
}

void kdeSettings(const Out& add, bool lockIsTheTimeout, unsigned heldBy, bool kdeRuns) {
    const std::string lockerPath = configHome() + "/kscreenlockerrc";
    std::string locker;
    const bool haveLocker = readText(lockerPath, &locker);
    if (!kdeRuns && !lockIsTheTimeout) {
        return;
    }
    const std::string source = haveLocker ? lockerPath : "KDE's defaults: no " + lockerPath;
    const bool autolock = kdeConfigValue(locker, "[Daemon]", "Autolock").value_or("true") != "false";
    const std::uint32_t timeout = kdeLockTimeoutSeconds(locker);
    // keepawake takes kscreenlocker's Timeout for any freedesktop screen
    // saver; outside KDE it is only that, and locks nothing.
    Finding lock = timerFinding(lockIsTheTimeout ? Finding::saverTimeout : Finding::timer,
                                !kdeRuns   ? "screen-saver timeout (kscreenlocker's Timeout; KDE is not running here)"
                                : autolock ? "KDE screen locker (Autolock on, Timeout)"
                                           : "KDE screen locker (Autolock off)",
                                autolock || !kdeRuns ? timeout : 0, source, heldBy);
    if (lockIsTheTimeout) {
        lock.part = Finding::timeout;
    }
    add(lock);
    if (!kdeRuns) {
        return;
    }

    const std::string powerPath = configHome() + "/powerdevilrc";
    std::string power;
    if (!readText(powerPath, &power)) {
        add(readFinding(Finding::timers, Finding::fact, "PowerDevil dim, screen off and suspend",
                        "no " + powerPath + ": PowerDevil's own defaults, not read here", "", ""));
        return;
    }
    const struct {
        const char* group;
        const char* key;
        const char* what;
    } timers[] = {
        {"[AC][Display]", "DimDisplayIdleTimeoutSec", "PowerDevil dim on mains"},
        {"[AC][Display]", "TurnOffDisplayIdleTimeoutSec", "PowerDevil screen off on mains"},
        {"[AC][SuspendAndShutdown]", "AutoSuspendIdleTimeoutSec", "PowerDevil suspend on mains"},
        {"[Battery][Display]", "DimDisplayIdleTimeoutSec", "PowerDevil dim on battery"},
        {"[Battery][Display]", "TurnOffDisplayIdleTimeoutSec", "PowerDevil screen off on battery"},
        {"[Battery][SuspendAndShutdown]", "AutoSuspendIdleTimeoutSec", "PowerDevil suspend on battery"},
    };
    for (const auto& timer : timers) {
        const auto value = kdeConfigValue(power, timer.group, timer.key);
        if (!value) {
            continue;
        }
        char* end = nullptr;
        const long seconds = std::strtol(value->c_str(), &end, 10);
        if (end == value->c_str() || *end != '\0' || seconds < -1) {
            add(unreadableFinding(Finding::timers, Finding::timer, timer.what, "'" + *value + "' in " + powerPath));
            continue;
        }
        add(timerFinding(Finding::timer, timer.what, seconds > 0 ? static_cast<std::uint32_t>(seconds) : 0,
                         powerPath + " " + timer.group + " " + timer.key, heldBy));
    }
}

// --- The session bus ------------------------------------------------------

void gnomeInhibitors(const Out& add, GDBusConnection* bus) {
    std::string why;
    GVariant* reply = call(bus, "org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
                           "GetInhibitors", nullptr, "(ao)", &why);
    if (reply == nullptr) {
        add(unreadableFinding(Finding::others, Finding::holder, "GNOME inhibitors", why));
        return;
    }
    GVariantIter* paths = nullptr;
    g_variant_get(reply, "(ao)", &paths);
    const gchar* path = nullptr;
    int idle = 0;
    while (g_variant_iter_loop(paths, "&o", &path)) {
        auto text = [&](const char* method) {
            GVariant* answer = call(bus, "org.gnome.SessionManager", path, "org.gnome.SessionManager.Inhibitor",
                                    method, nullptr, "(s)", nullptr);
            std::string value = "unknown";
            if (answer != nullptr) {
                const gchar* got = nullptr;
                g_variant_get(answer, "(&s)", &got);
                value = got;
                g_variant_unref(answer);
            }
            return value;
        };
        GVariant* flagsReply = call(bus, "org.gnome.SessionManager", path, "org.gnome.SessionManager.Inhibitor",
                                    "GetFlags", nullptr, "(u)", nullptr);
        guint32 flags = 0;
        if (flagsReply != nullptr) {
            g_variant_get(flagsReply, "(u)", &flags);
            g_variant_unref(flagsReply);
        }
        Finding holder = readFinding(Finding::others, (flags & inhibitIdle) != 0 ? Finding::holder : Finding::fact,
                                     "GNOME inhibitor of " + text("GetAppId"),
                                     text("GetReason") + ", flags " + std::to_string(flags) +
                                         ((flags & inhibitIdle) != 0 ? " (idle)" : " (not idle)"),
                                     "", "GNOME session manager GetInhibitors");
        idle += (flags & inhibitIdle) != 0 ? 1 : 0;
        add(holder);
    }
    g_variant_iter_free(paths);
    g_variant_unref(reply);
    if (idle == 0) {
        add(readFinding(Finding::others, Finding::fact, "GNOME idle inhibitors", "none", "",
                        "GNOME session manager GetInhibitors"));
    }
}

bool isInhibited(GDBusConnection* bus, bool* answer, std::string* why) {
    GVariant* reply = call(bus, "org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
                           "IsInhibited", g_variant_new("(u)", inhibitIdle), "(b)", why);
    if (reply == nullptr) {
        return false;
    }
    gboolean inhibited = FALSE;
    g_variant_get(reply, "(b)", &inhibited);
    g_variant_unref(reply);
    *answer = inhibited != FALSE;
    return true;
}

// Takes the inhibitor and drops it at once; IsInhibited(8) must turn true.
void gnomeLiveCheck(const Out& add, GDBusConnection* bus) {
    const std::string source = "GNOME session manager IsInhibited(8) around Inhibit and Uninhibit";
    std::string why;
    bool before = false;
    if (!isInhibited(bus, &before, &why)) {
        add(unreadableFinding(Finding::live, Finding::check, "taking the inhibitor", why));
        return;
    }
    GVariant* reply = call(bus, "org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
                           "Inhibit",
                           g_variant_new("(susu)", "keepawake", 0u, "keepawake --diagnose checks the inhibitor",
                                         inhibitIdle),
                           "(u)", &why);
    if (reply == nullptr) {
        Finding refused = readFinding(Finding::live, Finding::check, "taking the inhibitor", "refused: " + why, "",
                                      source);
        refused.advice = "GNOME's session manager refuses the idle inhibitor (" + why + ")";
        add(refused);
        return;
    }
    guint32 cookie = 0;
    g_variant_get(reply, "(u)", &cookie);
    g_variant_unref(reply);
    bool during = false;
    const bool read = isInhibited(bus, &during, &why);
    GVariant* released = call(bus, "org.gnome.SessionManager", "/org/gnome/SessionManager",
                              "org.gnome.SessionManager", "Uninhibit", g_variant_new("(u)", cookie), nullptr, nullptr);
    if (released != nullptr) {
        g_variant_unref(released);
    }
    if (!read) {
        add(unreadableFinding(Finding::live, Finding::check, "taking the inhibitor", why));
    } else if (before) {
        add(unreadableFinding(Finding::live, Finding::check, "taking the inhibitor",
                              "the session was already inhibited by another, so IsInhibited(8) cannot show it"));
    } else {
        Finding check = readFinding(Finding::live, Finding::check, "taking the inhibitor",
                                    during ? "counted: IsInhibited(8) turned true, and it was dropped again"
                                           : "did not count: IsInhibited(8) stayed false",
                                    "", source);
        check.ok = during;
        if (!during) {
            check.advice = "GNOME's session manager took the inhibitor but does not report the session inhibited";
        }
        add(check);
    }
}

void screenSaverLiveCheck(const Out& add, GDBusConnection* bus) {
    std::string why;
    GVariant* reply = call(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                           "org.freedesktop.ScreenSaver", "Inhibit",
                           g_variant_new("(ss)", "keepawake", "keepawake --diagnose checks the inhibitor"), "(u)",
                           &why);
    if (reply == nullptr) {
        Finding refused = readFinding(Finding::live, Finding::check, "taking the inhibitor", "refused: " + why, "",
                                      "freedesktop ScreenSaver Inhibit");
        refused.advice = "the freedesktop screen saver refuses the inhibitor (" + why + ")";
        add(refused);
        return;
    }
    guint32 cookie = 0;
    g_variant_get(reply, "(u)", &cookie);
    g_variant_unref(reply);
    GVariant* released = call(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                              "org.freedesktop.ScreenSaver", "UnInhibit", g_variant_new("(u)", cookie), nullptr,
                              nullptr);
    if (released != nullptr) {
        g_variant_unref(released);
    }
    add(unreadableFinding(Finding::live, Finding::check, "taking the inhibitor",
                          "taken and dropped again (cookie " + std::to_string(cookie) +
                              "), but the freedesktop screen saver does not tell whether one holds"));
}

void kdeInhibitors(const Out& add, GDBusConnection* bus) {
    const char* agent = "org.kde.Solid.PowerManagement.PolicyAgent";
    if (!hasOwner(bus, "org.kde.Solid.PowerManagement")) {
        add(unreadableFinding(Finding::others, Finding::holder, "KDE inhibitors",
                              "PowerDevil is not running, and KDE tells them only through it"));
        return;
    }
    std::string why;
    GVariant* reply = call(bus, "org.kde.Solid.PowerManagement", "/org/kde/Solid/PowerManagement/PolicyAgent", agent,
                           "ListInhibitions", nullptr, "(a(ss))", &why);
    if (reply == nullptr) {
        add(unreadableFinding(Finding::others, Finding::holder, "KDE inhibitors", why));
        return;
    }
    GVariantIter* list = nullptr;
    g_variant_get(reply, "(a(ss))", &list);
    const gchar* who = nullptr;
    const gchar* reason = nullptr;
    int count = 0;
    while (g_variant_iter_loop(list, "(&s&s)", &who, &reason)) {
        add(readFinding(Finding::others, Finding::holder, std::string("KDE inhibitor of ") + who, reason, "",
                        "PowerDevil ListInhibitions"));
        ++count;
    }
    g_variant_iter_free(list);
    g_variant_unref(reply);
    if (count == 0) {
        add(readFinding(Finding::others, Finding::fact, "KDE inhibitors", "none", "", "PowerDevil ListInhibitions"));
    }
}

void sessionBusDiagnose(const Out& add, bool wayland) {
    const std::string address = sessionBusAddress();
    std::string why;
    GDBusConnection* bus = nullptr;
    if (address.empty()) {
        why = "no session bus: DBUS_SESSION_BUS_ADDRESS is unset and there is no $XDG_RUNTIME_DIR/bus";
    } else {
        bus = connectTo(address, &why);
    }
    const bool gnome = bus != nullptr && hasOwner(bus, "org.gnome.SessionManager");
    const bool screenSaver = bus != nullptr && !gnome && hasOwner(bus, "org.freedesktop.ScreenSaver");
    const std::string saverProgram = screenSaver ? ownerProgram(bus, "org.freedesktop.ScreenSaver") : "";
    const bool kde = environmentHas("XDG_CURRENT_DESKTOP", "KDE") || saverProgram.rfind("kwin", 0) == 0 ||
                     saverProgram == "ksmserver" || saverProgram == "kscreenlocker_greet";
    if (wayland) {
        for (const auto& [name, there] : {std::pair{"GNOME's session manager (idle inhibitor)", gnome},
                                          std::pair{"the freedesktop screen saver (inhibitor)", screenSaver}}) {
            Finding way = readFinding(Finding::session, Finding::way, "kept awake by", name, "", "session bus");
            if (there && std::strstr(name, "freedesktop") != nullptr && !saverProgram.empty()) {
                way.source = "session bus, served by " + saverProgram;
            }
            way.heldBy = heldByInhibitor;
            way.ok = there;
            if (bus == nullptr) {
                way.unreadable = why;
            }
            way.advice = waylandAdvice;
            add(way);
        }
    } else if (bus != nullptr) {
        add(readFinding(Finding::session, Finding::fact, "session bus inhibitors",
                        gnome ? "GNOME's session manager is there too"
                              : screenSaver ? "the freedesktop screen saver is there too" : "none there",
                        "", "session bus"));
    }
    // On X11 the nudges count wherever the desktop's own idle timers look.
    const unsigned heldBy = wayland ? heldByInhibitor : heldByNudge | heldByInhibitor;
    gnomeSettings(add, wayland && gnome, heldBy, gnome || environmentHas("XDG_CURRENT_DESKTOP", "GNOME"));
    if (kde || (wayland && !gnome && screenSaver)) {
        kdeSettings(add, wayland && !gnome && screenSaver, heldBy, kde);
    }
    if (wayland && !gnome && !screenSaver) {
        add(unreadableFinding(Finding::timeout, Finding::saverTimeout, "screen-saver timeout",
                              "neither GNOME nor KDE is there to tell one; wlroots has none"));
    }
    if (bus == nullptr) {
        if (!wayland) {
            add(unreadableFinding(Finding::others, Finding::holder, "desktop inhibitors", why));
        }
        return;
    }
    if (gnome) {
        gnomeInhibitors(add, bus);
        GVariant* idle = call(bus, "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                              "org.gnome.Mutter.IdleMonitor", "GetIdletime", nullptr, "(t)", &why);
        if (idle != nullptr) {
            guint64 ms = 0;
            g_variant_get(idle, "(t)", &ms);
            g_variant_unref(idle);
            add(readFinding(Finding::live, Finding::fact, "idle time", std::to_string(ms), "ms",
                            "Mutter IdleMonitor GetIdletime"));
        } else if (wayland) {
            add(unreadableFinding(Finding::live, Finding::fact, "idle time", why));
        }
        if (wayland) {
            gnomeLiveCheck(add, bus);
        }
    } else if (screenSaver) {
        if (kde) {
            kdeInhibitors(add, bus);
        }
        if (wayland) {
            screenSaverLiveCheck(add, bus);
        }
    }
    g_object_unref(bus);
}

// --- The system bus -------------------------------------------------------

void systemBusDiagnose(const Out& add) {
    const std::string address = systemBusAddress();
    std::string why = "no system bus: DBUS_SYSTEM_BUS_ADDRESS is unset and /var/run/dbus/system_bus_socket is missing";
    GDBusConnection* bus = address.empty() ? nullptr : connectTo(address, &why);
    if (bus != nullptr && !hasOwner(bus, "org.freedesktop.login1")) {
        why = "logind is not on the system bus";
        g_object_unref(bus);
        bus = nullptr;
    }
    if (bus == nullptr) {
        add(unreadableFinding(Finding::timers, Finding::timer, "logind IdleAction", why));
        add(unreadableFinding(Finding::others, Finding::holder, "logind idle inhibitors", why));
        return;
    }
    const char* name = "org.freedesktop.login1";
    const char* path = "/org/freedesktop/login1";
    const char* manager = "org.freedesktop.login1.Manager";
    GVariant* action = property(bus, name, path, manager, "IdleAction", &why);
    GVariant* after = action != nullptr ? property(bus, name, path, manager, "IdleActionUSec", &why) : nullptr;
    if (action == nullptr || after == nullptr || !g_variant_is_of_type(action, G_VARIANT_TYPE_STRING) ||
        !g_variant_is_of_type(after, G_VARIANT_TYPE_UINT64)) {
        add(unreadableFinding(Finding::timers, Finding::timer, "logind IdleAction",
                              why.empty() ? "IdleAction or IdleActionUSec of an unexpected type" : why));
    } else {
        const std::string what = g_variant_get_string(action, nullptr);
        const guint64 seconds = g_variant_get_uint64(after) / 1000000;
        // logind acts on the session's idle hint, which the desktop sets
        // only once it went idle: held off like the desktop itself.
        add(timerFinding(Finding::timer, "logind IdleAction (" + what + ")",
                         what == "ignore" ? 0 : static_cast<std::uint32_t>(std::min<guint64>(seconds, 0xFFFFFFFFu)),
                         "logind Manager IdleAction, IdleActionUSec", heldByNudge | heldByInhibitor));
    }
    if (action != nullptr) {
        g_variant_unref(action);
    }
    if (after != nullptr) {
        g_variant_unref(after);
    }

    GVariant* list = call(bus, name, path, manager, "ListInhibitors", nullptr, "(a(ssssuu))", &why);
    if (list == nullptr) {
        add(unreadableFinding(Finding::others, Finding::holder, "logind idle inhibitors", why));
    } else {
        GVariantIter* items = nullptr;
        g_variant_get(list, "(a(ssssuu))", &items);
        const gchar *what = nullptr, *who = nullptr, *reason = nullptr, *mode = nullptr;
        guint32 uid = 0, pid = 0;
        int idle = 0;
        while (g_variant_iter_loop(items, "(&s&s&s&suu)", &what, &who, &reason, &mode, &uid, &pid)) {
            if (std::strstr(what, "idle") == nullptr) {
                continue;
            }
            ++idle;
            add(readFinding(Finding::others, Finding::holder, std::string("logind inhibitor of ") + who,
                            std::string(reason) + " (" + what + ", " + mode + ", process " + std::to_string(pid) +
                                ", user " + std::to_string(uid) + ")",
                            "", "logind ListInhibitors"));
        }
        g_variant_iter_free(items);
        g_variant_unref(list);
        if (idle == 0) {
            add(readFinding(Finding::others, Finding::fact, "logind idle inhibitors", "none", "",
                            "logind ListInhibitors"));
        }
    }
    g_object_unref(bus);
}

}  // namespace

std::optional<std::string> kdeConfigValue(const std::string& text, const std::string& group, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    std::string current;
    std::optional<std::string> found;
    while (std::getline(lines, line)) {
        const auto first = line.find_first_not_of(" \t");
        const auto last = line.find_last_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        line = line.substr(first, last - first + 1);
        if (line[0] == '[') {
            current = line;
            continue;
        }
        const auto equals = line.find('=');
        if (current != group || equals == std::string::npos) {
            continue;
        }
        std::string name = line.substr(0, equals);
        name = name.substr(0, name.find("[$"));
        name.erase(name.find_last_not_of(" \t") + 1);
        if (name == key) {
            std::string value = line.substr(equals + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            found = value;
        }
    }
    return found;
}

void dbusDiagnose(unsigned what, DiagnosisSink sink, void* context) {
    const Out add{sink, context};
    if ((what & diagnoseSessionBus) != 0) {
        sessionBusDiagnose(add, (what & diagnoseOnWayland) != 0);
    }
    if ((what & diagnoseSystemBus) != 0) {
        systemBusDiagnose(add);
    }
}
