// The settings files some idle watchers keep their timers in, read as text:
// xfconf's channel files (Xfce) and Qt's INI files (LXQt). Pure: the caller
// reads the files and says who the user is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Who asks: a property a system file locks for "*", this user or one of
// these groups ("@group") is the system's, whatever the user's file says.
struct SettingsUser {
    std::string name;
    std::vector<std::string> groups;
};

// One xfconf channel as its files give it: files[0] is the user's
// ($XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/CHANNEL.xml, empty
// when missing), then the same file under each of $XDG_CONFIG_DIRS, first
// first. The value of property path ("/saver/idle-activation/delay", names
// in any case) as written, or nothing where no file sets it (the program's
// default then holds). A system file's locked property wins; otherwise the
// user's, then the first system file's.
std::optional<std::string> xfconfValue(const std::vector<std::string>& files, const std::string& path,
                                       const SettingsUser& user);

// A value of a Qt INI file as QSettings reads it: files[0] the user's, then
// each system folder's; key "Group/key" ("General/" for keys outside any
// group, as QSettings has them). Escapes are undone; a QTime stored as
// @Variant comes back as "@Time:SECONDS".
std::optional<std::string> qtIniValue(const std::vector<std::string>& files, const std::string& key);

// "true"/"false" (xfconf) and Qt's booleans; nothing for anything else.
std::optional<bool> settingBool(const std::optional<std::string>& value);
// A whole number (a leading '-' allowed), or what a QTime's "@Time:N" says.
std::optional<std::int64_t> settingNumber(const std::optional<std::string>& value);
