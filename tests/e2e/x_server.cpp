#include "tests/e2e/x_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/screensaver.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/e2e/child_process.h"

XServer startXServer(int display) {
    int ready[2];
    if (pipe(ready) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        const std::string fd = std::to_string(ready[1]);
        const std::string name = ":" + std::to_string(display);
        int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDERR_FILENO);
        dup2(devNull, STDOUT_FILENO);
        if (display >= 0) {
            execlp("Xvfb", "Xvfb", name.c_str(), "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen",
                   "0", "640x480x24", static_cast<char*>(nullptr));
        } else {
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0",
                   "640x480x24", static_cast<char*>(nullptr));
        }
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
