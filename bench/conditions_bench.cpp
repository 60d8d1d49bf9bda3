#include "bench/conditions_bench.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/process_figures.h"
#include "platform/linux/linux_programs.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

std::string fixed(double value, int digits) {
    std::ostringstream text;
    text.precision(digits);
    text << std::fixed << value;
    return text.str();
}

std::string clockIn(std::chrono::seconds away, const char* format) {
    const std::time_t then = std::time(nullptr) + away.count();
    char text[32];
    std::strftime(text, sizeof text, format, std::localtime(&then));
    return text;
}

// Processor time the process has run, in nanoseconds, from the scheduler.
long long cpuNs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = 0;
    stat >> ns;
    return ns;
}

// Runs keepawake with the words for the span after a settling moment; its
// wake-ups and the nudges the server saw.
Span run(const XServer& server, std::vector<std::string> words, double seconds, long long* cpu = nullptr) {
    words.insert(words.begin(), KEEPAWAKE_PROGRAM);
    ChildProcess child = startChild(words, {"DISPLAY=" + displayName(server)});
    std::this_thread::sleep_for(700ms);
    const long long cpuBefore = cpuNs(child.pid);
    const Span span = measure(server, child.pid, seconds);
    if (cpu != nullptr) {
        *cpu = cpuNs(child.pid) - cpuBefore;
    }
    kill(child.pid, SIGTERM);
    waitForExit(child, 10s);
    releaseChild(child);
    return span;
}

std::string perSecond(const Span& span, double seconds) {
    return fixed(static_cast<double>(span.wakeUps) / seconds, 2) + " (" + std::to_string(span.wakeUps) +
           " wake-ups, " + std::to_string(span.nudges) + " nudges)";
}

std::string perNudge(const Span& span) {
    return fixed(static_cast<double>(span.wakeUps) / std::max(1, span.nudges), 2) + " (" +
           std::to_string(span.wakeUps) + " wake-ups, " + std::to_string(span.nudges) + " nudges)";
}

bool neverMatches(std::string_view, NameRules) {
    return false;
}

}  // namespace

std::string conditionsFigures(double seconds) {
    XServer server = startXServer();
    if (server.pid <= 0) {
        return "conditions: Xvfb could not be started\n";
    }
    std::ostringstream table;
    table << "\n--while-running, --during and --days, -n -i 100ms, " << seconds << " s measured per run\n\n"
          << "| run | wake-ups per second | wake-ups per nudge |\n|---|---|---|\n";

    const Span baseline = run(server, {"-n", "--for", "1h", "-i", "100ms"}, seconds);
    table << "| --for 1h (for comparison) | - | " << perNudge(baseline) << " |\n";

    const std::string absent = "kabench-absent" + std::to_string(getpid());
    table << "| --while-running, none runs | "
          << perSecond(run(server, {"-n", "--while-running", absent, "-i", "100ms"}, seconds), seconds) << " | - |\n";

    // A copy of sleep under a name of its own, running throughout.
    const std::string copy = "/tmp/kabench-sleep" + std::to_string(getpid());
    std::filesystem::copy_file("/bin/sleep", copy, std::filesystem::copy_options::overwrite_existing);
    ChildProcess sleeper = startChild({copy, "600"}, {});
    const std::string name = std::filesystem::path(copy).filename();
    table << "| --while-running, one runs | - | "
          << perNudge(run(server, {"-n", "--while-running", name, "-i", "100ms"}, seconds)) << " |\n";
    kill(sleeper.pid, SIGTERM);
    waitForExit(sleeper, 5s);
    releaseChild(sleeper);
    std::filesystem::remove(copy);

    const std::string later = clockIn(3600s, "%H:%M") + "-" + clockIn(7200s, "%H:%M");
    table << "| --during, between boundaries, outside the hours | "
          << perSecond(run(server, {"-n", "--during", later, "-i", "100ms"}, seconds), seconds) << " | - |\n";
    const std::string around = clockIn(-3600s, "%H:%M") + "-" + clockIn(3600s, "%H:%M");
    table << "| --during, between boundaries, inside the hours | - | "
          << perNudge(run(server, {"-n", "--during", around, "-i", "100ms"}, seconds)) << " |\n";

    // 500 sleeping processes of this user: one look through /proc, timed
    // in-process, and the program's own processor time while it looks.
    std::vector<pid_t> children;
    char sleepWord[] = "sleep";
    char forever[] = "600";
    char* argv[] = {sleepWord, forever, nullptr};
    for (int i = 0; i < 500; ++i) {
        pid_t child = -1;
        if (posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ) == 0) {
            children.push_back(child);
        }
    }
    std::this_thread::sleep_for(500ms);
    std::vector<pid_t> found;
    std::size_t processes = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        processes += std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0])) != 0;
    }
    constexpr int looks = 50;
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    for (int i = 0; i < looks; ++i) {
        scanForPrograms(neverMatches, &found);
    }
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double usPerLook =
        ((after.tv_sec - before.tv_sec) * 1e9 + static_cast<double>(after.tv_nsec - before.tv_nsec)) / looks / 1000;
    long long programCpu = 0;
    const Span waiting = run(server, {"-n", "--while-running", absent, "-i", "100ms"}, seconds, &programCpu);
    for (const pid_t child : children) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    table << "\nOne look through /proc with " << children.size() << " sleeping processes started (" << processes
          << " in all): " << fixed(usPerLook, 1) << " µs of processor time (mean of " << looks
          << " looks, in-process); the program waiting for an absent program meanwhile: "
          << fixed(static_cast<double>(programCpu) / 1e6 / seconds, 2) << " ms of processor time per second, "
          << fixed(static_cast<double>(waiting.wakeUps) / seconds, 2) << " wake-ups per second\n";
    stopXServer(server);
    return table.str();
}
