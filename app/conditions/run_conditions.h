// What the run waits for before it keeps awake: programs that must run and
// hours it keeps. Main thread only; the pauses go through the one path of
// every pause (pausing.cpp).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace conditions {

// Starts following what the options ask for; nothing without them (and
// what an earlier run asked is forgotten). The first state is for update.
void start(const CommandLine& options);

// Takes the programs and the local clock as they are now, sets the pause
// reasons, and arms the next boundary of the hours.
void update(std::chrono::system_clock::time_point now);

// For the line under the menu's status line: "until obs runs", "until
// 09:00 on Monday", one for each condition that holds the run paused.
std::vector<std::string> pauseParts();

// For --status: ", until obs runs" or ", while obs runs"; ", out of hours
// until 09:00 on Monday" or ", in hours until 17:00". Empty without them.
std::string statusDetails();

}  // namespace conditions
