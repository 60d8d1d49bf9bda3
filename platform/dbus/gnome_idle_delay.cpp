#include <gio/gio.h>

#include "platform/dbus/desktop_timeouts.h"

std::uint32_t gnomeIdleDelaySeconds() {
    // g_settings_new aborts the process on a schema that is not installed, so
    // the schema and its key are looked up first.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (source == nullptr) {
        return 0;
    }
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, "org.gnome.desktop.session", TRUE);
    if (schema == nullptr) {
        return 0;
    }
    std::uint32_t seconds = 0;
    if (g_settings_schema_has_key(schema, "idle-delay")) {
        GSettingsSchemaKey* key = g_settings_schema_get_key(schema, "idle-delay");
        if (g_variant_type_equal(g_settings_schema_key_get_value_type(key), G_VARIANT_TYPE_UINT32)) {
            GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
            seconds = g_settings_get_uint(settings, "idle-delay");
            g_object_unref(settings);
        }
        g_settings_schema_key_unref(key);
    }
    g_settings_schema_unref(schema);
    return seconds;
}
