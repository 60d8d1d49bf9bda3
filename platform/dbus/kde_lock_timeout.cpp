// KDE keeps its settings in INI-like files: "[Group]" lines, "key=value"
// lines, "#" comments, and keys that may carry markers such as "[$i]".
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/dbus/desktop_timeouts.h"

namespace {

constexpr std::uint32_t kdeDefaultMinutes = 5;

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Minutes to seconds; anything but a plain non-negative number gives 0.
std::uint32_t minutesToSeconds(const std::string& value) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    errno = 0;
    const unsigned long long minutes = std::strtoull(value.c_str(), nullptr, 10);
    if (errno == ERANGE || minutes > 0xFFFFFFFFull / 60) {
        return 0xFFFFFFFFu;
    }
    return static_cast<std::uint32_t>(minutes * 60);
}

}  // namespace

std::uint32_t kdeLockTimeoutSeconds(const std::string& kscreenlockerrc) {
    std::istringstream lines(kscreenlockerrc);
    std::string line;
    bool inDaemon = false;
    std::uint32_t seconds = kdeDefaultMinutes * 60;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            inDaemon = line == "[Daemon]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inDaemon || equals == std::string::npos) {
            continue;
        }
        std::string key = trimmed(line.substr(0, equals));
        const auto marker = key.find("[$");
        if (marker != std::string::npos) {
            key = trimmed(key.substr(0, marker));
        }
        if (key == "Timeout") {
            // A later line wins, as in KDE's own reader.
            seconds = minutesToSeconds(trimmed(line.substr(equals + 1)));
        }
    }
    return seconds;
}

std::uint32_t kdeLockTimeoutSeconds() {
    std::string directory;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        directory = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        directory = std::string(home) + "/.config";
    } else {
        return 0;
    }
    const std::string path = directory + "/kscreenlockerrc";
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        // Never saved: KDE runs on its defaults.
        return errno == ENOENT ? kdeDefaultMinutes * 60 : 0;
    }
    std::ifstream file(path);
    if (!S_ISREG(status.st_mode) || !file) {
        return 0;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return kdeLockTimeoutSeconds(text.str());
}
