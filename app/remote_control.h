// The running copy's side of the control endpoint, and the client's side:
// what --status, --pause, --resume, --toggle and --stop do.
#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>

#include "app/command_line.h"

#include "platform/platform.h"

// Notes when the state changed, for the status line's "since".
void noteStateChanged();

// Opens the endpoint for this run; a problem is one warning on standard
// error, and the run goes on without it.
void startControl(const CommandLine& options);

// waitForWake, with control requests answered on the way. A remote stop
// returns as Wake::stopRequested; a remote pause or resume returns as
// Wake::controlRequest when a menu waits (byte not null), so it redraws.
Wake waitServingControl(char* byte, std::optional<std::chrono::steady_clock::time_point> deadline);

// The control option's whole run; its exit status.
int runControlClient(ControlAction action, std::ostream& out, std::ostream& err);

// The exit statuses of the control options beyond 0 and usage errors.
constexpr int controlNotAllDone = 1;
constexpr int controlNoCopy = 3;
