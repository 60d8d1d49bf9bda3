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

#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Voluntary context switches over all of the process's threads.
long long wakeUps(pid_t pid) {
    long long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                total += std::atoll(line.c_str() + 24);
            }
        }
    }
    return total;
}

// Wake-ups of the process and nudges seen at the server over the span.
std::pair<long long, int> measure(const XServer& server, pid_t pid, double seconds) {
    int nudges = 0;
    const long long before = wakeUps(pid);
    std::uint32_t previous = idleMilliseconds(server);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const std::uint32_t idle = idleMilliseconds(server);
        nudges += idle < previous ? 1 : 0;
        previous = idle;
        std::this_thread::sleep_for(2ms);
    }
    return {wakeUps(pid) - before, nudges};
}

double medianRunMs(const std::vector<std::string>& command, int runs) {
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    // What it prints goes nowhere, as a status bar's module would read it.
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        pid_t pid = -1;
        if (posix_spawnp(&pid, argv[0], &quiet, nullptr, argv.data(), environ) != 0) {
            posix_spawn_file_actions_destroy(&quiet);
            return -1;
        }
        waitpid(pid, nullptr, 0);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    posix_spawn_file_actions_destroy(&quiet);
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

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
          << "| --no-menu | " << static_cast<double>(running.first) / std::max(1, running.second) << " ("
          << running.first << " wake-ups, " << running.second << " nudges) | "
          << static_cast<double>(paused.first) / seconds << " (" << paused.first << " wake-ups, " << paused.second
          << " nudges) |\n"
          << "\nwall time, median of " << runs << " runs against one running copy: true " << bare
          << " ms, keepawake --status " << status << " ms (" << status - bare << " ms more than true)\n";
    return table.str();
}
