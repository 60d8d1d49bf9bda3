// The control endpoint's figures for the benchmark: what an open endpoint
// costs a running and a paused copy, and what a --status costs its caller.
#pragma once

#include <string>

// Runs on a private Xvfb and runtime folder of its own, for about the given
// seconds per run; returns the rows as a printable table.
std::string controlFigures(double seconds);
