// What the Windows wait and the command runner share.
#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The command being run (null when none), and its exit code once it ended.
extern HANDLE runningCommand;
extern DWORD commandExitCode;

std::string toUtf8(const wchar_t* text);
std::wstring toWide(const std::string& text);

// The run's limits (win32_limits.cpp): waitable timers, null until armed, and
// the steady time that stands in where a timer cannot be made.
extern HANDLE wallDeadlineTimer;
extern HANDLE elapsedDeadlineTimer;
extern std::optional<std::chrono::steady_clock::time_point> fallbackDeadline;
// Once the elapsed timer fired: whether the limit has come; if a clock set
// forward fired it early, it is armed again for the rest.
bool elapsedDeadlineDue();

// The machine's watch (win32_machine.cpp): a message-only window of the main
// thread, null while nothing is watched; its messages are handled when
// pumped. takeMachineChange says once whether a change (or the first state)
// came since it was last asked.
extern HWND machineWindow;
bool takeMachineChange();

// The next boundary of the hours (win32_limits.cpp): a waitable timer with
// an absolute due time, null until armed, and the steady time that stands in
// where it cannot be made.
extern HANDLE windowBoundaryTimer;
extern std::optional<std::chrono::steady_clock::time_point> fallbackBoundary;

// The programs a run waits for (win32_programs.cpp): the timer of the next
// look (null while nothing is watched) and the handles of those that run.
// serveProgramWake takes the one that was signalled and says whether
// whether one runs has changed.
constexpr std::size_t mostHeldPrograms = 16;
extern HANDLE programLookTimer;
extern std::vector<HANDLE> heldPrograms;
bool serveProgramWake(HANDLE signalled);
// The hotkey (win32_hotkey.cpp): registered for the main thread, whose
// WM_HOTKEY messages the wait counts while it pumps.
extern bool hotkeyRegistered;
void noteHotkeyMessage();
bool hotkeyPressWaiting();

// The session's timers (win32_session_timers.cpp): auto-reset events, null
// while not watched, each signalled when a setting a timer is read from may
// have changed. serveTimerWake takes the one that was signalled, asks to be
// told of the next change, and says whether to read the timers again.
constexpr std::size_t timerWaitCount = 4;
extern HANDLE timerWaitEvents[timerWaitCount];
bool serveTimerWake(HANDLE signalled);
