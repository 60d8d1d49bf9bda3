#include "bench/x11_watchers_bench.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/process_figures.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"

namespace {

using namespace std::chrono_literals;

void stop(ChildProcess& child) {
    kill(child.pid, SIGTERM);
    waitForExit(child, 10s);
    releaseChild(child);
}

}  // namespace

std::string x11WatcherFigures(double seconds) {
    const double span = std::clamp(seconds * 3, 6.0, 30.0);
    if (access("/usr/bin/xscreensaver", X_OK) != 0) {
        return "\nbeside xscreensaver: not measured (xscreensaver is not installed)\n";
    }
    XServer server = startXServer();
    char folder[] = "/tmp/kabench-watchers-XXXXXX";
    if (server.pid <= 0 || mkdtemp(folder) == nullptr) {
        stopXServer(server);
        return "\nbeside xscreensaver: Xvfb or a private home could not be made\n";
    }
    const std::string home = folder;
    std::filesystem::create_directories(home + "/run");
    std::filesystem::permissions(home + "/run", std::filesystem::perms::owner_all);
    // No ~/.xscreensaver: its defaults, 10 minutes.
    const std::vector<std::string> here{"DISPLAY=" + displayName(server), "HOME=" + home,
                                        "XDG_RUNTIME_DIR=" + home + "/run", "XAUTHORITY"};
    ChildProcess watcher = startChild({"xscreensaver", "-no-splash"}, here);
    std::this_thread::sleep_for(2s);
    ChildProcess copy = startChild({KEEPAWAKE_PROGRAM, "-n"}, here);
    std::this_thread::sleep_for(1s);
    ChildProcess asked = startChild({KEEPAWAKE_PROGRAM, "--status"}, here);
    std::string status = readUntilEnd(asked.output, 5s);
    waitForExit(asked, 5s);
    releaseChild(asked);
    status = status.substr(0, status.find('\n'));
    const auto pace = status.find("every ");
    // The copy's answer to --status is over before the span starts.
    std::this_thread::sleep_for(1s);
    const Span measured = measure(server, copy.pid, span);
    stop(copy);
    stop(watcher);
    stopXServer(server);
    std::filesystem::remove_all(home);

    std::ostringstream table;
    table.precision(2);
    table << std::fixed << "\nBeside an X11 idle watcher, -n, " << span << " s measured\n\n"
          << "| run | paced | wake-ups per nudge |\n|---|---|---|\n"
          << "| beside xscreensaver at its default 10 min | "
          << (pace != std::string::npos ? status.substr(pace) : "not said: " + status) << " | "
          << static_cast<double>(measured.wakeUps) / std::max(1, measured.nudges) << " (" << measured.wakeUps
          << " wake-ups, " << measured.nudges << " nudges) |\n";
    return table.str();
}
