#include "tests/e2e/x_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/screensaver.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/child_process.h"

XServer startXServer(int display, const std::vector<std::string>& extraArguments) {
    int ready[2];
    if (pipe(ready) != 0) {
        return {};
    }
    // Built before the fork: the child only execs.
    const std::string fd = std::to_string(ready[1]);
    std::vector<std::string> arguments{"Xvfb"};
    if (display >= 0) {
        arguments.push_back(":" + std::to_string(display));
    }
    for (const char* argument : {"-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0",
                                 "640x480x24"}) {
        arguments.emplace_back(argument);
    }
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDERR_FILENO);
        dup2(devNull, STDOUT_FILENO);
        execvp("Xvfb", argv.data());
        _exit(127);
    }
    close(ready[1]);
    // Xvfb writes its display number once it accepts clients.
    const std::string number = readUntilEnd(ready[0], std::chrono::seconds(20));
    close(ready[0]);

    XServer server;
    server.pid = pid;
    if (number.empty() || number[0] < '0' || number[0] > '9') {
        stopXServer(server);
        return {};
    }
    server.display = std::atoi(number.c_str());
    server.connection = xcb_connect(displayName(server).c_str(), nullptr);
    if (xcb_connection_has_error(server.connection) != 0) {
        stopXServer(server);
        return {};
    }
    server.root = xcb_setup_roots_iterator(xcb_get_setup(server.connection)).data->root;
    return server;
}

void stopXServer(XServer& server) {
    if (server.connection != nullptr) {
        xcb_disconnect(server.connection);
        server.connection = nullptr;
    }
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        waitpid(server.pid, nullptr, 0);
        server.pid = -1;
    }
}

std::string displayName(const XServer& server) {
    return ":" + std::to_string(server.display);
}

std::uint32_t idleMilliseconds(const XServer& server) {
    auto* info = xcb_screensaver_query_info_reply(
        server.connection, xcb_screensaver_query_info(server.connection, server.root), nullptr);
    if (info == nullptr) {
        return 0;
    }
    const std::uint32_t idle = info->ms_since_user_input;
    std::free(info);
    return idle;
}

void pointerPosition(const XServer& server, int* x, int* y) {
    auto* reply =
        xcb_query_pointer_reply(server.connection, xcb_query_pointer(server.connection, server.root), nullptr);
    *x = reply != nullptr ? reply->root_x : -1;
    *y = reply != nullptr ? reply->root_y : -1;
    std::free(reply);
}

void movePointer(const XServer& server, int x, int y) {
    xcb_warp_pointer(server.connection, XCB_NONE, server.root, 0, 0, 0, 0, static_cast<std::int16_t>(x),
                     static_cast<std::int16_t>(y));
    // A round trip, so the move is done when this returns.
    std::free(xcb_get_input_focus_reply(server.connection, xcb_get_input_focus(server.connection), nullptr));
}

void userMove(const XServer& server) {
    static std::int16_t dx = 1;
    dx = static_cast<std::int16_t>(-dx);
    xcb_test_fake_input(server.connection, XCB_MOTION_NOTIFY, 1, XCB_CURRENT_TIME, XCB_NONE, dx, 0, 0);
    std::free(xcb_get_input_focus_reply(server.connection, xcb_get_input_focus(server.connection), nullptr));
}

namespace {

xcb_get_screen_saver_reply_t* screenSaver(const XServer& server) {
    return xcb_get_screen_saver_reply(server.connection, xcb_get_screen_saver(server.connection), nullptr);
}

}  // namespace

std::uint16_t screenSaverTimeout(const XServer& server) {
    auto* reply = screenSaver(server);
    const std::uint16_t timeout = reply != nullptr ? reply->timeout : 0;
    std::free(reply);
    return timeout;
}

void setScreenSaverTimeout(const XServer& server, std::uint16_t seconds) {
    auto* reply = screenSaver(server);
    if (reply == nullptr) {
        return;
    }
    xcb_set_screen_saver(server.connection, static_cast<std::int16_t>(seconds),
                         static_cast<std::int16_t>(reply->interval), reply->prefer_blanking, reply->allow_exposures);
    std::free(reply);
    std::free(xcb_get_input_focus_reply(server.connection, xcb_get_input_focus(server.connection), nullptr));
}

IdleWatch watchIdle(const XServer& server, std::chrono::milliseconds span) {
    IdleWatch watch;
    const auto end = std::chrono::steady_clock::now() + span;
    std::uint32_t previous = idleMilliseconds(server);
    while (std::chrono::steady_clock::now() < end) {
        const std::uint32_t idle = idleMilliseconds(server);
        watch.largestIdleMs = std::max(watch.largestIdleMs, idle);
        if (idle < previous) {
            ++watch.nudges;
        }
        previous = idle;
        ++watch.samples;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return watch;
}

namespace {

std::string lockFile(int display) {
    return "/tmp/.X" + std::to_string(display) + "-lock";
}

std::string socketFile(int display) {
    return "/tmp/.X11-unix/X" + std::to_string(display);
}

int listenOn(int display, bool tcp) {
    const int listener = socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return -1;
    }
    int bound = -1;
    if (tcp) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(6000 + display));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = socketFile(display);
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bound = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (bound != 0 || listen(listener, 16) != 0) {
        close(listener);
        return -1;
    }
    return listener;
}

}  // namespace

SilentDisplay startSilentDisplay(bool tcp) {
    mkdir("/tmp/.X11-unix", 01777);
    for (int display = 200; display < 300; ++display) {
        // The lock file keeps X servers started meanwhile off this number.
        const int lock = open(lockFile(display).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
        if (lock < 0) {
            continue;
        }
        close(lock);
        struct stat existing{};
        const int listener = stat(socketFile(display).c_str(), &existing) == 0 ? -1 : listenOn(display, tcp);
        if (listener < 0) {
            unlink(lockFile(display).c_str());
            continue;
        }
        SilentDisplay silent;
        silent.display = display;
        silent.listener = listener;
        silent.name = (tcp ? "127.0.0.1:" : ":") + std::to_string(display);
        return silent;
    }
    return {};
}

void stopSilentDisplay(SilentDisplay& silent) {
    if (silent.display < 0) {
        return;
    }
    close(silent.listener);
    if (silent.name[0] == ':') {
        unlink(socketFile(silent.display).c_str());
    }
    unlink(lockFile(silent.display).c_str());
    silent = SilentDisplay{};
}

void holdDisplay(int display) {
    // The killed server's stale lock file is replaced; X servers read the pid.
    unlink(lockFile(display).c_str());
    const int lock = open(lockFile(display).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
    if (lock < 0) {
        return;
    }
    char pid[16];
    const int length = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
    const ssize_t written = write(lock, pid, static_cast<std::size_t>(length));
    static_cast<void>(written);
    close(lock);
}

void releaseDisplay(int display) {
    unlink(lockFile(display).c_str());
}

std::optional<std::chrono::milliseconds> lastNudge(const XServer& server, std::chrono::steady_clock::time_point from,
                                                   std::chrono::milliseconds limit) {
    using namespace std::chrono;
    while (steady_clock::now() - from < limit) {
        if (idleMilliseconds(server) >= 400) {
            return duration_cast<milliseconds>(steady_clock::now() - from) - milliseconds(400);
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return std::nullopt;
}

std::chrono::milliseconds untilANudge(const XServer& server, std::chrono::steady_clock::time_point from,
                                      std::chrono::milliseconds limit) {
    using namespace std::chrono;
    std::uint32_t previous = idleMilliseconds(server);
    while (steady_clock::now() - from < limit) {
        const std::uint32_t idle = idleMilliseconds(server);
        if (idle < previous) {
            return duration_cast<milliseconds>(steady_clock::now() - from);
        }
        previous = idle;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return milliseconds(-1);
}
