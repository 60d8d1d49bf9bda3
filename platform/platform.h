// Every operating-system service the program uses, as plain functions.
// One binding per system implements this header; CMake picks it. Tests link a
// recording fake instead. Results are reported only where a caller needs them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/diagnosis.h"

#if defined(_WIN32)
// Thread entries and timer callbacks must use the system's calling
// convention, which differs from the default on 32-bit Windows.
#define PLATFORM_CALLBACK __stdcall
struct HWND__;
using PlatformWindow = HWND__*;
using PlatformTime = unsigned long;
#else
#define PLATFORM_CALLBACK
using PlatformWindow = void*;
using PlatformTime = std::uint32_t;
#endif

using ThreadHandle = void*;
using ThreadEntry = unsigned(PLATFORM_CALLBACK*)(void* argument);
using TimerProc = void(PLATFORM_CALLBACK*)(PlatformWindow window, unsigned message,
                                           std::uintptr_t timerId, PlatformTime time);
using ExitHook = void (*)();

// --- Process ---------------------------------------------------------------

// Runs the hook at normal process exit, after main returns, while standard
// output still works.
void registerExitHook(ExitHook hook);

// Clears the console the program writes its menu to.
void clearConsole();

// --- Display ---------------------------------------------------------------

// The system's screen-saver timeout in seconds; 0 when it cannot be read.
std::uint32_t readScreenSaverTimeout();

// One synthetic mouse event. Members mean what the Windows mouse input record
// says; only relative moves are acted on by every binding.
struct MouseInput {
    std::int32_t dx;
    std::int32_t dy;
    std::uint32_t mouseData;
    std::uint32_t dwFlags;
    std::uint32_t time;
    std::uintptr_t dwExtraInfo;
};
constexpr std::uint32_t mouseEventMove = 0x0001;
constexpr std::uint32_t mouseEventAbsolute = 0x8000;

// Injects the event into the desktop's input stream, where it counts as user
// activity.
void sendMouseInput(const MouseInput& input);

// The worker's timer period for this nudge interval: the interval where
// zero moves are sent; the desktop's own activity period where only its
// activity call needs repeating; 0 where nothing needs a periodic nudge (an
// inhibitor held alone, or no way at all), and the worker then sets no timer
// and costs no wake-ups. It may change while the program runs: a
// Wake::displayChanged says so.
std::uint32_t keepAwakePeriod(std::uint32_t nudgeIntervalMs);

// How the session is kept awake right now, for the status line: "by zero
// moves every 762 ms", "by GNOME's session manager". Where nothing keeps it
// awake, keeps is false and words say why ("no way offered").
struct KeepAwakeWay {
    bool keeps = true;
    std::string words;
};
KeepAwakeWay describeKeepAwake(std::uint32_t nudgeIntervalMs);

// The system's input clock now and the time of the last user input on it, in
// milliseconds (Windows: GetTickCount and GetLastInputInfo). A nudge that the
// system counted as activity moves the last input on to its time. Nothing
// where the system does not tell; the X11 and Wayland bindings check their
// nudges their own way.
struct InputTimes {
    std::uint32_t now;
    std::uint32_t lastInput;
};
std::optional<InputTimes> readInputTimes();

// --only-when-idle: from now on the session tells when it has had no input
// for one whole interval (X11: a SYNC alarm on the server's IDLETIME counter;
// Wayland: ext-idle-notify), and each time it does waitForWake returns
// Wake::sessionIdle; the nudge then follows, and the session's own idle
// time starts again from it. keepAwakePeriod is then 0 where nudges come that
// way, and describeKeepAwake says so. Called again, it re-arms for a new
// interval; resumeDisplayKeepAwake re-arms too, so a session that went idle
// during a pause is told at once. Windows tells nothing: the worker reads
// readInputTimes instead. Empty when it works (or nothing needs it: an
// inhibitor sends no input); else one line saying why not, and nudges keep
// their timer.
std::string watchSessionIdle(std::uint32_t intervalMs);

// Some desktops are kept awake by an inhibitor held for as long as the
// program wants them awake, not by nudges alone; these tell the display when
// the user pauses and resumes, so that it lets go of the inhibitor and takes
// it again. Where nudges are all there is (Windows, X11) they do nothing.
// Neither waits on the desktop; resuming while not paused changes nothing.
void pauseDisplayKeepAwake();
void resumeDisplayKeepAwake();

// At exit, once the worker has ended: lets go of the display and of anything
// held there, within a bounded time.
void closeDisplay();

// --- The session's timers ----------------------------------------------------

// One timer that blanks, locks, turns off the display or sleeps the session
// after so much idleness, and who keeps it.
struct SessionTimer {
    std::string watcher;        // "xscreensaver", "the X server's screen saver", "swayidle"
    std::string does;           // "blanks the screen", "locks the session", "turns the display off", "sleeps"
    std::uint32_t seconds = 0;  // of idleness; 0: off
    std::string source;         // where it was read: "~/.xscreensaver", "its command line"
    std::string unreadable;     // not empty: its watcher runs but the timer cannot be read here, and why
    bool thisSession = true;    // false: its watcher runs in another session of this user
    unsigned heldBy = heldByNudge;  // what holds it off (diagnosis.h)
    std::string advice;         // --diagnose: what to do when this timer is not held off
    bool policy = false;        // an administrator set it: --diagnose says it is worth knowing
    // The system's own screen-saver timeout, the one timer read before the
    // watchers were: --diagnose reports it through its own reader.
    bool systemSaver = false;
};

// Every timer of this session known here, read now: the system's own
// screen-saver timeout first, then each watcher's. Bounded: about a second
// at most where a display does not answer. --diagnose, which must leave
// nothing held, asks with takeDisplay false: the system's own timeout is
// then left out wherever reading it would take the display (its own reader
// reports it).
std::vector<SessionTimer> readSessionTimers(bool takeDisplay = true);

// From now on a change in them (a watcher that starts or stops, a setting
// rewritten) becomes Wake::timersChanged, within about 2 s. Nothing wakes
// while nothing changes, but for one look through the processes every 2 s
// where a watcher can only be found that way.
void watchSessionTimers();

// While the nudges' pace does not matter (the worker held, or no zero moves
// sent: an inhibitor alone), the look through the processes is held and the
// watch wakes nothing while nothing changes. Let go, it looks at once: what
// came meanwhile is a Wake::timersChanged, never a wait here.
void holdSessionTimersWatch(bool held);

// --- Threads ---------------------------------------------------------------

// Starts a thread running at once. Its message queue already exists when this
// returns, so a stop request posted right away is never lost. Null on failure.
ThreadHandle beginThread(ThreadEntry entry, void* argument, std::uint32_t* threadId);

// Holds and releases the whole thread. While held it handles no message.
// Releasing a thread that is not held changes nothing.
void suspendThread(ThreadHandle thread);
void resumeThread(ThreadHandle thread);

// Returns once the thread has ended; at once for a null handle.
void waitForThread(ThreadHandle thread);

// Releases the handle; the thread itself is not affected.
void closeThreadHandle(ThreadHandle thread);

// --- Message queue of the calling thread ------------------------------------

struct ThreadMessage {
    PlatformWindow window;
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    PlatformTime time;
    std::int32_t x;
    std::int32_t y;
};

// Posts the stop request to the thread's queue: its getMessage returns false.
void postQuitMessage(std::uint32_t threadId);

// Asks the thread to plan its timer anew (keepAwakePeriod changed, or the
// nudge interval, when intervalMs is not 0): its getMessage hands out a
// message of this number, with the interval in wParam. Never more than one
// pending on POSIX, carrying the last interval asked for; Windows queues it
// as an application message.
constexpr unsigned replanMessage = 0x8001;  // WM_APP + 1
void postReplanMessage(std::uint32_t threadId, std::uint32_t intervalMs = 0);

// Asks the thread for one nudge now (--only-when-idle: the session said it
// is idle): its getMessage hands out a message of this number. Never more
// than one pending on POSIX.
constexpr unsigned nudgeMessage = 0x8002;  // WM_APP + 2
void postNudgeMessage(std::uint32_t threadId);

// A periodic timer of the calling thread, without a window. Each period one
// timer message is queued (never more than one pending); dispatching it calls
// proc. Returns the timer's identifier, 0 on failure.
std::uintptr_t setTimer(std::uint32_t intervalMs, TimerProc proc);
void killTimer(std::uintptr_t timerId);

// Blocks until the calling thread has a message; false for the stop request.
bool getMessage(ThreadMessage* message);

// Hands the message to its receiver: a timer message runs its callback once.
void dispatchMessage(const ThreadMessage* message);

// --- Arguments, limits, stop requests and commands ----------------------------

// The program's arguments as UTF-8, without its name: POSIX takes argv as it
// is, Windows reads its UTF-16 command line (argc and argv are ignored there).
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Makes the end of process pid a wake-up (Wake::processEnded). Empty when
// that works; otherwise why not: no such process, or it cannot be waited on.
std::string watchProcess(std::uint32_t pid);

// From now on the requests to end become a wake-up (Wake::stopRequested)
// instead of ending the process: Ctrl+C, SIGTERM and SIGHUP on POSIX; Ctrl+C,
// Ctrl+Break and closing the console window on Windows, whose close waits for
// the process's own exit. A second Ctrl+C once one was caught ends the process
// at once.
void catchStopRequests();

// Why the command cannot be run safely as given (Windows: an argument of a
// batch file that cmd.exe would interpret); empty when it can.
std::string commandUsageProblem(const std::vector<std::string>& command);

// Runs the command with the program's standard streams, found by the system's
// search; its end becomes a wake-up (Wake::commandEnded). While it runs,
// Ctrl+C and Ctrl+\ are left to it and the requests to end are passed on to
// it, never returned. 0 when started; otherwise the status to exit with (127
// not found, 126 not runnable) and *problem says why.
int startCommand(const std::vector<std::string>& command, std::string* problem);

// After Wake::commandEnded: the command's exit status, 128 + N for signal N.
int commandExitStatus();

// --- Limits on clocks that keep through sleep, and the machine's state -------

// The run's limits, on clocks that go on while the machine sleeps. Once the
// first comes, waitForWake returns Wake::deadline (at once on waking when it
// passed in sleep). The wall deadline is a time of the system clock and
// follows it when it is set, which waitForWake reports as Wake::clockSet;
// the caller then arms it anew, since a time-zone change moves the local
// time it stands for. The elapsed deadline counts time asleep from now.
void armWallDeadline(std::chrono::system_clock::time_point when);
void armElapsedDeadline(std::chrono::milliseconds fromNow);

// What of the machine the run follows, and what it knows of it. A change
// becomes Wake::machineChanged. Where a state cannot be known (no power
// service, no session manager) one line on standard error says so, and it
// reads as on mains power and unlocked. A machine without a battery is on
// mains power. Nothing waits on a service beyond a bound.
constexpr unsigned watchPower = 1;
constexpr unsigned watchLock = 2;
struct MachineState {
    bool onBattery = false;
    bool locked = false;
};
void watchMachine(unsigned what);
MachineState readMachineState();

// --- Programs the run waits for, and the hours it keeps -----------------------

// How the system compares program names: Linux byte for byte; Windows in any
// case, with or without ".exe".
enum class NameRules { exact, windows };
using ProgramMatch = bool (*)(std::string_view fileName, NameRules rules);

// Looks for running programs of this user (Windows: of this logon session)
// that match: on Windows a program's file name is its executable's name
// without the folder; on Linux each of its process name, its executable's
// base name and its first argument's base name is tried. Looks once now, then
// at most once every 2 s while none runs; once some run, waits for their ends
// without looking (pidfds, process handles). When the last has ended it looks
// again at once and every 250 ms for 2 s, and reads as not running only when
// none came back. A change of whether one runs becomes Wake::programsChanged.
// Where nothing can be looked at, one line on standard error says so and it
// reads as running.
void watchPrograms(ProgramMatch match);
bool programRuns();

// The next boundary of the hours the run keeps, a time of the system clock:
// Wake::windowBoundary once it comes (at once on waking when it passed in
// sleep). Like the wall deadline it follows the clock being set, which POSIX
// reports as Wake::clockSet; the caller then arms it anew. Nothing disarms
// it: where no boundary is left, it is simply not armed again.
void armWindowBoundary(std::chrono::system_clock::time_point when);

// --- Global hotkey -------------------------------------------------------------

// One key combination, pressed anywhere in the session. Keys below 0x80 are
// the lower-case letters and the digits as ASCII; the rest are named here.
constexpr unsigned hotkeyCtrl = 1;
constexpr unsigned hotkeyAlt = 2;
constexpr unsigned hotkeyShift = 4;
constexpr unsigned hotkeySuper = 8;
enum HotkeyKey : std::uint32_t {
    hotkeyF1 = 0x100,  // up to hotkeyF1 + 23 for F24
    hotkeyPause = 0x200,
    hotkeySpace,
    hotkeyHome,
    hotkeyEnd,
    hotkeyInsert,
    hotkeyDelete,
    hotkeyPageUp,
    hotkeyPageDown,
    hotkeyLeft,
    hotkeyUp,
    hotkeyRight,
    hotkeyDown,
    hotkeyPrint,
    hotkeyEscape,
    hotkeyTab,
    hotkeyEnter,
    hotkeyBackspace,
};
struct Hotkey {
    unsigned modifiers = 0;
    std::uint32_t key = 0;
    std::string name;  // as the user reads it: "ctrl+alt+k"
};

// Starts listening for the hotkey; each press becomes Wake::hotkey, and
// holding it down counts once. Never waits on the display beyond a bound.
// Empty when it listens (a taken key may still be told later, by
// takeHotkeyPresses); otherwise one line for the user, saying why not.
std::string registerHotkey(const Hotkey& hotkey);

// After Wake::hotkey: the presses that came since last asked. *problem gets
// one line for the user when the hotkey stopped working (another program
// holds the key, the display went away); it is not watched from then on.
int takeHotkeyPresses(std::string* problem);

// At exit: lets go of the key, without waiting on the display.
void releaseHotkey();

enum class Wake { consoleByte, consoleEnded, deadline, processEnded, commandEnded, stopRequested, clockSet,
                  machineChanged, controlRequest, displayChanged, programsChanged, windowBoundary, hotkey,
                  timersChanged, sessionIdle };

// Blocks until the first of: the next byte of standard input (only when byte
// is not null; it is stored there, and no further byte is taken), the end of
// input or a failed read, the deadline, the end of the watched process or of
// the command, a stop request, an armed limit, the clock being set, a change
// of the watched machine, a complete control request (once the endpoint is
// open), a change in how the session is kept awake (displayChanged: a
// desktop's inhibitor or compositor came or went), a change of the awaited
// programs, a boundary of the hours, a press of the hotkey (once
// registered), a change of the session's timers (once watched), the
// session having been idle one interval (sessionIdle, once
// watchSessionIdle works). No wake-ups of its own beyond these (where a process cannot
// be watched otherwise: one check a second; while no awaited program runs:
// one look every 2 s; while a control client is
// connected: its deadline). The deadline is on the steady clock, for short
// bounds; the run's limits are armed above.
Wake waitForWake(char* byte, std::optional<std::chrono::steady_clock::time_point> deadline);

// --- Control endpoint ------------------------------------------------------------
// Other commands of the same user reach a running copy through it: a Unix
// socket in a private folder on POSIX, a named pipe on Windows. Connections
// are served by waitForWake without ever blocking: each gets 1 s, then it is
// closed.

// Opens this process's endpoint; waitForWake watches it from then on. Lines
// longer than requestLimit bytes are handed over cut at requestLimit + 1.
// Empty when it listens; otherwise why not (the program runs without it).
// It is removed at exit.
std::string openControlEndpoint(std::size_t requestLimit);

struct ControlRequest {
    std::uint64_t connection = 0;
    std::string line;  // up to and including its newline; without one when cut or ended early
};

// After Wake::controlRequest: the next request received, if any.
bool takeControlRequest(ControlRequest* request);

// Sends what of the reply fits at once and closes the connection.
void answerControlRequest(std::uint64_t connection, const std::string& reply);

// The process ids of this user's other copies with an endpoint (on Windows:
// in this logon session). Endpoints left by copies that are gone are removed.
// *problem says why none can be looked for (a folder that is not the user's).
std::vector<std::uint32_t> findControlEndpoints(std::string* problem);

struct ControlAnswer {
    enum Outcome { replied, gone, silent, refused } outcome = gone;
    std::string reply;    // replied: the reply line, newline included
    std::string problem;  // silent, refused: why, for the user
};

// Sends the request to copy pid and reads one reply line of at most
// replyLimit bytes, all within the time limit. Talks only to an endpoint
// that belongs to this user and to that process.
ControlAnswer askControlEndpoint(std::uint32_t pid, const std::string& request, std::size_t replyLimit,
                                 std::chrono::milliseconds limit);

// A stop asked for through the endpoint while a command runs: passed on to
// the command as a request to terminate (POSIX: SIGTERM), which decides.
void passStopToCommand();

// --- Diagnosis ------------------------------------------------------------------

// What this session is and what can blank, lock or sleep it, for
// --diagnose: the system and desktop, how it is kept awake and whether that
// is there, the screen-saver timeout (one Finding::saverTimeout), every other
// timer, one live check, and other holders of the screen. Changes no
// setting and leaves nothing held. Returns by the deadline: what did not
// answer by then is a finding saying so.
std::vector<Finding> diagnoseSession(std::chrono::steady_clock::time_point deadline);
