#include <gio/gio.h>

#include "platform/dbus/desktop_timeouts.h"
#include "platform/linux/desktop_module.h"

void readGSettings(SettingRead* reads, std::size_t count) {
    // g_settings_new aborts the process on a schema or key that is not
    // installed: both are looked up first.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    for (std::size_t i = 0; i < count; ++i) {
        SettingRead& read = reads[i];
        read.found = 0;
        read.value = 0;
        GSettingsSchema* schema =
            source != nullptr ? g_settings_schema_source_lookup(source, read.schema, TRUE) : nullptr;
        if (schema == nullptr) {
            continue;
        }
        if (g_settings_schema_has_key(schema, read.key)) {
            GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
            GVariant* value = g_settings_get_value(settings, read.key);
            read.found = 1;
            if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
                read.value = g_variant_get_boolean(value) ? 1 : 0;
            } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32)) {
                read.value = g_variant_get_int32(value);
            } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
                read.value = g_variant_get_uint32(value);
            } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT64)) {
                read.value = g_variant_get_int64(value);
            } else {
                read.found = 0;
            }
            g_variant_unref(value);
            g_object_unref(settings);
        }
        g_settings_schema_unref(schema);
    }
}
