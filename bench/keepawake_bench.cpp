// Measures keepawake beside a bare nudger (bench/bare_nudger.cpp: sleep to a
// deadline, one XTEST write, nothing else) over the same seconds, each on a
// private Xvfb of its own, and against the shell loop a user would otherwise
// run ("while :; do xset s reset; sleep N; done"), at a 61 s and a 60 s
// server timeout; prints one table plus an idle-time plot. Nudges are counted
// at the X server: each time its idle counter falls back.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/command_line_bench.h"
#include "bench/conditions_bench.h"
#include "bench/control_bench.h"
#include "bench/hotkey_bench.h"
#include "bench/x11_watchers_bench.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Options {
    double seconds = 10;     // measured span per run, after the warm-up
    double warmUp = 1;
    double heldSeconds = 3;  // span for wake-ups while held
    std::string outputDir = "bench-results";
    std::string only;  // "conditions": those rows alone
};

struct Result {
    int nudges = 0;
    double seconds = 0;
    double cpuNsPerNudge = 0;
    double wakeUpsPerNudge = 0;
    double heldWakeUpsPerSecond = -1;  // keepawake only
    long peakRssKiB = 0;
    double medianPeriodMs = 0;
    double medianErrorMs = 0;
    double p99ErrorMs = 0;
    std::uint32_t largestIdleMs = 0;
    std::vector<std::pair<double, std::uint32_t>> idleTrace;  // seconds, idle ms
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Nudges seen by sampling the server's idle counter about every millisecond;
// the time of each is the server's own (sample time less the idle time).
struct Sampler {
    const XServer& server;
    Clock::time_point origin;
    std::uint32_t previous = 0;
    std::vector<double> nudgeTimesMs;
    std::uint32_t largestIdleMs = 0;
    std::vector<std::pair<double, std::uint32_t>> trace;

    // Only a measured span counts towards the largest idle time: the server
    // was idle for a while before the program started.
    void step(bool keepTrace, bool measured) {
        const std::uint32_t idle = idleMilliseconds(server);
        const double nowMs = secondsSince(origin) * 1000.0;
        if (idle < previous) {
            nudgeTimesMs.push_back(nowMs - idle);
        }
        if (measured) {
            largestIdleMs = std::max(largestIdleMs, idle);
        }
        if (keepTrace && nowMs < 4000) {
            trace.emplace_back(nowMs / 1000.0, idle);
        }
        previous = idle;
    }

    void run(double seconds, bool keepTrace, bool measured) { runTogether({this}, seconds, keepTrace, measured); }

    // Samples several servers in turn over the same span.
    static void runTogether(const std::vector<Sampler*>& samplers, double seconds, bool keepTrace, bool measured) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            for (Sampler* sampler : samplers) {
                sampler->step(keepTrace, measured);
            }
            std::this_thread::sleep_for(1ms);
        }
    }
};

void periodFigures(const std::vector<double>& times, double intervalMs, Result* result) {
    std::vector<double> gaps;
    std::vector<double> errors;
    for (std::size_t i = 1; i < times.size(); ++i) {
        gaps.push_back(times[i] - times[i - 1]);
        errors.push_back(std::fabs(gaps.back() - intervalMs));
    }
    if (gaps.empty()) {
        return;
    }
    std::sort(gaps.begin(), gaps.end());
    std::sort(errors.begin(), errors.end());
    result->medianPeriodMs = gaps[gaps.size() / 2];
    result->medianErrorMs = std::fabs(result->medianPeriodMs - intervalMs);
    result->p99ErrorMs = errors[std::min(errors.size() - 1, errors.size() * 99 / 100)];
}

// Time on a processor and voluntary context switches, over all threads.
void threadTotals(pid_t pid, long long* cpuNs, long long* voluntarySwitches) {
    *cpuNs = 0;
    *voluntarySwitches = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream schedstat(task.path() / "schedstat");
        long long ns = 0;
        schedstat >> ns;
        *cpuNs += ns;
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                *voluntarySwitches += std::atoll(line.c_str() + 24);
            }
        }
    }
}

// What one timer wake-up costs on this machine with no work at all: a thread
// that only sleeps for the interval, again and again. The floor for any
// program that wakes once per interval.
double bareWakeUpNs(std::uint32_t intervalMs, double seconds) {
    double perWake = 0;
    std::thread sleeper([&] {
        auto cpuNow = [] {
            std::ifstream schedstat("/proc/thread-self/schedstat");
            long long ns = 0;
            schedstat >> ns;
            return ns;
        };
        const int wakes = std::max(2, static_cast<int>(seconds * 1000 / intervalMs));
        const long long before = cpuNow();
        for (int i = 0; i < wakes; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
        }
        perWake = static_cast<double>(cpuNow() - before) / wakes;
    });
    sleeper.join();
    return perWake;
}

long peakRssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

// keepawake and the bare nudger, each on its own server, over the same
// seconds; the bare nudger's figures go to bare.
Result measureKeepAwake(const XServer& server, const XServer& bareServer, std::uint32_t intervalMs,
                        const Options& options, bool trace, Result* bare) {
    Result result;
    ChildProcess program = startChild({KEEPAWAKE_PROGRAM}, {"DISPLAY=" + displayName(server)});
    ChildProcess nudger =
        startChild({BARE_NUDGER, std::to_string(intervalMs)}, {"DISPLAY=" + displayName(bareServer)});
    std::string seen;
    readUntilContains(program.output, "q = Quit the application", 10s, &seen);

    Sampler sampler{server, Clock::now(), idleMilliseconds(server), {}, 0, {}};
    Sampler bareSampler{bareServer, sampler.origin, idleMilliseconds(bareServer), {}, 0, {}};
    Sampler::runTogether({&sampler, &bareSampler}, options.warmUp, trace, false);
    const std::size_t nudgesBefore = sampler.nudgeTimesMs.size();
    const std::size_t bareNudgesBefore = bareSampler.nudgeTimesMs.size();
    long long cpuBefore = 0;
    long long switchesBefore = 0;
    long long bareCpuBefore = 0;
    long long bareSwitchesBefore = 0;
    threadTotals(program.pid, &cpuBefore, &switchesBefore);
    threadTotals(nudger.pid, &bareCpuBefore, &bareSwitchesBefore);
    const auto start = Clock::now();
    Sampler::runTogether({&sampler, &bareSampler}, options.seconds, trace, true);
    long long cpuAfter = 0;
    long long switchesAfter = 0;
    long long bareCpuAfter = 0;
    long long bareSwitchesAfter = 0;
    threadTotals(program.pid, &cpuAfter, &switchesAfter);
    threadTotals(nudger.pid, &bareCpuAfter, &bareSwitchesAfter);
    result.seconds = secondsSince(start);
    bare->seconds = result.seconds;

    auto figures = [intervalMs](const Sampler& counted, std::size_t before, long long cpuNs, long long switches,
                                Result* into) {
        into->nudges = static_cast<int>(counted.nudgeTimesMs.size() - before);
        const double nudges = std::max(1, into->nudges);
        into->cpuNsPerNudge = static_cast<double>(cpuNs) / nudges;
        into->wakeUpsPerNudge = static_cast<double>(switches) / nudges;
        into->largestIdleMs = counted.largestIdleMs;
        periodFigures(std::vector<double>(counted.nudgeTimesMs.begin() + static_cast<long>(before),
                                          counted.nudgeTimesMs.end()),
                      intervalMs, into);
    };
    figures(sampler, nudgesBefore, cpuAfter - cpuBefore, switchesAfter - switchesBefore, &result);
    figures(bareSampler, bareNudgesBefore, bareCpuAfter - bareCpuBefore, bareSwitchesAfter - bareSwitchesBefore,
            bare);
    result.idleTrace = sampler.trace;
    bare->peakRssKiB = peakRssKiB(nudger.pid);
    releaseChild(nudger);

    // Held: the worker must not wake at all.
    typeInto(program, "e\n");
    readUntilContains(program.output, "d = Disable screen saver", 10s, &seen);
    std::this_thread::sleep_for(300ms);
    threadTotals(program.pid, &cpuBefore, &switchesBefore);
    std::this_thread::sleep_for(std::chrono::duration<double>(options.heldSeconds));
    threadTotals(program.pid, &cpuAfter, &switchesAfter);
    result.heldWakeUpsPerSecond = static_cast<double>(switchesAfter - switchesBefore) / options.heldSeconds;

    result.peakRssKiB = peakRssKiB(program.pid);
    typeInto(program, "q\n");
    readUntilEnd(program.output, 10s);
    waitForExit(program, 10s);
    releaseChild(program);
    return result;
}

Result measureShellLoop(const XServer& server, std::uint32_t intervalMs, const Options& options, bool trace) {
    Result result;
    std::ostringstream loop;
    loop << "while :; do xset s reset; sleep " << intervalMs / 1000.0 << "; done";
    ChildProcess shell = startChild({"sh", "-c", loop.str()}, {"DISPLAY=" + displayName(server)});

    // The whole tree's cost comes back with the shell's own accounting when it
    // is reaped, so the loop is measured over its whole run.
    Sampler sampler{server, Clock::now(), idleMilliseconds(server), {}, 0, {}};
    const auto start = Clock::now();
    sampler.run(options.warmUp, trace, false);
    const std::size_t nudgesBefore = sampler.nudgeTimesMs.size();
    sampler.run(options.seconds, trace, true);
    result.seconds = secondsSince(start);

    kill(shell.pid, SIGKILL);
    int status = 0;
    rusage usage{};
    wait4(shell.pid, &status, 0, &usage);
    shell.pid = -1;
    releaseChild(shell);

    result.nudges = static_cast<int>(sampler.nudgeTimesMs.size());
    const double nudges = std::max(1, result.nudges);
    const double cpuNs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e9 +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e3;
    result.cpuNsPerNudge = cpuNs / nudges;
    result.wakeUpsPerNudge = static_cast<double>(usage.ru_nvcsw) / nudges;
    result.peakRssKiB = usage.ru_maxrss;
    result.largestIdleMs = sampler.largestIdleMs;
    result.idleTrace = sampler.trace;
    periodFigures(std::vector<double>(sampler.nudgeTimesMs.begin() + static_cast<long>(nudgesBefore),
                                      sampler.nudgeTimesMs.end()),
                  intervalMs, &result);
    return result;
}

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(decimals);
    text << value;
    return text.str();
}

void writePlot(const Options& options, const Result& keepAwake, const Result& loop, std::uint32_t intervalMs) {
    const std::filesystem::path dir = options.outputDir;
    for (const auto& [name, result] : {std::pair{"keepawake", &keepAwake}, std::pair{"loop", &loop}}) {
        std::ofstream data(dir / (std::string("idle-") + name + ".dat"));
        for (const auto& [t, idle] : result->idleTrace) {
            data << t << ' ' << idle << '\n';
        }
    }
    std::ofstream script(dir / "idle.gnuplot");
    script << "set terminal pngcairo size 900,420\n"
           << "set output '" << (dir / "idle.png").string() << "'\n"
           << "set title 'X server idle time, screen-saver timeout 61 s (nudge every " << intervalMs << " ms)'\n"
           << "set xlabel 'seconds'\nset ylabel 'idle (ms)'\nset key outside below\n"
           << "plot '" << (dir / "idle-keepawake.dat").string() << "' with lines lw 2 title 'keepawake', '"
           << (dir / "idle-loop.dat").string() << "' with lines lw 2 title 'xset s reset; sleep loop'\n";
    script.close();
    const std::string command = "gnuplot '" + (dir / "idle.gnuplot").string() + "'";
    if (std::system(command.c_str()) != 0) {
        std::cerr << "gnuplot failed; the plot's data is in " << dir << "\n";
    }
}

// A Wayland desktop's row: the program in that desktop's headless test bed,
// measured by the bed itself (bench_run in tests/desktops/bed-lib.sh),
// running and then paused.
struct DesktopSpan {
    bool measured = false;
    long long cpuNs = 0;
    long long wakeUps = 0;
    long long busCalls = 0;
    double seconds = 0;
};

struct DesktopRow {
    const char* desktop;
    const char* mechanism;
    DesktopSpan running;
    DesktopSpan paused;
    long peakKiB = 0;
    std::string problem;
};

void measureDesktop(DesktopRow* row, const std::string& command) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        row->problem = "could not be started";
        return;
    }
    char line[1024];
    char label[16] = {};
    DesktopSpan span;
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        if (std::sscanf(line, "%15[a-z]: cpu_ns=%lld wakeups=%lld bus_calls=%lld seconds=%lf", label, &span.cpuNs,
                        &span.wakeUps, &span.busCalls, &span.seconds) == 5) {
            span.measured = true;
            (std::strcmp(label, "paused") == 0 ? row->paused : row->running) = span;
        } else if (std::sscanf(line, "peak: peak_kib=%ld", &row->peakKiB) == 1) {
        } else if (std::strncmp(line, "FAIL", 4) == 0) {
            row->problem = line;
        }
    }
    pclose(pipe);
    if (!row->running.measured && row->problem.empty()) {
        row->problem = "gave no figures";
    }
}

std::string perSecond(const DesktopSpan& span, long long count) {
    return span.measured ? fixed(static_cast<double>(count) / span.seconds, 2) : "-";
}

std::string desktopRows(const Options& options) {
    const std::string beds = KEEPAWAKE_DESKTOP_BEDS;
    const std::string seconds = fixed(options.seconds, 1);
    DesktopRow sway{"sway 1.7 (wlroots)", "zero moves every 30 ms through the virtual pointer", {}, {}, 0, {}};
    DesktopRow gnome{"GNOME (mutter 43, gnome-session)", "session-manager inhibitor alone, no timer", {}, {}, 0, {}};
    DesktopRow kde{"KDE Plasma (KWin 5.27, 1-minute lock)", "freedesktop screen saver, activity call every 10 s", {},
                   {}, 0, {}};
    measureDesktop(&sway, beds + "/sway-check.sh " KEEPAWAKE_PROGRAM " " KEEPAWAKE_MODULE
                                 " " KEEPAWAKE_RESIDENT_POINTER " " + seconds);
    measureDesktop(&gnome, beds + "/gnome-check.sh " KEEPAWAKE_PROGRAM " " KEEPAWAKE_MODULE " " + seconds);
    measureDesktop(&kde, beds + "/kde-check.sh " KEEPAWAKE_PROGRAM " " KEEPAWAKE_MODULE " " + seconds);

    std::ostringstream text;
    text << "\nWayland sessions, each desktop headless in its own test bed, " << seconds
         << " s running, then as long paused; bus calls are those to the desktops' inhibitor services\n\n"
         << "| desktop | how | wake-ups per second | bus calls per second | CPU per second (µs) |"
            " wake-ups per second, paused | bus calls per second, paused | peak resident memory (KiB) |\n"
            "|---|---|---|---|---|---|---|---|\n";
    for (const DesktopRow* row : {&sway, &gnome, &kde}) {
        text << "| " << row->desktop << " | " << row->mechanism << " | ";
        if (!row->running.measured) {
            std::string problem = row->problem;
            problem.erase(problem.find_last_not_of("\n") + 1);
            text << "not measured: " << problem << " | | | | | |\n";
            continue;
        }
        text << perSecond(row->running, row->running.wakeUps) << " | "
             << perSecond(row->running, row->running.busCalls) << " | "
             << fixed(static_cast<double>(row->running.cpuNs) / row->running.seconds / 1000.0, 1) << " | "
             << perSecond(row->paused, row->paused.wakeUps) << " | " << perSecond(row->paused, row->paused.busCalls)
             << " | " << row->peakKiB << " |\n";
    }
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--seconds") {
            options.seconds = std::atof(argv[i + 1]);
            options.heldSeconds = std::min(3.0, std::max(1.0, options.seconds / 3));
        } else if (flag == "--out") {
            options.outputDir = argv[i + 1];
        } else if (flag == "--only" && (std::string(argv[i + 1]) == "conditions" ||
                                        std::string(argv[i + 1]) == "watchers")) {
            options.only = argv[i + 1];
        } else {
            std::cerr << "usage: keepawake_bench [--seconds N] [--out DIR] [--only conditions|watchers]\n";
            return 2;
        }
    }
    std::filesystem::create_directories(options.outputDir);
    if (options.only == "watchers") {
        const std::string watchers = x11WatcherFigures(options.seconds);
        std::cout << watchers;
        std::ofstream(std::filesystem::path(options.outputDir) / "watchers.md") << watchers;
        return 0;
    }
    if (options.only == "conditions") {
        const std::string conditions = conditionsFigures(std::min(options.seconds, 5.0));
        std::cout << conditions;
        std::ofstream(std::filesystem::path(options.outputDir) / "conditions.md") << conditions;
        return 0;
    }

    XServer server = startXServer();
    XServer bareServer = startXServer();
    if (server.pid <= 0 || bareServer.pid <= 0) {
        std::cerr << "Xvfb could not be started\n";
        stopXServer(server);
        stopXServer(bareServer);
        return 1;
    }

    struct Column {
        std::uint16_t timeout;
        std::uint32_t intervalMs;
        Result keepAwake;
        Result bare;
        Result loop;
        double bareWakeNs;
    };
    std::vector<Column> columns = {{61, 762, {}, {}, {}, 0}, {60, 30, {}, {}, {}, 0}};
    for (Column& column : columns) {
        column.bareWakeNs = bareWakeUpNs(column.intervalMs, std::min(options.seconds, 5.0));
        setScreenSaverTimeout(server, column.timeout);
        const bool trace = column.timeout == 61;
        column.keepAwake = measureKeepAwake(server, bareServer, column.intervalMs, options, trace, &column.bare);
        column.loop = measureShellLoop(server, column.intervalMs, options, trace);
    }
    writePlot(options, columns[0].keepAwake, columns[0].loop, columns[0].intervalMs);
    stopXServer(server);
    stopXServer(bareServer);

    std::ostringstream table;
    table << "keepawake beside a bare nudger (sleep to a deadline, one XTEST write) over the same seconds, and "
             "against 'while :; do xset s reset; sleep N; done'; private Xvfbs, "
          << options.seconds << " s measured per run\n\n";
    table << "| figure | 762 ms: keepawake | 762 ms: bare nudger | 762 ms: loop | 30 ms: keepawake | "
             "30 ms: bare nudger | 30 ms: loop |\n|---|---|---|---|---|---|---|\n";
    auto row = [&](const char* name, auto figure) {
        table << "| " << name;
        for (const Column& c : columns) {
            table << " | " << figure(c.keepAwake) << " | " << figure(c.bare) << " | " << figure(c.loop);
        }
        table << " |\n";
    };
    row("nudges delivered (counted at the server)", [](const Result& r) { return std::to_string(r.nudges); });
    row("nudges per second", [](const Result& r) { return fixed(r.nudges / r.seconds, 2); });
    row("CPU per nudge (µs)", [](const Result& r) { return fixed(r.cpuNsPerNudge / 1000.0, 1); });
    row("wake-ups per nudge", [](const Result& r) { return fixed(r.wakeUpsPerNudge, 2); });
    row("wake-ups per second while held", [](const Result& r) {
        return r.heldWakeUpsPerSecond < 0 ? std::string("-") : fixed(r.heldWakeUpsPerSecond, 2);
    });
    row("peak resident memory (KiB)", [](const Result& r) { return std::to_string(r.peakRssKiB); });
    row("median period (ms)", [](const Result& r) { return fixed(r.medianPeriodMs, 1); });
    row("median period error (ms)", [](const Result& r) { return fixed(r.medianErrorMs, 1); });
    row("99th percentile period error (ms)", [](const Result& r) { return fixed(r.p99ErrorMs, 1); });
    row("largest idle time at the server (ms)", [](const Result& r) { return std::to_string(r.largestIdleMs); });
    const std::string tableText = table.str();

    auto ratio = [](const Result& over, const Result& under) { return over.cpuNsPerNudge / under.cpuNsPerNudge; };
    std::ostringstream verdict;
    verdict << "\nCPU per nudge, keepawake / bare nudger = " << fixed(ratio(columns[0].keepAwake, columns[0].bare), 2)
            << " at 762 ms, " << fixed(ratio(columns[1].keepAwake, columns[1].bare), 2) << " at 30 ms\n";
    verdict << "CPU per nudge, keepawake : loop = 1 : " << fixed(ratio(columns[0].loop, columns[0].keepAwake), 0)
            << " at 762 ms, 1 : " << fixed(ratio(columns[1].loop, columns[1].keepAwake), 0)
            << " at 30 ms (mostly how fast this machine starts processes)\n\n";
    verdict << "A bare timer wake-up on this machine, with no work at all, costs "
            << fixed(columns[0].bareWakeNs / 1000.0, 1) << " µs of CPU at 762 ms and "
            << fixed(columns[1].bareWakeNs / 1000.0, 1) << " µs at 30 ms.\n\n";
    auto target = [&](const char* what, bool met) { verdict << (met ? "met    " : "MISSED ") << what << "\n"; };
    bool nearBare = true;
    bool fewWakeUps = true;
    bool quietHeld = true;
    bool small = true;
    bool accurate = true;
    for (const Column& c : columns) {
        nearBare = nearBare && ratio(c.keepAwake, c.bare) <= 1.3;
        fewWakeUps = fewWakeUps && c.keepAwake.wakeUpsPerNudge <= 1.1;
        quietHeld = quietHeld && c.keepAwake.heldWakeUpsPerSecond == 0;
        small = small && c.keepAwake.peakRssKiB <= 4096;
        accurate = accurate && c.keepAwake.medianErrorMs <= c.intervalMs / 100.0;
    }
    target("at most 1.3x the bare nudger's CPU per nudge", nearBare);
    target("at most 1.1 wake-ups per nudge while running", fewWakeUps);
    target("no wake-ups while held", quietHeld);
    target("peak resident memory at most 4 MiB", small);
    target("median period within 1 % of the interval", accurate);
    target("at least 32 nudges a second at 30 ms", columns[1].keepAwake.nudges / columns[1].keepAwake.seconds >= 32);
    verdict << "\nplot: " << (std::filesystem::path(options.outputDir) / "idle.png").string() << "\n";

    const std::string wayland = desktopRows(options);
    std::cout << tableText << verdict.str() << wayland;
    std::ofstream(std::filesystem::path(options.outputDir) / "table.md") << tableText << verdict.str() << wayland;
    const std::string commandLine = commandLineFigures(std::min(options.seconds, 5.0));
    std::cout << commandLine;
    std::ofstream(std::filesystem::path(options.outputDir) / "table.md", std::ios::app) << commandLine;
    const std::string control = controlFigures(std::min(options.seconds, 5.0));
    std::cout << control;
    std::ofstream(std::filesystem::path(options.outputDir) / "table.md", std::ios::app) << control;
    const std::string conditions = conditionsFigures(std::min(options.seconds, 5.0));
    std::cout << conditions;
    std::ofstream(std::filesystem::path(options.outputDir) / "table.md", std::ios::app) << conditions;
    const std::string hotkey = hotkeyFigures(std::min(options.seconds, 5.0));
    std::cout << hotkey;
    std::ofstream(std::filesystem::path(options.outputDir) / "table.md", std::ios::app) << hotkey;
    const std::string watchers = x11WatcherFigures(options.seconds);
    std::cout << watchers;
    std::ofstream(std::filesystem::path(options.outputDir) / "table.md", std::ios::app) << watchers;
    return 0;
}
