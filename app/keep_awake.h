// Start-up, the worker's lifecycle, the menu, and the values they share.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"

#include "platform/platform.h"

// Process-wide; read and written on the main thread only.
struct KeepAwakeState {
    std::uint32_t workerThreadId;
    ThreadHandle workerThread;
    std::int32_t saverEnabled;  // 0: worker running, saver held off; 1: worker paused
    std::uint32_t nudgeIntervalMs;
};
extern KeepAwakeState keepAwakeState;

// What the command line set for this run; main thread only.
struct RunLimits {
    std::optional<std::chrono::steady_clock::time_point> deadline;  // --for and --until, whichever is first
    std::string quitsBy;  // for the menu: "at 17:30:00", "when process 4242 ends"; empty without a limit
    bool quiet = false;   // a command runs: nothing of our own on standard output
};
extern RunLimits runLimits;

// The longest period a Windows timer accepts; longer intervals are cut to it.
constexpr std::uint32_t longestNudgeIntervalMs = 2147483647u;

std::uint32_t queryScreenSaverTimeout();
std::uint32_t computeNudgeInterval(std::uint32_t timeoutSeconds);

bool pauseWorker(ThreadHandle worker);
bool resumeWorker(ThreadHandle worker);

// Registered at start; stops the worker in order at normal exit.
void shutdownHook();

// The whole program as main runs it, with its arguments: 0 after the user
// quits or a limit ends it, -1 when the worker cannot be started, 0 or 2
// after --help, --version or bad usage, or the status of the command run.
int runKeepAwake(const std::vector<std::string>& arguments = {});

// Turns the limits asked for into runLimits and starts watching a process.
// Empty when all is well; otherwise the usage problem. Touches the system only
// for --while-pid and a command.
std::string prepareLimits(const CommandLine& options, std::chrono::system_clock::time_point now);

// Without the menu: waits for a limit or a stop request, then says so; 0.
int waitForLimit();

// Starts the command: 0, or the status to exit with (said on stderr).
int startCommandNow(const std::vector<std::string>& command);

// Waits for the started command to end; its exit status.
int waitForCommand();

// Draws the menu and acts on commands until the user quits; returns 0.
int runMenuLoop();
