// A recording stand-in for the platform: every call is logged in order, and
// the answers the program gets are set by the test.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

inline ThreadHandle const workerHandle = reinterpret_cast<ThreadHandle>(0x5a5a);
constexpr std::uint32_t workerId = 4242;
constexpr std::uintptr_t timerId = 77;
constexpr unsigned timerMessage = 0x0113;
constexpr unsigned quitMessage = 0x0012;
// (replanMessage comes from platform.h)

extern std::vector<std::string> calls;  // e.g. "beginThread 762", "suspendThread"
extern std::uint32_t screenSaverTimeout;
extern std::vector<SessionTimer> watcherTimers;  // readSessionTimers' after the screen saver
extern bool timersWatchHeld;  // holdSessionTimersWatch's last word
extern bool threadStartFails;
extern bool timerFails;
extern ExitHook exitHook;
extern ThreadEntry startedEntry;
extern void* startedArgument;
extern int suspendCount;     // how deep the worker is held right now
extern int deepestSuspend;   // the most it was ever held
extern std::deque<unsigned> messages;  // what getMessage hands out; quit when empty
extern std::deque<std::function<void()>> beforeMessages;  // one runs before each message handed out
extern std::vector<MouseInput> sentInputs;
extern bool takesNudges;      // keepAwakePeriod: the interval when true, 0 when false...
extern std::deque<std::uint32_t> periods;  // ...unless these are left: one per call
extern std::optional<KeepAwakeWay> way;    // describeKeepAwake's answer; zero moves when unset
// The input clock readInputTimes tells (nothing while inputClock is empty).
// A counted nudge moves lastInput to the clock at once, or, when it counts
// late, at the next read after that.
extern std::optional<std::uint32_t> inputClock;
extern std::uint32_t lastInput;
extern bool nudgesCount;
extern bool nudgesCountLate;

// Console bytes come from std::cin, one per wait. The wake arrives instead of
// the read with this number (0 = the first; -1: never), and is the answer
// whenever no byte is wanted.
extern int wakeBeforeRead;
extern Wake wake;
extern std::optional<std::chrono::steady_clock::time_point> lastDeadline;  // of the last wait
extern std::string watchProblem;      // watchProcess's answer
extern std::string idleProblem;       // watchSessionIdle's answer
extern std::string commandProblem;    // commandUsageProblem's answer
extern int commandStartStatus;        // startCommand's answer
extern int commandStatus;             // commandExitStatus's answer

// The limits as armed (the last arming of each), and the machine as told.
extern std::optional<std::chrono::system_clock::time_point> wallDeadline;
extern std::optional<std::chrono::milliseconds> elapsedDeadline;
extern MachineState machine;
// Handed out one per wait, before any input is read or the wake above is
// given: each runs (changing the machine, say, or typing a byte where one is
// wanted) and says what woke the wait.
extern std::deque<std::function<Wake(char* byte)>> wakesFirst;
// The control endpoint. A wait returns Wake::controlRequest, with these
// lines queued, when readsDone equals the key (before that wait's read); the
// answers are kept in order. A stop or other wake after it comes as usual.
extern std::map<int, std::vector<std::string>> controlAt;
extern std::vector<std::string> controlReplies;
extern std::string endpointProblem;              // openControlEndpoint's answer
// The client's side: the copies found, and how each answers a request.
extern std::vector<std::uint32_t> endpoints;
extern std::string findProblem;                   // findControlEndpoints's problem
extern std::function<ControlAnswer(std::uint32_t pid, const std::string& request)> answerFor;
// diagnoseSession's answer, and the deadline it was given.
extern std::vector<Finding> systemFindings;
extern std::optional<std::chrono::steady_clock::time_point> diagnoseDeadline;

// The programs the run waits for: whether one runs as the fake tells it,
// the match the program gave, and the boundaries of the hours as armed.
extern bool programRunning;
extern ProgramMatch programMatch;
extern std::vector<std::chrono::system_clock::time_point> windowBoundaries;
// The hotkey: registerHotkey's answer, and what each takeHotkeyPresses
// gives, in order (no presses once empty). Registering and releasing are
// logged with the hotkey's name.
extern std::string hotkeyProblem;
extern std::deque<std::pair<int, std::string>> hotkeyPresses;

void reset();

}  // namespace fake
