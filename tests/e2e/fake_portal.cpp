// A stand-in for the desktop's GlobalShortcuts portal on a private session
// bus, for the tests: CreateSession and BindShortcuts answered through
// Response signals on the request objects the caller's tokens name, and an
// Activated and a Deactivated signal for each "press" line on standard input.
//   fake_portal [--decline]
// Says "ready" once it owns the name, and "bound ID TRIGGER" for each
// shortcut bound, on standard output.
#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* introspection =
    "<node><interface name='org.freedesktop.portal.GlobalShortcuts'>"
    "<method name='CreateSession'><arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>"
    "<method name='BindShortcuts'><arg type='o' direction='in'/><arg type='a(sa{sv})' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>"
    "<signal name='Activated'><arg type='o'/><arg type='s'/><arg type='t'/><arg type='a{sv}'/></signal>"
    "<signal name='Deactivated'><arg type='o'/><arg type='s'/><arg type='t'/><arg type='a{sv}'/></signal>"
    "</interface></node>";

bool decline = false;
GDBusConnection* bus = nullptr;
std::string client;   // the unique name of the one caller
std::string session;
std::string boundId;

std::string senderPart(const gchar* sender) {
    std::string part;
    for (const char* c = sender + 1; *c != '\0'; ++c) {
        part += *c == '.' ? '_' : *c;
    }
    return part;
}

std::string token(GVariant* options, const char* key) {
    const gchar* value = "t";
    g_variant_lookup(options, key, "&s", &value);
    return value;
}

void respond(const std::string& request, guint32 response, GVariant* results) {
    g_dbus_connection_emit_signal(bus, client.c_str(), request.c_str(), "org.freedesktop.portal.Request", "Response",
                                  g_variant_new("(u@a{sv})", response, results), nullptr);
}

void onCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
            GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
    client = sender;
    const std::string base = std::string(portalPath) + "/request/" + senderPart(sender) + "/";
    GVariantDict results;
    g_variant_dict_init(&results, nullptr);
    if (std::strcmp(method, "CreateSession") == 0) {
        GVariant* options = g_variant_get_child_value(parameters, 0);
        const std::string request = base + token(options, "handle_token");
        session = std::string(portalPath) + "/session/" + senderPart(sender) + "/" + token(options, "session_handle_token");
        g_variant_unref(options);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));
        g_variant_dict_insert(&results, "session_handle", "s", session.c_str());
        respond(request, 0, g_variant_dict_end(&results));
        return;
    }
    GVariant* shortcuts = g_variant_get_child_value(parameters, 1);
    GVariant* options = g_variant_get_child_value(parameters, 3);
    const std::string request = base + token(options, "handle_token");
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));
    GVariantBuilder bound;
    g_variant_builder_init(&bound, G_VARIANT_TYPE("a(sa{sv})"));
    GVariantIter iterator;
    g_variant_iter_init(&iterator, shortcuts);
    const gchar* id = nullptr;
    GVariant* properties = nullptr;
    while (g_variant_iter_next(&iterator, "(&s@a{sv})", &id, &properties)) {
        const gchar* trigger = "";
        g_variant_lookup(properties, "preferred_trigger", "&s", &trigger);
        std::printf("bound %s %s\n", id, trigger);
        std::fflush(stdout);
        boundId = id;
        g_variant_builder_add(&bound, "(s@a{sv})", id, properties);
        g_variant_unref(properties);
    }
    g_variant_unref(shortcuts);
    g_variant_unref(options);
    g_variant_dict_insert_value(&results, "shortcuts", g_variant_builder_end(&bound));
    respond(request, decline ? 1 : 0, g_variant_dict_end(&results));
}

gboolean onInput(GIOChannel* channel, GIOCondition, gpointer loop) {
    gchar* line = nullptr;
    if (g_io_channel_read_line(channel, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
    }
    if (std::strncmp(line, "press", 5) == 0 && !session.empty()) {
        for (const char* signal : {"Activated", "Deactivated"}) {
            g_dbus_connection_emit_signal(bus, client.c_str(), portalPath, "org.freedesktop.portal.GlobalShortcuts",
                                          signal,
                                          g_variant_new("(ost@a{sv})", session.c_str(), boundId.c_str(),
                                                        static_cast<guint64>(0), g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
                                          nullptr);
        }
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    }
    g_free(line);
    return G_SOURCE_CONTINUE;
}

void onNameAcquired(GDBusConnection*, const gchar*, gpointer) {
    std::printf("ready\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    decline = argc > 1 && std::strcmp(argv[1], "--decline") == 0;
    bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) {
        return 1;
    }
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, nullptr);
    const GDBusInterfaceVTable vtable{onCall, nullptr, nullptr, {}};
    g_dbus_connection_register_object(bus, portalPath, node->interfaces[0], &vtable, nullptr, nullptr, nullptr);
    g_bus_own_name_on_connection(bus, "org.freedesktop.portal.Desktop", G_BUS_NAME_OWNER_FLAGS_NONE, onNameAcquired,
                                 nullptr, nullptr, nullptr);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    GIOChannel* input = g_io_channel_unix_new(STDIN_FILENO);
    g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), onInput, loop);
    g_main_loop_run(loop);
    return 0;
}
