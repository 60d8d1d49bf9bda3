#include "platform/linux/xscreensaver_settings.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::optional<std::uint32_t> number(const std::string& text) {
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::stoul(text));
}

// xscreensaver's own words for true and false, in any case.
std::optional<bool> parseBool(const std::string& text) {
    std::string lower = trimmed(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower == "on" || lower == "true" || lower == "yes") {
        return true;
    }
    if (lower == "off" || lower == "false" || lower == "no") {
        return false;
    }
    return std::nullopt;
}

// The "key: value" lines of ~/.xscreensaver. A line ending in a backslash
// goes on in the next (its list of screen savers does).
std::vector<std::pair<std::string, std::string>> fileEntries(const std::string& file) {
    std::vector<std::pair<std::string, std::string>> entries;
    std::istringstream lines(file);
    std::string line;
    bool continued = false;
    while (std::getline(lines, line)) {
        const bool carriesOn = !line.empty() && line.back() == '\\';
        if (continued) {
            continued = carriesOn;
            continue;
        }
        continued = carriesOn;
        const std::string text = trimmed(line);
        const auto colon = text.find(':');
        if (text.empty() || text[0] == '#' || text[0] == '!' || colon == std::string::npos) {
            continue;
        }
        entries.emplace_back(trimmed(text.substr(0, colon)), trimmed(text.substr(colon + 1)));
    }
    return entries;
}

// One setting: the file's value where it reads, else the resources', else
// the default.
template <typename T, typename Parse>
void settle(const std::vector<std::pair<std::string, std::string>>& file, const std::string& resources,
            const std::string& key, Parse parse, T* value, std::string* from) {
    std::optional<T> found;
    for (const auto& [name, text] : file) {
        if (name == key) {
            if (const auto read = parse(text)) {
                found = read;  // the last one, as xscreensaver takes it
            }
        }
    }
    if (found) {
        *value = *found;
        *from = "~/.xscreensaver";
        return;
    }
    if (const auto text = xResource(resources, "xscreensaver", "XScreenSaver", key)) {
        if (const auto read = parse(*text)) {
            *value = *read;
            *from = "X resources, xscreensaver." + key;
            return;
        }
    }
    *from = "xscreensaver's default";
}

}  // namespace

std::optional<std::uint32_t> parseXscreensaverTime(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream fields(trimmed(text));
    std::string field;
    while (std::getline(fields, field, ':')) {
        parts.push_back(trimmed(field));
    }
    if (!text.empty() && trimmed(text).back() == ':') {
        return std::nullopt;
    }
    std::uint32_t hours = 0;
    std::uint32_t minutes = 0;
    std::uint32_t seconds = 0;
    const auto at = [&parts](std::size_t i) { return number(parts[i]); };
    switch (parts.size()) {
    case 1:
        if (!at(0)) {
            return std::nullopt;
        }
        minutes = *at(0);
        break;
    case 2:
        // "M:SS", or ":SS" for seconds alone.
        if (!at(1) || parts[1].size() > 2 || (!parts[0].empty() && !at(0))) {
            return std::nullopt;
        }
        minutes = parts[0].empty() ? 0 : *at(0);
        seconds = *at(1);
        break;
    case 3:
        if ((!parts[0].empty() && !at(0)) || !at(1) || !at(2) || parts[1].size() > 2 || parts[2].size() > 2) {
            return std::nullopt;
        }
        hours = parts[0].empty() ? 0 : *at(0);
        minutes = *at(1);
        seconds = *at(2);
        break;
    default:
        return std::nullopt;
    }
    if ((seconds >= 60 && (hours != 0 || minutes != 0)) || (minutes >= 60 && hours != 0)) {
        return std::nullopt;
    }
    return hours * 3600 + minutes * 60 + seconds;
}

std::optional<std::string> xResource(const std::string& database, const std::string& program,
                                     const std::string& className, const std::string& key) {
    // Tighter names win: "xscreensaver.timeout" over "xscreensaver*timeout"
    // over "*timeout".
    const std::vector<std::string> names[] = {
        {program + "." + key, className + "." + key},
        {program + "*" + key, className + "*" + key},
        {"*" + key},
    };
    std::optional<std::string> best;
    std::size_t bestRank = std::size(names);
    std::istringstream lines(database);
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string name = trimmed(line.substr(0, colon));
        for (std::size_t rank = 0; rank < bestRank; ++rank) {
            if (std::find(names[rank].begin(), names[rank].end(), name) != names[rank].end()) {
                best = trimmed(line.substr(colon + 1));
                bestRank = rank;
                break;
            }
        }
    }
    return best;
}

XscreensaverSettings readXscreensaverSettings(const std::string& file, const std::string& resources) {
    const auto entries = fileEntries(file);
    XscreensaverSettings settings;
    settle(entries, resources, "timeout", parseXscreensaverTime, &settings.timeout, &settings.timeoutFrom);
    std::string unused;
    std::string mode = "random";
    settle(entries, resources, "mode", [](const std::string& text) { return std::optional<std::string>(text); },
           &mode, &unused);
    // "Disable Screen Saver": it never blanks, and so never locks either.
    if (mode == "off") {
        settings.timeout = 0;
        settings.timeoutFrom = unused;
    }
    settle(entries, resources, "lock", parseBool, &settings.lock, &settings.lockFrom);
    settle(entries, resources, "lockTimeout", parseXscreensaverTime, &settings.lockTimeout, &unused);
    settle(entries, resources, "dpmsEnabled", parseBool, &settings.dpmsEnabled, &settings.dpmsFrom);
    settle(entries, resources, "dpmsStandby", parseXscreensaverTime, &settings.dpmsStandby, &unused);
    settle(entries, resources, "dpmsSuspend", parseXscreensaverTime, &settings.dpmsSuspend, &unused);
    settle(entries, resources, "dpmsOff", parseXscreensaverTime, &settings.dpmsOff, &unused);
    return settings;
}

XautolockTime readXautolockTime(const std::vector<std::string>& arguments, const std::string& resources) {
    const auto minutes = [](const std::string& text) -> std::optional<std::uint32_t> {
        const auto read = number(trimmed(text));
        return read && *read >= 1 && *read <= 60 ? read : std::nullopt;
    };
    // Its options, and whether each takes a value; one is known by any
    // start of its name that no other shares.
    static const std::pair<const char*, bool> options[] = {
        {"-help", false},       {"-version", false},       {"-time", true},       {"-locker", true},
        {"-killtime", true},    {"-killer", true},         {"-notify", true},     {"-notifier", true},
        {"-bell", true},        {"-corners", true},        {"-cornerdelay", true}, {"-cornerredelay", true},
        {"-cornersize", true},  {"-secure", false},        {"-resetsaver", false}, {"-nocloseout", false},
        {"-nocloseerr", false}, {"-noclose", false},       {"-disable", false},   {"-enable", false},
        {"-toggle", false},     {"-exit", false},          {"-locknow", false},   {"-unlocknow", false},
        {"-nowlocker", true},   {"-restart", false},       {"-detectsleep", false},
    };
    XautolockTime time;
    std::optional<std::uint32_t> given;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        const std::pair<const char*, bool>* named = nullptr;
        int matches = 0;
        for (const auto& known : options) {
            if (option == known.first) {
                named = &known;
                matches = 1;
                break;
            }
            if (option.size() > 1 && std::string(known.first).compare(0, option.size(), option) == 0) {
                named = &known;
                ++matches;
            }
        }
        if (matches != 1 || !named->second) {
            continue;
        }
        if (i + 1 < arguments.size() && std::string(named->first) == "-time") {
            given = minutes(arguments[i + 1]);
        }
        ++i;
    }
    if (given) {
        time.minutes = *given;
        time.from = "its command line, -time";
        return time;
    }
    if (const auto text = xResource(resources, "xautolock", "Xautolock", "time")) {
        if (const auto read = minutes(*text)) {
            time.minutes = *read;
            time.from = "X resources, Xautolock.time";
            return time;
        }
    }
    time.from = "xautolock's default";
    return time;
}
