// The hotkey's figures for the benchmark: a copy with --hotkey beside one
// without, running and paused.
#pragma once

#include <string>

// Runs on a private Xvfb and runtime folder of its own, for about the given
// seconds per run; returns the rows as a printable table.
std::string hotkeyFigures(double seconds);
