// The watchers found in /proc, and the settings files they keep their
// timers in. Each watcher's timer is read the way the watcher itself reads
// it, asking nothing of it: its command line, its configuration file, its
// xfconf channel file (no xfconfd is started), or GSettings through
// keepawake-desktop.so (loaded only where MATE's or Cinnamon's watcher runs
// in this session).
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/linux/desktop_loader.h"
#include "platform/linux/linux_diagnose.h"
#include "platform/linux/session_processes.h"
#include "platform/linux/session_timers.h"
#include "platform/linux/watcher_settings.h"

namespace {

const std::vector<std::string> watcherNames{
    "swayidle",          "hypridle",           "xfce4-screensaver",    "xfce4-power-manager",
    "lxqt-powermanagement", "mate-screensaver", "mate-power-manager", "cinnamon-screensaver",
    "csd-power",         "light-locker"};

// What the last read looked at, for the watching that follows it.
std::mutex watching;
std::vector<std::string> filesRead;  // this session's watchers' settings files, there or not
std::set<std::string> processesSeen; // "pid name arguments... here|elsewhere"
int filesFd = -1;
int lookFd = -1;
std::map<int, std::set<std::string>> watches;  // inotify watch → the names in its folder that matter

std::string environmentOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : fallback;
}

std::string configHome() {
    const char* home = std::getenv("HOME");
    return environmentOr("XDG_CONFIG_HOME", std::string(home != nullptr ? home : "") + "/.config");
}

std::vector<std::string> configDirs() {
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::vector<std::string> found;
    std::istringstream list(dirs != nullptr && dirs[0] != '\0' ? dirs : "/etc/xdg");
    std::string dir;
    while (std::getline(list, dir, ':')) {
        if (!dir.empty() && dir[0] == '/') {
            found.push_back(dir);
        }
    }
    return found;
}

std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

const SettingsUser& thisUser() {
    static const SettingsUser user = [] {
        SettingsUser who;
        if (const passwd* entry = getpwuid(getuid()); entry != nullptr) {
            who.name = entry->pw_name;
        }
        gid_t groups[64];
        const int count = getgroups(64, groups);
        for (int i = 0; i < count; ++i) {
            if (const group* entry = getgrgid(groups[i]); entry != nullptr) {
                who.groups.push_back(entry->gr_name);
            }
        }
        return who;
    }();
    return user;
}

// On battery when a battery discharges and no mains supply is online.
bool onBattery() {
    bool mains = false;
    bool discharging = false;
    const std::string folder = "/sys/class/power_supply";
    if (DIR* supplies = opendir(folder.c_str()); supplies != nullptr) {
        while (const dirent* entry = readdir(supplies)) {
            const std::string base = folder + "/" + entry->d_name + "/";
            const std::string type = readText(base + "type");
            if (type.rfind("Mains", 0) == 0 && readText(base + "online").rfind('1', 0) == 0) {
                mains = true;
            } else if (type.rfind("Battery", 0) == 0 && readText(base + "status").rfind("Discharging", 0) == 0) {
                discharging = true;
            }
        }
        closedir(supplies);
    }
    return discharging && !mains;
}

SessionTimer timerOf(const SessionProcess& process, const std::string& does, std::uint32_t seconds,
                     const std::string& source) {
    SessionTimer timer;
    timer.watcher = process.name;
    timer.does = does;
    timer.seconds = seconds;
    timer.source = source;
    timer.thisSession = process.thisSession;
    return timer;
}

std::uint32_t minutes(std::int64_t count) {
    return count > 0 && count < 1000000 ? static_cast<std::uint32_t>(count * 60) : 0;
}

std::uint32_t seconds(std::int64_t count) {
    return count > 0 && count < 100000000 ? static_cast<std::uint32_t>(count) : 0;
}

// --- The readers, one per watcher --------------------------------------------

struct Reading {
    std::vector<SessionTimer>* timers;
    std::vector<std::string>* files;  // null for another session's watcher: not followed
    void read(const std::string& path) {
        if (files != nullptr) {
            files->push_back(path);
        }
    }
};

void readSwayidle(const SessionProcess& process, Reading& reading) {
    const auto timeout = swayidleShortestTimeout(process.arguments);
    SessionTimer timer = timerOf(process, "runs its command", timeout.value_or(0),
                                 "its shortest timeout, from its command line, process " + process.pid);
    if (!timeout) {
        timer.unreadable = "no timeout on its command line (process " + process.pid + ")";
    }
    // swayidle follows Wayland input and idle-inhibit, never D-Bus.
    timer.advice = "swayidle honours input, not D-Bus inhibitors: in GNOME or KDE stop it, or let the desktop's own "
                   "idle settings do its work";
    reading.timers->push_back(timer);
}

void readHypridle(const SessionProcess& process, Reading& reading) {
    const std::string path = hypridleConfigPath(process.arguments, process.pid);
    reading.read(path);
    std::ifstream file(path);
    SessionTimer timer = timerOf(process, "runs its listener's command", 0, "");
    if (!file) {
        timer.unreadable = path.empty() ? "its configuration is named relative to a folder that cannot be read"
                                        : "no " + path;
        reading.timers->push_back(timer);
        return;
    }
    const HypridleConfig config = parseHypridleConfig(readText(path));
    timer.heldBy = heldByNudge | (config.ignoresDbusInhibit ? 0u : heldByInhibitor);
    if (config.ignoresDbusInhibit) {
        timer.advice = "set ignore_dbus_inhibit = false in " + path;
    }
    if (config.shortestTimeout) {
        timer.seconds = *config.shortestTimeout;
        timer.source = "its shortest listener, " + path;
    } else {
        timer.unreadable = "no listener in " + path;
    }
    reading.timers->push_back(timer);
}

// An xfconf channel: the user's file over the system's.
struct Channel {
    std::string name;
    std::vector<std::string> files;

    Channel(const std::string& channel, Reading& reading) : name(channel) {
        const std::string place = "/xfce4/xfconf/xfce-perchannel-xml/" + channel + ".xml";
        reading.read(configHome() + place);
        files.push_back(readText(configHome() + place));
        for (const std::string& dir : configDirs()) {
            reading.read(dir + place);
            files.push_back(readText(dir + place));
        }
    }
    std::optional<std::string> value(const std::string& path) const { return xfconfValue(files, path, thisUser()); }
    bool flag(const std::string& path, bool fallback) const { return settingBool(value(path)).value_or(fallback); }
    std::int64_t number(const std::string& path, std::int64_t fallback) const {
        return settingNumber(value(path)).value_or(fallback);
    }
    std::string source(const std::string& path) const { return path + " of the xfconf channel " + name; }
};

void readXfceScreensaver(const SessionProcess& process, Reading& reading) {
    const Channel channel("xfce4-screensaver", reading);
    const bool idle = channel.flag("/saver/enabled", true) && channel.flag("/saver/idle-activation/enabled", true);
    const std::uint32_t blank = idle ? minutes(channel.number("/saver/idle-activation/delay", 5)) : 0;
    const bool locks = channel.flag("/lock/enabled", true) && channel.flag("/lock/saver-activation/enabled", true);
    const std::uint32_t lockAfter = minutes(channel.number("/lock/saver-activation/delay", 0));
    reading.timers->push_back(timerOf(process, locks && lockAfter == 0 ? "blanks and locks the screen"
                                                                       : "blanks the screen",
                                      blank, channel.source(idle ? "/saver/idle-activation/delay"
                                                                 : "/saver/idle-activation/enabled")));
    if (blank != 0 && locks && lockAfter != 0) {
        reading.timers->push_back(timerOf(process, "locks the screen", blank + lockAfter,
                                          channel.source("/lock/saver-activation/delay") + ", after blanking"));
    }
}

void readXfcePowerManager(const SessionProcess& process, Reading& reading) {
    const Channel channel("xfce4-power-manager", reading);
    const bool battery = onBattery();
    const std::string prefix = "/xfce4-power-manager/";
    const std::string power = battery ? "battery" : "ac";
    const std::string on = battery ? " (on battery)" : " (on AC)";
    const bool dpms = channel.flag(prefix + "dpms-enabled", true);
    const std::string sleepKey = prefix + "dpms-on-" + power + "-sleep";
    const std::string offKey = prefix + "dpms-on-" + power + "-off";
    reading.timers->push_back(timerOf(process, "puts the display to sleep",
                                      dpms ? minutes(channel.number(sleepKey, battery ? 5 : 10)) : 0,
                                      channel.source(sleepKey) + on));
    reading.timers->push_back(timerOf(process, "turns the display off",
                                      dpms ? minutes(channel.number(offKey, battery ? 10 : 15)) : 0,
                                      channel.source(offKey) + on));
    // Its slider's lowest place, 14 minutes, reads "never".
    const std::string sleepsKey = prefix + "inactivity-on-" + power;
    const std::int64_t inactivity = channel.number(sleepsKey, 14);
    reading.timers->push_back(timerOf(process, "puts the computer to sleep", inactivity > 14 ? minutes(inactivity) : 0,
                                      channel.source(sleepsKey) + on));
}

std::string lxqtAction(std::int64_t action) {
    switch (action) {
    case -2: return "locks the screen";
    case 0: return "logs out";
    case 1: return "hibernates";
    case 2: return "reboots";
    case 3: return "shuts down";
    case 4: return "suspends";
    case 5: return "turns the monitors off";
    case 6: return "asks to leave";
    default: return "does nothing";
    }
}

void readLxqt(const SessionProcess& process, Reading& reading) {
    const std::string place = "/lxqt/lxqt-powermanagement.conf";
    std::vector<std::string> files;
    reading.read(configHome() + place);
    files.push_back(readText(configHome() + place));
    for (const std::string& dir : configDirs()) {
        reading.read(dir + place);
        files.push_back(readText(dir + place));
    }
    const bool battery = onBattery();
    const std::string power = battery ? "Battery" : "AC";
    const auto value = [&](const std::string& key) { return qtIniValue(files, "General/" + key); };
    const bool enabled = settingBool(value("enableIdlenessWatcher")).value_or(false);
    const std::int64_t action =
        settingNumber(value("idleness" + power + "Action")).value_or(settingNumber(value("idlenessAction")).value_or(-1));
    // Older versions kept one time in seconds; it is bound to a minute up to
    // an hour, as the newer ones read it.
    std::int64_t time = std::clamp<std::int64_t>(settingNumber(value("idlenessTimeSecs")).value_or(900), 60, 3599);
    time = settingNumber(value("idleness" + power + "Time")).value_or(time);
    const bool acts = enabled && action != -1 && lxqtAction(action) != "does nothing";
    // It ignores times under 30 s.
    reading.timers->push_back(timerOf(process, lxqtAction(action), acts && time >= 30 ? seconds(time) : 0,
                                      "idleness" + power + "Time in " + configHome() + place));
}

// GSettings, through keepawake-desktop.so: MATE's and Cinnamon's watchers.
struct Keys {
    std::vector<SettingRead> reads;
    std::string problem;  // not empty: none could be read, and why

    Keys(std::initializer_list<std::pair<const char*, const char*>> wanted, const SessionProcess& process,
         Reading& reading) {
        for (const auto& [schema, key] : wanted) {
            reads.push_back({schema, key, 0, 0});
        }
        if (!process.thisSession) {
            problem = "its settings are read only for this session's watchers";
            return;
        }
        reading.read(configHome() + "/dconf/user");
        std::string failure;
        const DesktopBinding* module = loadDesktopModule(&failure);
        if (module == nullptr) {
            problem = "keepawake-desktop.so, which reads GSettings, could not be loaded (" + failure + ")";
            return;
        }
        module->readSettings(reads.data(), reads.size());
    }
    std::optional<std::int64_t> operator[](std::size_t i) const {
        return reads[i].found != 0 ? std::optional<std::int64_t>(reads[i].value) : std::nullopt;
    }
    std::string source(std::size_t i) const { return std::string(reads[i].schema) + " " + reads[i].key; }
    // The timer, or why it cannot be read.
    void add(Reading& reading, const SessionProcess& process, const std::string& does, std::size_t i,
             std::uint32_t value, const std::string& unit) const {
        SessionTimer timer = timerOf(process, does, value, source(i) + unit);
        if (!problem.empty()) {
            timer.unreadable = problem;
        } else if (!(*this)[i]) {
            timer.unreadable = source(i) + " is not installed";
        }
        reading.timers->push_back(timer);
    }
};

void readMateScreensaver(const SessionProcess& process, Reading& reading) {
    const Keys keys({{"org.mate.session", "idle-delay"},
                     {"org.mate.screensaver", "idle-activation-enabled"},
                     {"org.mate.screensaver", "lock-enabled"},
                     {"org.mate.screensaver", "lock-delay"}},
                    process, reading);
    const bool idle = keys[1].value_or(1) != 0;
    const bool locks = keys[2].value_or(1) != 0;
    const std::uint32_t blank = idle ? minutes(keys[0].value_or(0)) : 0;
    const std::uint32_t lockAfter = minutes(keys[3].value_or(0));
    keys.add(reading, process, locks && lockAfter == 0 ? "blanks and locks the screen" : "blanks the screen", 0, blank,
             " (minutes)");
    if (blank != 0 && locks && lockAfter != 0) {
        keys.add(reading, process, "locks the screen", 3, blank + lockAfter, " (minutes), after blanking");
    }
}

void readMatePowerManager(const SessionProcess& process, Reading& reading) {
    const bool battery = onBattery();
    const Keys keys({{"org.mate.power-manager", battery ? "sleep-display-battery" : "sleep-display-ac"},
                     {"org.mate.power-manager", battery ? "sleep-computer-battery" : "sleep-computer-ac"}},
                    process, reading);
    keys.add(reading, process, "turns the display off", 0, seconds(keys[0].value_or(0)), "");
    keys.add(reading, process, "puts the computer to sleep", 1, seconds(keys[1].value_or(0)), "");
}

void readCinnamonScreensaver(const SessionProcess& process, Reading& reading) {
    const Keys keys({{"org.cinnamon.desktop.session", "idle-delay"},
                     {"org.cinnamon.desktop.screensaver", "lock-enabled"},
                     {"org.cinnamon.desktop.screensaver", "lock-delay"}},
                    process, reading);
    const bool locks = keys[1].value_or(1) != 0;
    const std::uint32_t blank = seconds(keys[0].value_or(0));
    const std::uint32_t lockAfter = seconds(keys[2].value_or(0));
    keys.add(reading, process, locks && lockAfter == 0 ? "blanks and locks the screen" : "blanks the screen", 0, blank,
             "");
    if (blank != 0 && locks && lockAfter != 0) {
        keys.add(reading, process, "locks the screen", 2, blank + lockAfter, ", after blanking");
    }
}

void readCinnamonPower(const SessionProcess& process, Reading& reading) {
    const bool battery = onBattery();
    const char* schema = "org.cinnamon.settings-daemon.plugins.power";
    const Keys keys({{schema, battery ? "sleep-display-battery" : "sleep-display-ac"},
                     {schema, battery ? "sleep-inactive-battery-timeout" : "sleep-inactive-ac-timeout"}},
                    process, reading);
    keys.add(reading, process, "turns the display off", 0, seconds(keys[0].value_or(0)), "");
    keys.add(reading, process, "puts the computer to sleep", 1, seconds(keys[1].value_or(0)), "");
}

// light-locker keeps no timer: it locks when the X server's saver starts.
void readLightLocker(const SessionProcess& process, Reading& reading) {
    SessionTimer timer = timerOf(process, "locks the screen when the X server's screen saver starts", 0,
                                 "the X server's screen-saver timeout, which it follows");
    const auto saver = std::find_if(reading.timers->begin(), reading.timers->end(),
                                    [](const SessionTimer& t) { return t.systemSaver && t.unreadable.empty(); });
    if (saver != reading.timers->end() && process.thisSession) {
        timer.seconds = saver->seconds;
    } else {
        timer.unreadable = "it keeps no timer of its own: it locks when the X server's screen saver starts";
    }
    reading.timers->push_back(timer);
}

void readWatcher(const SessionProcess& process, Reading& reading) {
    using ReadOne = void (*)(const SessionProcess&, Reading&);
    static const std::map<std::string, ReadOne> readers{
        {"swayidle", readSwayidle},
        {"hypridle", readHypridle},
        {"xfce4-screensaver", readXfceScreensaver},
        {"xfce4-power-manager", readXfcePowerManager},
        {"lxqt-powermanagement", readLxqt},
        {"mate-screensaver", readMateScreensaver},
        {"mate-power-manager", readMatePowerManager},
        {"cinnamon-screensaver", readCinnamonScreensaver},
        {"csd-power", readCinnamonPower},
        {"light-locker", readLightLocker},
    };
    readers.at(process.name)(process, reading);
}

std::string seenAs(const SessionProcess& process) {
    std::string seen = process.pid + " " + process.name;
    for (const std::string& argument : process.arguments) {
        seen += " " + argument;
    }
    return seen;
}

// --- Watching ------------------------------------------------------------------

constexpr std::uint32_t fileChanges = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE;

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Watches the folder of each file read; where that folder does not exist
// yet, the nearest one that does, for the name that would lead to it.
void watchFilesRead() {
    if (filesFd < 0) {
        return;
    }
    std::map<int, std::set<std::string>> wanted;
    for (const std::string& path : filesRead) {
        if (path.empty() || path[0] != '/') {
            continue;
        }
        std::string folder = parentOf(path);
        std::string name = path.substr(path.rfind('/') + 1);
        struct stat status {};
        while (folder != "/" && stat(folder.c_str(), &status) != 0) {
            name = folder.substr(folder.rfind('/') + 1);
            folder = parentOf(folder);
        }
        const int watch = inotify_add_watch(filesFd, folder.c_str(), fileChanges);
        if (watch >= 0) {
            wanted[watch].insert(name);
        }
    }
    for (const auto& [watch, names] : watches) {
        if (wanted.count(watch) == 0) {
            inotify_rm_watch(filesFd, watch);
        }
    }
    watches = std::move(wanted);
}

std::set<std::string> lookAtProcesses() {
    std::set<std::string> seen;
    for (const SessionProcess& process : findSessionProcesses(watcherNames)) {
        // Another session's watcher paces nothing here: its coming and
        // going is no reason to read the timers again.
        if (process.thisSession) {
            seen.insert(seenAs(process));
        }
    }
    return seen;
}

}  // namespace

void readWatcherTimers(std::vector<SessionTimer>* timers) {
    std::vector<std::string> files;
    std::set<std::string> seen;
    std::set<std::pair<std::string, bool>> read;  // one watcher's settings once per session
    for (const SessionProcess& process : findSessionProcesses(watcherNames)) {
        if (process.thisSession) {
            seen.insert(seenAs(process));
        }
        const bool byCommandLine = process.name == "swayidle";
        if (!byCommandLine && !read.insert({process.name, process.thisSession}).second) {
            continue;
        }
        Reading reading{timers, process.thisSession ? &files : nullptr};
        readWatcher(process, reading);
    }
    // xscreensaver's file, which the X server's reader found it by.
    for (std::string& file : x11SettingsFiles()) {
        files.push_back(std::move(file));
    }
    std::lock_guard<std::mutex> lock(watching);
    filesRead = std::move(files);
    processesSeen = std::move(seen);
    watchFilesRead();
}

void watchWatcherTimers(int* files, int* look) {
    std::lock_guard<std::mutex> lock(watching);
    filesFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    lookFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (lookFd >= 0) {
        const itimerspec every{{2, 0}, {2, 0}};
        timerfd_settime(lookFd, 0, &every, nullptr);
    }
    watchFilesRead();
    *files = filesFd;
    *look = lookFd;
}

bool serveWatcherFiles() {
    std::lock_guard<std::mutex> lock(watching);
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    ssize_t got = 0;
    while ((got = read(filesFd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const auto watch = watches.find(event->wd);
            // A lost event may have been one of ours.
            if ((event->mask & IN_Q_OVERFLOW) != 0 ||
                (watch != watches.end() && event->len > 0 && watch->second.count(event->name) != 0)) {
                changed = true;
            }
        }
    }
    return changed;
}

void holdWatcherLook(bool held) {
    std::lock_guard<std::mutex> lock(watching);
    if (lookFd >= 0) {
        // Let go: the first look at once, for what came while held.
        const itimerspec every{{held ? 0 : 2, 0}, {0, held ? 0 : 1}};
        timerfd_settime(lookFd, 0, &every, nullptr);
    }
}

bool serveWatcherLook() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t got = read(lookFd, &expirations, sizeof expirations);
    std::set<std::string> seen = lookAtProcesses();
    std::lock_guard<std::mutex> lock(watching);
    if (seen == processesSeen) {
        return false;
    }
    processesSeen = std::move(seen);
    return true;
}
