// The figures of the conditions a run waits for: wake-ups while waiting for
// a program and while it runs, the cost of one look through 500 processes,
// and wake-ups between the boundaries of the hours.
#pragma once

#include <string>

// Runs on a private Xvfb of its own for about the given seconds per run and
// returns the rows as a printable table.
std::string conditionsFigures(double seconds);
