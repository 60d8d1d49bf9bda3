// wlroots desktops leave blanking to an idle manager the user starts: which
// of them run for this user, and what each honours, read from /proc and
// hypridle's configuration file without asking either of them anything.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/linux/linux_diagnose.h"
#include "platform/linux/session_processes.h"

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::optional<std::uint32_t> seconds(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::stoul(text));
}

std::optional<std::uint32_t> shorter(std::optional<std::uint32_t> a, std::optional<std::uint32_t> b) {
    if (!a || (b && *b < *a)) {
        return b;
    }
    return a;
}

std::string configHome() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        return config;
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

}  // namespace

HypridleConfig parseHypridleConfig(const std::string& text) {
    HypridleConfig config;
    std::istringstream lines(text);
    std::string line;
    int depth = 0;
    bool inListener = false;
    while (std::getline(lines, line)) {
        line = trimmed(line.substr(0, line.find('#')));
        // Blocks may open and close on the same line as their keys.
        std::string rest = line;
        while (!rest.empty()) {
            const auto open = rest.find('{');
            const auto close = rest.find('}');
            const auto cut = std::min(open, close);
            const std::string part = trimmed(rest.substr(0, cut));
            const auto equals = part.find('=');
            if (equals != std::string::npos) {
                const std::string key = trimmed(part.substr(0, equals));
                const std::string value = trimmed(part.substr(equals + 1));
                if (key == "ignore_dbus_inhibit" && depth == 1 && !inListener) {
                    config.ignoresDbusInhibit = value == "true" || value == "yes" || value == "on" || value == "1";
                } else if (key == "timeout" && inListener) {
                    config.shortestTimeout = shorter(config.shortestTimeout, seconds(value));
                }
            }
            if (cut == std::string::npos) {
                break;
            }
            if (cut == open) {
                ++depth;
                inListener = depth == 1 && part.rfind("listener", 0) == 0;
            } else if (depth > 0 && --depth == 0) {
                inListener = false;
            }
            rest = rest.substr(cut + 1);
        }
    }
    return config;
}

std::optional<std::uint32_t> swayidleShortestTimeout(const std::vector<std::string>& arguments) {
    std::optional<std::uint32_t> shortest;
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "timeout") {
            shortest = shorter(shortest, seconds(arguments[i + 1]));
        }
    }
    return shortest;
}

std::string hypridleConfigPath(const std::vector<std::string>& arguments, const std::string& pid) {
    for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
        if ((arguments[i] == "-c" || arguments[i] == "--config") && !arguments[i + 1].empty()) {
            if (arguments[i + 1][0] == '/') {
                return arguments[i + 1];
            }
            // Relative to the folder it was started in.
            char folder[4096];
            const ssize_t length = readlink(("/proc/" + pid + "/cwd").c_str(), folder, sizeof folder);
            return length > 0 ? std::string(folder, static_cast<std::size_t>(length)) + "/" + arguments[i + 1] : "";
        }
    }
    return configHome() + "/hypr/hypridle.conf";
}

// Their timers are read with the session's other timers (watcher_timers.cpp);
// this tells what else matters about them.
void idleManagersDiagnose(const FindingSink& add) {
    const std::vector<SessionProcess> managers = findSessionProcesses({"swayidle", "hypridle"});
    if (std::none_of(managers.begin(), managers.end(), [](const SessionProcess& p) { return p.thisSession; })) {
        add(readFinding(Finding::timers, Finding::fact, "wlroots idle managers",
                        managers.empty() ? "none running" : "none in this session", "",
                        "swayidle, hypridle looked for in /proc"));
    }
    std::vector<std::string> told;
    for (const SessionProcess& manager : managers) {
        if (!manager.thisSession || manager.name != "hypridle") {
            continue;
        }
        const std::string path = hypridleConfigPath(manager.arguments, manager.pid);
        std::ifstream file(path);
        if (!file || std::find(told.begin(), told.end(), path) != told.end()) {
            continue;
        }
        told.push_back(path);
        std::ostringstream text;
        text << file.rdbuf();
        const HypridleConfig config = parseHypridleConfig(text.str());
        add(readFinding(Finding::timers, Finding::fact, "hypridle ignore_dbus_inhibit",
                        config.ignoresDbusInhibit ? "true: inhibitors are ignored" : "false: inhibitors hold it off",
                        "", path));
    }
}
