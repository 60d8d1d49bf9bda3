// keepawake --diagnose: one report of what keeps this screen awake and what
// will still blank, lock or sleep it, ending in a verdict.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>
#include <vector>

#include "platform/platform.h"

struct Verdict {
    bool canKeepAwake = false;
    std::string line;  // the report's last line
};

// The verdict the findings give: the first thing that stops keepawake, or
// that it can, with the first thing worth knowing.
Verdict judgeFindings(const std::vector<Finding>& findings);

// One finding as one line: what, value and unit, where it came from, and
// whether the way in use holds it off (mechanism: that way's heldBy bits).
std::string formatFinding(const Finding& finding, unsigned mechanism);

// The whole report, parts in order with their headings, verdict last.
std::string formatReport(const std::vector<Finding>& findings, const Verdict& verdict);

// The findings keepawake adds of its own to the system's: the session's
// timers (the system's own screen-saver timeout is the system's finding
// already), the interval they give, and this user's running copies.
void addTimerFindings(std::vector<Finding>* findings, std::vector<SessionTimer> timers);
void addRunningCopies(std::vector<Finding>* findings, std::chrono::milliseconds limit);

// Reads, reports to out, and returns the exit status (0: it can, 1: not).
int runDiagnose(std::ostream& out);
