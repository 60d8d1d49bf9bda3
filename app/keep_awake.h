// Start-up, the worker's lifecycle, the menu, and the values they share.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Process-wide; read and written on the main thread only.
struct KeepAwakeState {
    std::uint32_t workerThreadId;
    ThreadHandle workerThread;
    std::int32_t saverEnabled;  // 0: worker running, saver held off; 1: worker paused
    std::uint32_t nudgeIntervalMs;
};
extern KeepAwakeState keepAwakeState;

// The longest period a Windows timer accepts; longer intervals are cut to it.
constexpr std::uint32_t longestNudgeIntervalMs = 2147483647u;

std::uint32_t queryScreenSaverTimeout();
std::uint32_t computeNudgeInterval(std::uint32_t timeoutSeconds);

bool pauseWorker(ThreadHandle worker);
bool resumeWorker(ThreadHandle worker);

// Registered at start; stops the worker in order at normal exit.
void shutdownHook();

// The whole program as main runs it: 0 after the user quits, -1 when the
// worker cannot be started.
int runKeepAwake();

// Draws the menu and acts on commands until the user quits; returns 0.
int runMenuLoop();
