// Start-up, the worker's lifecycle, the menu, and the values they share.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
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
    // --until: the local date and time it stands for, turned into a time of
    // the system clock anew whenever that clock is set.
    std::optional<std::tm> untilLocal;
    std::string quitsBy;  // for the menu: "at 17:30:00", "when process 4242 ends"; empty without a limit
    bool quiet = false;   // a command runs: nothing of our own on standard output
    unsigned watched = 0; // watchPower, watchLock: the machine states that pause the run
    bool onlyWhenIdle = false;  // --only-when-idle
    std::string idleLine; // the menu's line saying so; empty without it
};
extern RunLimits runLimits;

// Why the worker is held: the user's own pause ("e"), the machine's, and
// the conditions the run waits for. Held while any is; an automatic resume
// never undoes the user's pause.
struct PauseReasons {
    bool user = false;
    bool onBattery = false;
    bool locked = false;
    bool noProgram = false;   // none of the --while-running programs runs
    bool outOfHours = false;  // outside the --during hours or --days
};
extern PauseReasons pauseReasons;

// "e" and "d": the user's pause and resume.
void pauseByUser();
void resumeByUser();

// Takes the machine's state as it is now, pausing or resuming to match.
// True when that changed whether the worker is held or why.
bool followMachine();

// The same for the programs and the hours the run waits for.
bool followConditions();

// The line under the menu's status line that says why the worker is held
// when the machine or a condition is the reason; empty otherwise.
std::string pauseLine();

// What a wake-up other than input or a command's end asks for, wherever the
// main thread waits: the limits' clocks and the machine are handled here.
enum class WakeOutcome { keepWaiting, stateChanged, quit };
WakeOutcome handleWake(Wake wake);

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

// --only-when-idle: has the session tell idleness after an interval of
// keepAwakeState's, or says once why it cannot; first before the worker
// starts, then again whenever that interval changes.
void followOnlyWhenIdle();

// Arms the limits' clocks; once the run is sure to start.
void armLimits(const CommandLine& options);

// Without the menu: waits for a limit or a stop request, then says so; 0.
int waitForLimit();

// Starts the command: 0, or the status to exit with (said on stderr).
int startCommandNow(const std::vector<std::string>& command);

// Waits for the started command to end; its exit status.
int waitForCommand();

// Draws the menu and acts on commands until the user quits; returns 0.
int runMenuLoop();
