// The idle timeouts the desktops keep, read without changing anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// GNOME's org.gnome.desktop.session idle-delay in seconds, through
// GSettings; 0 when the schema or the key is missing.
std::uint32_t gnomeIdleDelaySeconds();

// KDE's screen-locker timeout in seconds from the text of kscreenlockerrc
// ([Daemon] Timeout, in minutes). A file without the key means KDE's own
// default of 5 minutes; a value that is not a number of minutes gives 0.
std::uint32_t kdeLockTimeoutSeconds(const std::string& kscreenlockerrc);

// The same, read from $XDG_CONFIG_HOME (or ~/.config) /kscreenlockerrc: no
// such file means the defaults; 0 when it is there but cannot be read.
std::uint32_t kdeLockTimeoutSeconds();

// Each key's value through GSettings (keepawake-desktop.so's readSettings);
// a schema or key that is not installed is left not found, never fatal.
struct SettingRead;
void readGSettings(SettingRead* reads, std::size_t count);
