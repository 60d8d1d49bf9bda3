// A recording stand-in for the platform: every call is logged in order, and
// the answers the program gets are set by the test.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

inline ThreadHandle const workerHandle = reinterpret_cast<ThreadHandle>(0x5a5a);
constexpr std::uint32_t workerId = 4242;
constexpr std::uintptr_t timerId = 77;
constexpr unsigned timerMessage = 0x0113;
constexpr unsigned quitMessage = 0x0012;

extern std::vector<std::string> calls;  // e.g. "beginThread 762", "suspendThread"
extern std::uint32_t screenSaverTimeout;
extern bool threadStartFails;
extern bool timerFails;
extern ExitHook exitHook;
extern ThreadEntry startedEntry;
extern void* startedArgument;
extern int suspendCount;     // how deep the worker is held right now
extern int deepestSuspend;   // the most it was ever held
extern std::deque<unsigned> messages;  // what getMessage hands out; quit when empty
extern std::vector<MouseInput> sentInputs;

void reset();

}  // namespace fake
