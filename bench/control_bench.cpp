#include "bench/control_bench.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/process_figures.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void ask(const std::string& option) {
    ChildProcess client = startChild({KEEPAWAKE_PROGRAM, option}, {});
    waitForExit(client, 5s);
    releaseChild(client);
}

}  // namespace

std::string controlFigures(double seconds) {
    XServer server = startXServer();
    char folder[] = "/tmp/keepawake-bench-XXXXXX";
    if (server.pid <= 0 || mkdtemp(folder) == nullptr) {
        return "control endpoint: Xvfb or a runtime folder could not be made\n";
    }
    setScreenSaverTimeout(server, 600);
    setenv("XDG_RUNTIME_DIR", folder, 1);
    setenv("DISPLAY", displayName(server).c_str(), 1);

    ChildProcess copy = startChild({KEEPAWAKE_PROGRAM, "-n", "-i", "100ms"}, {});
    const std::string socket = std::string(folder) + "/keepawake-control/" + std::to_string(copy.pid) + ".sock";
    for (int i = 0; i < 400 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    const bool open = std::filesystem::exists(socket);
    std::this_thread::sleep_for(300ms);
    const auto running = measure(server, copy.pid, seconds);
    ask("--pause");
    std::this_thread::sleep_for(300ms);
    const auto paused = measure(server, copy.pid, seconds);
    ask("--resume");

    const int runs = 50;
    const double bare = medianRunMs({"true"}, runs);
    const double status = medianRunMs({KEEPAWAKE_PROGRAM, "--status"}, runs);
    kill(copy.pid, SIGTERM);
    waitForExit(copy, 10s);
    releaseChild(copy);
    stopXServer(server);
    std::filesystem::remove_all(folder);

    std::ostringstream table;
    table.precision(2);
    table << std::fixed << "\ncontrol endpoint " << (open ? "open" : "NOT OPEN") << ", --no-menu, nudge every 100 ms, "
          << seconds << " s measured per run\n\n"
          << "| endpoint open | wake-ups per nudge, running | wake-ups per second, paused |\n|---|---|---|\n"
          << "| --no-menu | " << static_cast<double>(running.wakeUps) / std::max(1, running.nudges) << " ("
          << running.wakeUps << " wake-ups, " << running.nudges << " nudges) | "
          << static_cast<double>(paused.wakeUps) / seconds << " (" << paused.wakeUps << " wake-ups, "
          << paused.nudges << " nudges) |\n"
          << "\nwall time, median of " << runs << " runs against one running copy: true " << bare
          << " ms, keepawake --status " << status << " ms (" << status - bare << " ms more than true)\n";
    return table.str();
}
