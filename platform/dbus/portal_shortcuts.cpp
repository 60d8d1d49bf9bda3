// org.freedesktop.portal.GlobalShortcuts: CreateSession, then BindShortcuts,
// each answered by a Response signal on a request object whose path is known
// before the call; then Activated once per press (Deactivated on release, so
// a held key counts once).
#include "platform/dbus/portal_shortcuts.h"

#include <gio/gio.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

constexpr int callLimitMs = 5000;  // a portal may be started on the first call
constexpr auto stopLimit = std::chrono::milliseconds(500);
// The bus and the portal must have given a session by then; the binding
// itself may wait on the user's answer for as long as that takes.
constexpr guint sessionLimitMs = 5000;
constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* shortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* shortcutId = "toggle";

// The portal thread's own. The strings are never destroyed: the module's
// static destructors run at exit before the program's exit hook, which still
// closes the session.
GMainContext* context = nullptr;
GDBusConnection* connection = nullptr;
std::string& trigger = *new std::string;
std::string& name = *new std::string;
int notify = -1;
std::string& senderPart = *new std::string;     // the unique name as request paths spell it
std::string& sessionHandle = *new std::string;
guint responseSubscription = 0;
bool said = false;
bool closing = false;
GSource* sessionLimit = nullptr;

// Never destroyed either, for the same reason.
std::mutex& stopping = *new std::mutex;
std::condition_variable& stopped = *new std::condition_variable;
bool closed = false;

void refuse(const std::string& why) {
    // At exit, calls cut short by the close are no news.
    if (said || closing) {
        return;
    }
    said = true;
    std::fprintf(stderr,
                 "keepawake: no global shortcut %s in this Wayland session (%s); bind the command "
                 "'keepawake --toggle' to a key in the desktop's keyboard settings instead.\n",
                 name.c_str(), why.c_str());
    std::fflush(stderr);
}

std::string describe(GError* error) {
    std::string text = error != nullptr ? error->message : "no answer";
    if (error != nullptr) {
        g_error_free(error);
    }
    return text;
}

std::string requestPath(const char* token) {
    return std::string(portalPath) + "/request/" + senderPart + "/" + token;
}

using ResponseHandler = void (*)(guint32 response, GVariant* results);

void onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                gpointer data) {
    g_dbus_connection_signal_unsubscribe(connection, responseSubscription);
    responseSubscription = 0;
    guint32 response = 2;
    GVariant* results = nullptr;
    g_variant_get(parameters, "(u@a{sv})", &response, &results);
    reinterpret_cast<ResponseHandler>(data)(response, results);
    g_variant_unref(results);
}

void onCalled(GObject* source, GAsyncResult* result, gpointer) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply == nullptr) {
        refuse(describe(error));
        return;
    }
    g_variant_unref(reply);
}

// Calls a portal method whose answer is a Response on the request object
// named by token; the handler gets it.
void callForResponse(const char* method, GVariant* arguments, const char* token, ResponseHandler handler) {
    responseSubscription = g_dbus_connection_signal_subscribe(
        connection, portalName, "org.freedesktop.portal.Request", "Response", requestPath(token).c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onResponse, reinterpret_cast<gpointer>(handler), nullptr);
    g_dbus_connection_call(connection, portalName, portalPath, shortcutsInterface, method, arguments,
                           G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, callLimitMs, nullptr, onCalled, nullptr);
}

void onActivated(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                 gpointer) {
    const gchar* session = nullptr;
    const gchar* id = nullptr;
    g_variant_get(parameters, "(&o&st@a{sv})", &session, &id, nullptr, nullptr);
    if (sessionHandle == session && std::string(id) == shortcutId) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(notify, &byte, 1);
    }
}

void onBound(guint32 response, GVariant* results) {
    if (response != 0) {
        refuse(response == 1 ? "the binding was declined" : "the portal refused the binding");
        return;
    }
    GVariant* shortcuts = g_variant_lookup_value(results, "shortcuts", G_VARIANT_TYPE("a(sa{sv})"));
    bool bound = false;
    if (shortcuts != nullptr) {
        GVariantIter iterator;
        g_variant_iter_init(&iterator, shortcuts);
        const gchar* id = nullptr;
        GVariant* properties = nullptr;
        while (g_variant_iter_next(&iterator, "(&s@a{sv})", &id, &properties)) {
            bound = bound || std::string(id) == shortcutId;
            g_variant_unref(properties);
        }
        g_variant_unref(shortcuts);
    }
    if (!bound) {
        refuse("the portal bound no shortcut");
    }
}

void onSessionCreated(guint32 response, GVariant* results) {
    const gchar* handle = nullptr;
    if (response != 0 || !g_variant_lookup(results, "session_handle", "&s", &handle)) {
        refuse("the portal gave no session");
        return;
    }
    sessionHandle = handle;
    if (sessionLimit != nullptr) {
        g_source_destroy(sessionLimit);
        g_source_unref(sessionLimit);
        sessionLimit = nullptr;
    }
    // The session is the first argument, an object path, which a match rule's
    // arg0 does not compare: onActivated picks ours.
    g_dbus_connection_signal_subscribe(connection, portalName, shortcutsInterface, "Activated", portalPath, nullptr,
                                       G_DBUS_SIGNAL_FLAGS_NONE, onActivated, nullptr, nullptr);
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "description", g_variant_new_string("Pause or resume keepawake"));
    g_variant_builder_add(&properties, "{sv}", "preferred_trigger", g_variant_new_string(trigger.c_str()));
    GVariantBuilder shortcuts;
    g_variant_builder_init(&shortcuts, G_VARIANT_TYPE("a(sa{sv})"));
    g_variant_builder_add(&shortcuts, "(sa{sv})", shortcutId, &properties);
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string("keepawake_bind"));
    callForResponse("BindShortcuts",
                    g_variant_new("(oa(sa{sv})sa{sv})", sessionHandle.c_str(), &shortcuts, "", &options),
                    "keepawake_bind", onBound);
}

void onConnected(GObject*, GAsyncResult* result, gpointer) {
    GError* error = nullptr;
    connection = g_dbus_connection_new_for_address_finish(result, &error);
    if (connection == nullptr) {
        refuse("no session bus: " + describe(error));
        return;
    }
    // ":1.42" is spelled "1_42" in request paths.
    for (const char* c = g_dbus_connection_get_unique_name(connection) + 1; *c != '\0'; ++c) {
        senderPart += *c == '.' ? '_' : *c;
    }
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string("keepawake_session"));
    g_variant_builder_add(&options, "{sv}", "session_handle_token", g_variant_new_string("keepawake"));
    callForResponse("CreateSession", g_variant_new("(a{sv})", &options), "keepawake_session", onSessionCreated);
}

gboolean onSessionLimit(gpointer) {
    refuse("the session bus or the portal gave no session within 5 s");
    return G_SOURCE_REMOVE;
}

gpointer runPortal(gpointer) {
    g_main_context_push_thread_default(context);
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    sessionLimit = g_timeout_source_new(sessionLimitMs);
    g_source_set_callback(sessionLimit, onSessionLimit, nullptr, nullptr);
    g_source_attach(sessionLimit, context);
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (address == nullptr) {
        refuse("no session bus: " + describe(error));
    } else {
        g_dbus_connection_new_for_address(address,
                                          static_cast<GDBusConnectionFlags>(
                                              G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                          nullptr, nullptr, onConnected, nullptr);
        g_free(address);
    }
    g_main_loop_run(loop);  // to the process's end
    return nullptr;
}

gboolean closeSession(gpointer) {
    closing = true;
    if (connection != nullptr && !sessionHandle.empty()) {
        g_dbus_connection_call(connection, portalName, sessionHandle.c_str(), "org.freedesktop.portal.Session",
                               "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, callLimitMs, nullptr, nullptr,
                               nullptr);
    }
    if (connection != nullptr) {
        // Closing the connection ends the session too, should the call not
        // have gone out.
        g_dbus_connection_flush_sync(connection, nullptr, nullptr);
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
    }
    {
        std::lock_guard<std::mutex> lock(stopping);
        closed = true;
    }
    stopped.notify_all();
    return G_SOURCE_REMOVE;
}

}  // namespace

void portalShortcutsStart(const char* wantedTrigger, const char* wantedName, int notifyFd) {
    if (context != nullptr) {
        return;
    }
    trigger = wantedTrigger;
    name = wantedName;
    notify = notifyFd;
    context = g_main_context_new();
    GError* error = nullptr;
    GThread* thread = g_thread_try_new("keepawake-shortcut", runPortal, nullptr, &error);
    if (thread == nullptr) {
        refuse(describe(error));
        return;
    }
    g_thread_unref(thread);
}

void portalShortcutsStop() {
    if (context == nullptr) {
        return;
    }
    g_main_context_invoke(context, closeSession, nullptr);
    std::unique_lock<std::mutex> lock(stopping);
    stopped.wait_for(lock, stopLimit, [] { return closed; });
}
