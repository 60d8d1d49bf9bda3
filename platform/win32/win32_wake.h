// What the Windows wait and the command runner share.
#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>

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

// The hotkey (win32_hotkey.cpp): registered for the main thread, whose
// WM_HOTKEY messages the wait counts while it pumps.
extern bool hotkeyRegistered;
void noteHotkeyMessage();
bool hotkeyPressWaiting();
