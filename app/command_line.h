// What the command line asks for, and reading it.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/conditions/schedule.h"
#include "platform/platform.h"

// What a control option asks of the running copies.
enum class ControlAction { status, pause, resume, toggle, stop };

struct CommandLine {
    std::optional<std::chrono::milliseconds> forDuration;
    std::optional<std::chrono::seconds> untilTime;  // after local midnight
    std::optional<std::uint32_t> whilePid;
    bool noMenu = false;
    std::optional<std::uint32_t> intervalMs;
    std::vector<std::string> command;  // after "--"; implies noMenu
    bool onlyOnAc = false;          // pause by itself on battery
    bool pauseWhenLocked = false;   // pause by itself while the session is locked
    bool onlyWhenIdle = false;      // no nudge while someone uses the session
    std::optional<Hotkey> hotkey;   // pressed anywhere, toggles as --toggle does
    std::optional<ControlAction> control;  // given alone: talk to the running copies, run nothing
    bool diagnose = false;  // given alone: report what keeps this screen awake, run nothing
    std::vector<std::string> whileRunning;    // keep awake only while one of these programs runs
    std::vector<conditions::Window> during;   // keep awake only inside these hours...
    std::optional<unsigned> days;             // ...on these days (bit 0: Sunday)
};

constexpr int usageErrorStatus = 2;
constexpr std::uint32_t shortestIntervalMs = 10;
constexpr std::uint32_t longestIntervalMs = 24 * 3600 * 1000;

// Reads the arguments (without the program's name) into *options. Returns the
// status to exit with at once: 0 after --help or --version (printed to out),
// usageErrorStatus after bad usage (reported to err); nothing when the program
// should run. Touches no system service.
std::optional<int> parseCommandLine(const std::vector<std::string>& arguments, CommandLine* options,
                                    std::ostream& out, std::ostream& err);

// One line naming the problem, then where to find help.
void reportUsageError(std::ostream& err, const std::string& problem);
