#include "tests/support/fake_platform.h"

#include <algorithm>
#include <iostream>

namespace fake {

std::vector<std::string> calls;
std::uint32_t screenSaverTimeout = 0;
std::vector<SessionTimer> watcherTimers;
bool timersWatchHeld = false;
bool threadStartFails = false;
bool timerFails = false;
ExitHook exitHook = nullptr;
ThreadEntry startedEntry = nullptr;
void* startedArgument = nullptr;
int suspendCount = 0;
int deepestSuspend = 0;
std::deque<unsigned> messages;
std::deque<std::function<void()>> beforeMessages;
std::vector<MouseInput> sentInputs;
bool takesNudges = true;
std::deque<std::uint32_t> periods;
std::optional<KeepAwakeWay> way;
std::optional<std::uint32_t> inputClock;
std::uint32_t lastInput = 0;
bool nudgesCount = true;
bool nudgesCountLate = false;
std::optional<std::uint32_t> lateNudge;
TimerProc runningTimer = nullptr;
int wakeBeforeRead = -1;
Wake wake = Wake::stopRequested;
std::optional<std::chrono::steady_clock::time_point> lastDeadline;
std::string watchProblem;
std::string idleProblem;
std::string commandProblem;
int commandStartStatus = 0;
int commandStatus = 0;
int readsDone = 0;
std::optional<std::chrono::system_clock::time_point> wallDeadline;
std::optional<std::chrono::milliseconds> elapsedDeadline;
MachineState machine;
std::deque<std::function<Wake(char* byte)>> wakesFirst;
std::map<int, std::vector<std::string>> controlAt;
std::vector<std::string> controlReplies;
std::string endpointProblem;
std::string findProblem;
std::vector<std::uint32_t> endpoints;
std::function<ControlAnswer(std::uint32_t, const std::string&)> answerFor;
std::vector<Finding> systemFindings;
std::optional<std::chrono::steady_clock::time_point> diagnoseDeadline;
std::deque<std::string> controlQueue;
std::uint64_t controlConnection = 0;
bool programRunning = false;
ProgramMatch programMatch = nullptr;
std::vector<std::chrono::system_clock::time_point> windowBoundaries;
std::string hotkeyProblem;
std::deque<std::pair<int, std::string>> hotkeyPresses;

void reset() {
    calls.clear();
    screenSaverTimeout = 0;
    watcherTimers.clear();
    timersWatchHeld = false;
    threadStartFails = false;
    timerFails = false;
    exitHook = nullptr;
    startedEntry = nullptr;
    startedArgument = nullptr;
    suspendCount = 0;
    deepestSuspend = 0;
    messages.clear();
    beforeMessages.clear();
    sentInputs.clear();
    takesNudges = true;
    periods.clear();
    way.reset();
    inputClock.reset();
    lastInput = 0;
    nudgesCount = true;
    nudgesCountLate = false;
    lateNudge.reset();
    runningTimer = nullptr;
    wakeBeforeRead = -1;
    wake = Wake::stopRequested;
    lastDeadline.reset();
    idleProblem.clear();
    watchProblem.clear();
    commandProblem.clear();
    commandStartStatus = 0;
    commandStatus = 0;
    readsDone = 0;
    wallDeadline.reset();
    elapsedDeadline.reset();
    machine = MachineState{};
    wakesFirst.clear();
    controlAt.clear();
    controlReplies.clear();
    endpointProblem.clear();
    hotkeyProblem.clear();
    hotkeyPresses.clear();
    findProblem.clear();
    endpoints.clear();
    answerFor = nullptr;
    systemFindings.clear();
    diagnoseDeadline.reset();
    controlQueue.clear();
    controlConnection = 0;
    programRunning = false;
    programMatch = nullptr;
    windowBoundaries.clear();
}

namespace {

std::string describe(ThreadHandle thread) {
    if (thread == nullptr) {
        return "null";
    }
    return thread == workerHandle ? "worker" : "unknown";
}

}  // namespace

}  // namespace fake

using namespace fake;

void registerExitHook(ExitHook hook) {
    calls.push_back("registerExitHook");
    exitHook = hook;
}

void clearConsole() {
    calls.push_back("clearConsole");
}

std::uint32_t readScreenSaverTimeout() {
    calls.push_back("readScreenSaverTimeout");
    return screenSaverTimeout;
}

std::vector<SessionTimer> readSessionTimers(bool takeDisplay) {
    if (!takeDisplay) {
        return fake::watcherTimers;  // --diagnose: the system's finding stands for the screen saver
    }
    calls.push_back("readScreenSaverTimeout");
    SessionTimer saver;
    saver.watcher = "the screen saver";
    saver.does = "starts the screen saver";
    saver.seconds = fake::screenSaverTimeout;
    saver.systemSaver = true;
    std::vector<SessionTimer> timers{saver};
    timers.insert(timers.end(), fake::watcherTimers.begin(), fake::watcherTimers.end());
    return timers;
}

void watchSessionTimers() {
    calls.push_back("watchSessionTimers");
}

void holdSessionTimersWatch(bool held) {
    fake::timersWatchHeld = held;
}

void sendMouseInput(const MouseInput& input) {
    calls.push_back("sendMouseInput");
    sentInputs.push_back(input);
    if (inputClock && nudgesCount) {
        if (nudgesCountLate) {
            lateNudge = *inputClock;
        } else {
            lastInput = *inputClock;
        }
    }
}

std::uint32_t keepAwakePeriod(std::uint32_t nudgeIntervalMs) {
    if (!periods.empty()) {
        const std::uint32_t next = periods.front();
        periods.pop_front();
        return next;
    }
    return takesNudges ? nudgeIntervalMs : 0;
}

KeepAwakeWay describeKeepAwake(std::uint32_t nudgeIntervalMs) {
    return way ? *way : KeepAwakeWay{true, "by zero moves every " + std::to_string(nudgeIntervalMs) + " ms"};
}

std::optional<InputTimes> readInputTimes() {
    if (!inputClock) {
        return std::nullopt;
    }
    const InputTimes times{*inputClock, lastInput};
    if (lateNudge) {
        // Seen from the next read on, as a system that takes input a moment
        // after SendInput returned.
        lastInput = *lateNudge;
        lateNudge.reset();
    }
    return times;
}

void pauseDisplayKeepAwake() {
    calls.push_back("pauseDisplayKeepAwake");
}

void resumeDisplayKeepAwake() {
    calls.push_back("resumeDisplayKeepAwake");
}

void closeDisplay() {
    calls.push_back("closeDisplay");
}

ThreadHandle beginThread(ThreadEntry entry, void* argument, std::uint32_t* threadId) {
    calls.push_back("beginThread " + std::to_string(reinterpret_cast<std::uintptr_t>(argument)));
    if (threadStartFails) {
        return nullptr;
    }
    startedEntry = entry;
    startedArgument = argument;
    *threadId = workerId;
    return workerHandle;
}

void suspendThread(ThreadHandle thread) {
    calls.push_back("suspendThread " + describe(thread));
    if (thread == workerHandle) {
        deepestSuspend = std::max(deepestSuspend, ++suspendCount);
    }
}

void resumeThread(ThreadHandle thread) {
    calls.push_back("resumeThread " + describe(thread));
    if (thread == workerHandle && suspendCount > 0) {
        --suspendCount;
    }
}

void waitForThread(ThreadHandle thread) {
    calls.push_back("waitForThread " + describe(thread));
}

void closeThreadHandle(ThreadHandle thread) {
    calls.push_back("closeThreadHandle " + describe(thread));
}

void postQuitMessage(std::uint32_t threadId) {
    calls.push_back("postQuitMessage " + std::to_string(threadId));
}

void postReplanMessage(std::uint32_t threadId, std::uint32_t intervalMs) {
    calls.push_back("postReplanMessage " + std::to_string(threadId) +
                    (intervalMs != 0 ? " " + std::to_string(intervalMs) : std::string()));
}

void postNudgeMessage(std::uint32_t threadId) {
    calls.push_back("postNudgeMessage " + std::to_string(threadId));
}

std::string watchSessionIdle(std::uint32_t intervalMs) {
    calls.push_back("watchSessionIdle " + std::to_string(intervalMs));
    return idleProblem;
}

std::uintptr_t setTimer(std::uint32_t intervalMs, TimerProc proc) {
    calls.push_back("setTimer " + std::to_string(intervalMs));
    runningTimer = timerFails ? nullptr : proc;
    return timerFails ? 0 : timerId;
}

void killTimer(std::uintptr_t id) {
    calls.push_back("killTimer " + std::to_string(id));
    if (id == timerId) {
        runningTimer = nullptr;
    }
}

bool getMessage(ThreadMessage* message) {
    calls.push_back("getMessage");
    unsigned next = quitMessage;
    if (!beforeMessages.empty()) {
        beforeMessages.front()();
        beforeMessages.pop_front();
    }
    if (!messages.empty()) {
        next = messages.front();
        messages.pop_front();
    }
    *message = ThreadMessage{};
    message->message = next;
    return next != quitMessage;
}

void dispatchMessage(const ThreadMessage* message) {
    calls.push_back("dispatchMessage");
    // Like the system: a timer message only does something while its timer runs.
    if (message->message == timerMessage && runningTimer != nullptr) {
        runningTimer(nullptr, timerMessage, timerId, 0);
    }
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

std::string watchProcess(std::uint32_t pid) {
    calls.push_back("watchProcess " + std::to_string(pid));
    return watchProblem;
}

void catchStopRequests() {
    calls.push_back("catchStopRequests");
}

std::string commandUsageProblem(const std::vector<std::string>&) {
    return commandProblem;
}

int startCommand(const std::vector<std::string>& command, std::string* problem) {
    std::string call = "startCommand";
    for (const std::string& word : command) {
        call += " " + word;
    }
    calls.push_back(call);
    *problem = commandStartStatus != 0 ? "cannot run '" + command[0] + "'" : "";
    return commandStartStatus;
}

int commandExitStatus() {
    return commandStatus;
}

void armWallDeadline(std::chrono::system_clock::time_point when) {
    calls.push_back("armWallDeadline");
    wallDeadline = when;
}

void armElapsedDeadline(std::chrono::milliseconds fromNow) {
    calls.push_back("armElapsedDeadline " + std::to_string(fromNow.count()));
    elapsedDeadline = fromNow;
}

void watchMachine(unsigned what) {
    calls.push_back("watchMachine " + std::to_string(what));
}

MachineState readMachineState() {
    return machine;
}

Wake waitForWake(char* byte, std::optional<std::chrono::steady_clock::time_point> deadline) {
    lastDeadline = deadline;
    if (!wakesFirst.empty()) {
        const auto first = std::move(wakesFirst.front());
        wakesFirst.pop_front();
        return first(byte);
    }
    if (const auto due = controlAt.find(readsDone); due != controlAt.end()) {
        controlQueue.assign(due->second.begin(), due->second.end());
        controlAt.erase(due);
        return Wake::controlRequest;
    }
    if (byte == nullptr || readsDone == wakeBeforeRead) {
        return wake;
    }
    ++readsDone;
    const int next = std::cin.get();
    if (next == std::char_traits<char>::eof()) {
        return Wake::consoleEnded;
    }
    *byte = static_cast<char>(next);
    return Wake::consoleByte;
}

std::string openControlEndpoint(std::size_t requestLimit) {
    calls.push_back("openControlEndpoint " + std::to_string(requestLimit));
    return endpointProblem;
}

bool takeControlRequest(ControlRequest* request) {
    if (controlQueue.empty()) {
        return false;
    }
    *request = ControlRequest{++controlConnection, controlQueue.front()};
    controlQueue.pop_front();
    return true;
}

void answerControlRequest(std::uint64_t connection, const std::string& reply) {
    calls.push_back("answerControlRequest " + std::to_string(connection));
    controlReplies.push_back(reply);
}

std::vector<std::uint32_t> findControlEndpoints(std::string* problem) {
    calls.push_back("findControlEndpoints");
    *problem = findProblem;
    return endpoints;
}

std::vector<Finding> diagnoseSession(std::chrono::steady_clock::time_point deadline) {
    calls.push_back("diagnoseSession");
    diagnoseDeadline = deadline;
    return systemFindings;
}

ControlAnswer askControlEndpoint(std::uint32_t pid, const std::string& request, std::size_t,
                                 std::chrono::milliseconds limit) {
    calls.push_back("askControlEndpoint " + std::to_string(pid) + " " + request.substr(0, request.size() - 1) +
                    " within " + std::to_string(limit.count()) + " ms");
    return answerFor ? answerFor(pid, request) : ControlAnswer{};
}

void passStopToCommand() {
    calls.push_back("passStopToCommand");
}

void watchPrograms(ProgramMatch match) {
    calls.push_back("watchPrograms");
    programMatch = match;
}

bool programRuns() {
    return programRunning;
}

void armWindowBoundary(std::chrono::system_clock::time_point when) {
    calls.push_back("armWindowBoundary");
    windowBoundaries.push_back(when);
}

std::string registerHotkey(const Hotkey& hotkey) {
    calls.push_back("registerHotkey " + hotkey.name);
    return hotkeyProblem;
}

int takeHotkeyPresses(std::string* problem) {
    if (hotkeyPresses.empty()) {
        return 0;
    }
    const auto [presses, said] = hotkeyPresses.front();
    hotkeyPresses.pop_front();
    *problem = said;
    return presses;
}

void releaseHotkey() {
    calls.push_back("releaseHotkey");
}
