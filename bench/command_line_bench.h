// The command line's figures for the benchmark: wake-ups while a limit or a
// command is awaited, and what running a command through keepawake costs.
#pragma once

#include <string>

// Runs on a private Xvfb of its own for about the given seconds per run and
// returns the rows as a printable table.
std::string commandLineFigures(double seconds);
