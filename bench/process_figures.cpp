#include "bench/process_figures.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

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

Span measure(const XServer& server, pid_t pid, double seconds) {
    Span span;
    const long long before = wakeUps(pid);
    std::uint32_t previous = idleMilliseconds(server);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const std::uint32_t idle = idleMilliseconds(server);
        span.nudges += idle < previous ? 1 : 0;
        previous = idle;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    span.wakeUps = wakeUps(pid) - before;
    return span;
}

double medianRunMs(const std::vector<std::string>& command, int runs) {
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
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
