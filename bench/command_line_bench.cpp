#include "bench/command_line_bench.h"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/process_figures.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/system_bus.h"
#include "tests/e2e/x_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string perNudge(const Span& span) {
    std::ostringstream text;
    text.precision(2);
    text << std::fixed << static_cast<double>(span.wakeUps) / std::max(1, span.nudges) << " (" << span.wakeUps
         << " wake-ups, " << span.nudges << " nudges)";
    return text.str();
}

// Median delay from running the command line until the command it runs has
// started, as the command itself tells the time (date +%s%N).
double medianStartMs(const std::string& commandLine, int runs) {
    std::vector<double> delays;
    for (int i = 0; i < runs; ++i) {
        const auto before = std::chrono::system_clock::now();
        FILE* pipe = popen((commandLine + " date +%s%N").c_str(), "r");
        if (pipe == nullptr) {
            return -1;
        }
        long long startedNs = 0;
        const bool told = std::fscanf(pipe, "%lld", &startedNs) == 1;
        pclose(pipe);
        if (!told) {
            return -1;
        }
        const auto since = std::chrono::nanoseconds(startedNs) - before.time_since_epoch();
        delays.push_back(std::chrono::duration<double, std::milli>(since).count());
    }
    std::sort(delays.begin(), delays.end());
    return delays[delays.size() / 2];
}

// A Wayland session in which nothing can be kept awake: no compositor, no
// session bus. The program can only wait there, and must not wake to do so.
std::string nothingToNudgeRow(double seconds) {
    char runtime[] = "/tmp/keepawake-bench-runtime.XXXXXX";
    if (mkdtemp(runtime) == nullptr) {
        return "\nWayland session with nothing to keep it awake: not measured (no runtime folder)\n";
    }
    ChildProcess child = startChild({KEEPAWAKE_PROGRAM, "-n", "--for", "1h"},
                                    {"WAYLAND_DISPLAY=wayland-none", "XDG_SESSION_TYPE=wayland",
                                     std::string("XDG_RUNTIME_DIR=") + runtime,
                                     "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus", "DISPLAY"});
    std::this_thread::sleep_for(1500ms);  // past the start-up's bounded wait for the desktop
    const long long before = wakeUps(child.pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long long woken = wakeUps(child.pid) - before;
    kill(child.pid, SIGTERM);
    waitForExit(child, 10s);
    releaseChild(child);
    rmdir(runtime);
    std::ostringstream row;
    row.precision(2);
    row << std::fixed << "\nWayland session with nothing to keep it awake, --no-menu --for 1h: "
        << static_cast<double>(woken) / seconds << " wake-ups per second (" << woken << " in " << seconds
        << " s)\n";
    return row.str();
}

}  // namespace

std::string commandLineFigures(double seconds) {
    XServer server = startXServer();
    if (server.pid <= 0) {
        return "command line: Xvfb could not be started\n";
    }
    setScreenSaverTimeout(server, 600);
    const std::vector<std::string> display{"DISPLAY=" + displayName(server)};
    std::ostringstream table;
    table << "\ncommand line, nudge every 100 ms, " << seconds << " s measured per run\n\n"
          << "| run | wake-ups per nudge, running | wake-ups per second, paused |\n|---|---|---|\n";

    ChildProcess noMenu = startChild({KEEPAWAKE_PROGRAM, "-n", "--for", "1h", "-i", "100ms"}, display);
    std::this_thread::sleep_for(500ms);
    table << "| --no-menu --for 1h | " << perNudge(measure(server, noMenu.pid, seconds)) << " | - |\n";
    kill(noMenu.pid, SIGTERM);
    waitForExit(noMenu, 10s);
    releaseChild(noMenu);

    ChildProcess menu = startChild({KEEPAWAKE_PROGRAM, "--for", "1h", "-i", "100ms"}, display);
    std::string seen;
    readUntilContains(menu.output, "q = Quit the application", 10s, &seen);
    const Span running = measure(server, menu.pid, seconds);
    typeInto(menu, "e\n");
    readUntilContains(menu.output, "d = Disable screen saver", 10s, &seen);
    std::this_thread::sleep_for(300ms);
    const Span paused = measure(server, menu.pid, seconds);
    table << "| menu with --for 1h | " << perNudge(running) << " | "
          << static_cast<double>(paused.wakeUps) / seconds << " (" << paused.nudges << " nudges) |\n";
    typeInto(menu, "q\n");
    waitForExit(menu, 10s);
    releaseChild(menu);

    // Following the machine, with UPower and logind on a private system bus
    // and nothing changing, while both limits wait on their clocks.
    SystemBus bus = startSystemBus();
    if (!bus.address.empty() && startMock(bus, "org.freedesktop.UPower", "/org/freedesktop/UPower") &&
        startMock(bus, "org.freedesktop.login1", "/org/freedesktop/login1") && addSession(bus, "c7")) {
        const std::time_t later = std::time(nullptr) + 3600;
        char until[16];
        std::strftime(until, sizeof until, "%H:%M:%S", std::localtime(&later));
        ChildProcess aware = startChild({KEEPAWAKE_PROGRAM, "--only-on-ac", "--pause-when-locked", "--until", until,
                                         "--for", "1h", "-i", "100ms"},
                                        {"DISPLAY=" + displayName(server), "DBUS_SYSTEM_BUS_ADDRESS=" + bus.address,
                                         "XDG_SESSION_ID=c7"});
        readUntilContains(aware.output, "q = Quit the application", 10s, &seen);
        std::this_thread::sleep_for(500ms);
        const Span awareRunning = measure(server, aware.pid, seconds);
        typeInto(aware, "e\n");
        readUntilContains(aware.output, "d = Disable screen saver", 10s, &seen);
        std::this_thread::sleep_for(300ms);
        const Span awarePaused = measure(server, aware.pid, seconds);
        table << "| menu with --only-on-ac --pause-when-locked --until --for 1h | " << perNudge(awareRunning) << " | "
              << static_cast<double>(awarePaused.wakeUps) / seconds << " (" << awarePaused.nudges << " nudges) |\n";
        typeInto(aware, "q\n");
        waitForExit(aware, 10s);
        releaseChild(aware);
    } else {
        table << "| menu with --only-on-ac --pause-when-locked | not measured: no private system bus with UPower "
                 "and logind | - |\n";
    }
    stopSystemBus(bus);

    const std::string sleepFor = std::to_string(static_cast<int>(seconds) + 5);
    ChildProcess command = startChild({KEEPAWAKE_PROGRAM, "-i", "100ms", "--", "sleep", sleepFor}, display);
    std::this_thread::sleep_for(500ms);
    table << "| -- sleep " << sleepFor << " | " << perNudge(measure(server, command.pid, seconds)) << " | - |\n";
    kill(command.pid, SIGTERM);
    waitForExit(command, 10s);
    releaseChild(command);

    table << nothingToNudgeRow(seconds);

    const int runs = 50;
    const double bare = medianRunMs({"true"}, runs);
    const double env = medianRunMs({"env", "true"}, runs);
    const std::string through = std::string(KEEPAWAKE_PROGRAM) + " --";
    table.precision(2);
    table << std::fixed << "\nwall time, median of " << runs << " runs: true " << bare << " ms, env true " << env
          << " ms\n";
    for (const bool withDisplay : {true, false}) {
        if (withDisplay) {
            setenv("DISPLAY", displayName(server).c_str(), 1);
        } else {
            unsetenv("DISPLAY");
        }
        const double run = medianRunMs({KEEPAWAKE_PROGRAM, "--", "true"}, runs);
        const double started = medianStartMs(through, runs);
        const double envStarted = medianStartMs("env", runs);
        table << (withDisplay ? "with a display" : "without a display") << ": keepawake -- true " << run << " ms ("
              << run - bare << " ms more than true); the command starts " << started
              << " ms after keepawake is run (env: " << envStarted << " ms)\n";
    }
    stopXServer(server);
    return table.str();
}
