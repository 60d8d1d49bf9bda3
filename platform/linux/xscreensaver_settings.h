// xscreensaver's and xautolock's settings, read as they read them: the text
// only, so every rule is tested without an X server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A time as xscreensaver writes it, in seconds: "H:MM:SS", "M:SS", ":SS",
// or a bare number of minutes. Nothing for anything else.
std::optional<std::uint32_t> parseXscreensaverTime(const std::string& text);

// The value an X resource database (RESOURCE_MANAGER's text: one
// "name:\tvalue" a line) gives a program's key: "program.key" or
// "Class.key" first, then with "*", then "*key".
std::optional<std::string> xResource(const std::string& database, const std::string& program,
                                     const std::string& className, const std::string& key);

struct XscreensaverSettings {
    std::uint32_t timeout = 600;  // seconds of idleness before it blanks; 0: it never does ("mode: off")
    bool lock = false;
    std::uint32_t lockTimeout = 0;  // after blanking
    bool dpmsEnabled = false;
    std::uint32_t dpmsStandby = 7200;  // seconds of idleness; 0: that stage is off
    std::uint32_t dpmsSuspend = 7200;
    std::uint32_t dpmsOff = 14400;
    // Where the deciding key was read: "~/.xscreensaver", "X resources",
    // "xscreensaver's default".
    std::string timeoutFrom;
    std::string lockFrom;
    std::string dpmsFrom;
};

// ~/.xscreensaver's text (one "key: value" a line), which wins over the X
// resources, which win over xscreensaver's defaults. A value it could not
// read leaves the next one.
XscreensaverSettings readXscreensaverSettings(const std::string& file, const std::string& resources);

struct XautolockTime {
    std::uint32_t minutes = 10;
    std::string from;  // "its command line, -time", "X resources, Xautolock.time", "xautolock's default"
};

// xautolock's -time (1 to 60 minutes; a unique start of the option, as X
// toolkits take it, too) from its arguments, else its X resources.
XautolockTime readXautolockTime(const std::vector<std::string>& arguments, const std::string& resources);
