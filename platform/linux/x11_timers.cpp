// The X server's watchers' timers, read through keepawake-x11.so: only in an
// X session, and never waiting on the display more than about a second (the
// module's calls block, so they run on a thread of their own that is left to
// end by itself when the display does not answer).
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/linux/session_timers.h"
#include "platform/linux/x11_loader.h"
#include "platform/linux/xscreensaver_settings.h"
#include "platform/posix/posix_wake.h"

namespace {

using namespace std::chrono_literals;

constexpr auto answerLimit = 1000ms;
// RESOURCE_MANAGER is a few kilobytes on most desktops.
constexpr std::size_t resourcesSize = 256 * 1024;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool isXSession() {
    return environment("WAYLAND_DISPLAY").empty() && environment("XDG_SESSION_TYPE") != "wayland" &&
           !environment("DISPLAY").empty();
}

// The module, loaded only in an X session. Whether it could be loaded the
// display binding says, once.
const X11Binding* module() {
    if (!isXSession()) {
        return nullptr;
    }
    X11LoadFailure failure;
    return loadX11Module(&failure);
}

// One call into the module on a thread of its own.
struct Call {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool abandoned = false;
};

// Runs work on a detached thread that takes no signals (a write to a
// vanished server fails there instead of ending the process), and waits for
// it up to the limit. When it is late, whenLate runs once it ends.
bool runBounded(const std::shared_ptr<Call>& call, std::function<void()> work, std::function<void()> whenLate) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        std::thread([call, work = std::move(work), whenLate = std::move(whenLate)] {
            work();
            bool late;
            {
                std::lock_guard<std::mutex> lock(call->mutex);
                call->done = true;
                late = call->abandoned;
            }
            call->ended.notify_all();
            if (late && whenLate) {
                whenLate();
            }
        }).detach();
    } catch (const std::system_error&) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    std::unique_lock<std::mutex> lock(call->mutex);
    if (!call->ended.wait_for(lock, answerLimit, [&call] { return call->done; })) {
        call->abandoned = true;
        return false;
    }
    return true;
}

struct Reading : Call {
    int reached = 0;
    X11WatcherFacts facts{};
    std::string resources = std::string(resourcesSize, '\0');
};

// A read the display has not answered yet: no second one is started beside it.
std::shared_ptr<Reading> unanswered;
std::uint32_t lastScreensaverWindow = 0;
bool lastReadAnswered = false;
bool watching = false;

// As the display's own connection does, before any thread of ours connects:
// libXau's default name is built in a buffer an exit handler frees.
void nameAuthorityFile() {
    const std::string home = environment("HOME");
    if (std::getenv("XAUTHORITY") == nullptr && !home.empty()) {
        setenv("XAUTHORITY", ((home == "/" ? "" : home) + "/.Xauthority").c_str(), 0);
    }
}

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> commandLine(std::uint32_t pid) {
    std::vector<std::string> arguments;
    std::istringstream text(fileText("/proc/" + std::to_string(pid) + "/cmdline"));
    std::string argument;
    while (std::getline(text, argument, '\0')) {
        arguments.push_back(argument);
    }
    return arguments;
}

SessionTimer timerOf(const std::string& watcher, const std::string& does, std::uint32_t seconds,
                     const std::string& source) {
    SessionTimer timer;
    timer.watcher = watcher;
    timer.does = does;
    timer.seconds = seconds;
    timer.source = source;
    timer.heldBy = heldByNudge;
    return timer;
}

// The first DPMS stage that turns the display off, with its name.
std::pair<std::uint32_t, const char*> firstStage(std::uint32_t standby, std::uint32_t suspend, std::uint32_t off) {
    std::pair<std::uint32_t, const char*> first{0, ""};
    for (const auto& stage : {std::pair{standby, "standby"}, std::pair{suspend, "suspend"}, std::pair{off, "off"}}) {
        if (stage.first != 0 && (first.first == 0 || stage.first < first.first)) {
            first = stage;
        }
    }
    return first;
}

void addScreensaver(const std::string& resources, std::vector<SessionTimer>* timers) {
    const std::string home = environment("HOME");
    const XscreensaverSettings settings =
        readXscreensaverSettings(home.empty() ? "" : fileText(home + "/.xscreensaver"), resources);
    const std::string watcher = "xscreensaver";
    timers->push_back(timerOf(watcher, "blanks the screen", settings.timeout, settings.timeoutFrom));
    if (settings.lock && settings.timeout != 0) {
        timers->push_back(timerOf(watcher, "locks the session", settings.timeout + settings.lockTimeout,
                                  settings.lockFrom + ", timeout plus lockTimeout"));
    }
    if (settings.dpmsEnabled) {
        const auto stage = firstStage(settings.dpmsStandby, settings.dpmsSuspend, settings.dpmsOff);
        if (stage.first != 0) {
            timers->push_back(timerOf(watcher, "turns the display off", stage.first,
                                      settings.dpmsFrom + ", DPMS " + stage.second));
        }
    }
}

void addXautolock(std::uint32_t pid, const std::string& resources, std::vector<SessionTimer>* timers) {
    // The property outlives an xautolock that was stopped: only a running
    // xautolock of that number counts.
    const std::vector<std::string> arguments = commandLine(pid);
    if (arguments.empty()) {
        return;
    }
    const std::string name = arguments[0].substr(arguments[0].rfind('/') + 1);
    if (name != "xautolock") {
        return;
    }
    const XautolockTime time = readXautolockTime(arguments, resources);
    SessionTimer timer = timerOf("xautolock", "locks the session", time.minutes * 60, time.from);
    timers->push_back(timer);
}

}  // namespace

void readX11Timers(std::vector<SessionTimer>* timers) {
    const X11Binding* x11 = module();
    // A display that has not answered the nudges' connection within its
    // second is not waited on for another.
    if (x11 == nullptr || x11->displayUnanswered() != 0) {
        lastReadAnswered = false;
        return;
    }
    if (unanswered != nullptr) {
        std::lock_guard<std::mutex> lock(unanswered->mutex);
        if (!unanswered->done) {
            return;
        }
    }
    nameAuthorityFile();
    auto reading = std::make_shared<Reading>();
    const bool answered = runBounded(
        reading,
        [reading, x11] {
            reading->reached = x11->timersRead(&reading->facts, reading->resources.data(), reading->resources.size());
        },
        nullptr);
    lastReadAnswered = answered && reading->reached != 0;
    if (!answered) {
        unanswered = reading;
        return;
    }
    unanswered.reset();
    if (reading->reached == 0) {
        return;
    }
    const X11WatcherFacts& facts = reading->facts;
    const std::string resources(reading->resources.c_str());
    if (facts.screensaverVersion[0] != '\0') {
        addScreensaver(resources, timers);
    }
    if (facts.xautolockPid != 0) {
        addXautolock(facts.xautolockPid, resources, timers);
    }
    // xscreensaver sets the server's DPMS from its own settings: said once,
    // as its own.
    if (facts.dpms == 1 && facts.screensaverVersion[0] == '\0') {
        const auto stage = firstStage(facts.dpmsStandby, facts.dpmsSuspend, facts.dpmsOff);
        if (stage.first != 0) {
            timers->push_back(timerOf("the X server's DPMS", "turns the display off", stage.first,
                                      std::string("X server, DPMS extension, ") + stage.second));
        }
    }
    lastScreensaverWindow = facts.screensaverWindow;
    if (watching) {
        x11->timersWatchFollow(lastScreensaverWindow);
    }
}

std::vector<std::string> x11SettingsFiles() {
    const std::string home = environment("HOME");
    // Only while its daemon runs here: watching the home folder wakes on
    // every file written there.
    if (!isXSession() || home.empty() || lastScreensaverWindow == 0) {
        return {};
    }
    return {(home == "/" ? "" : home) + "/.xscreensaver"};
}

int watchX11Timers() {
    const X11Binding* x11 = module();
    // A display that did not answer the read is not waited on again.
    if (x11 == nullptr || !lastReadAnswered) {
        return -1;
    }
    struct Opening : Call {
        int fd = -1;
    };
    auto opening = std::make_shared<Opening>();
    const std::uint32_t window = lastScreensaverWindow;
    if (!runBounded(
            opening, [opening, x11, window] { opening->fd = x11->timersWatchOpen(window); },
            [x11] { x11->timersWatchClose(); })) {
        return -1;
    }
    watching = opening->fd >= 0;
    return opening->fd;
}

bool serveX11Timers() {
    const X11Binding* x11 = module();
    if (x11 == nullptr || !watching) {
        return false;
    }
    const int came = x11->timersWatchReadable();
    if (came < 0) {
        // The display went away; its connection is closed and not watched.
        watching = false;
        timerWaitFds[2] = -1;
        return false;
    }
    return came == 1;
}
