// The report as a person reads it: parts in a fixed order, one finding a
// line with its value, unit and source, the verdict last.
#include <algorithm>
#include <sstream>

#include "app/diagnose/diagnose.h"

namespace {

constexpr const char* headings[] = {
    "Session",
    "Timeout and interval",
    "Other timers that can blank, lock or sleep",
    "Live check",
    "Others holding the screen awake",
};

std::string heldOff(const Finding& finding, unsigned mechanism) {
    const bool timer = finding.kind == Finding::timer || finding.kind == Finding::policy ||
                       finding.kind == Finding::saverTimeout;
    if (!timer || mechanism == 0 || !finding.unreadable.empty() || finding.seconds.value_or(0) == 0) {
        return {};
    }
    const unsigned holding = finding.heldBy & mechanism;
    if (holding != 0) {
        return holding == heldByNudge       ? "; held off by nudges"
               : holding == heldByInhibitor ? "; held off by the inhibitor"
                                            : "; held off by nudges and the inhibitor";
    }
    return mechanism == heldByNudge       ? "; NOT held off by nudges"
           : mechanism == heldByInhibitor ? "; NOT held off by the inhibitor"
                                          : "; NOT held off by nudges or the inhibitor";
}

// Every way that is there at once.
unsigned mechanismOf(const std::vector<Finding>& findings) {
    unsigned mechanism = 0;
    for (const Finding& finding : findings) {
        if (finding.kind == Finding::way && finding.ok) {
            mechanism |= finding.heldBy;
        }
    }
    return mechanism;
}

// What a part says when nothing was found for it.
constexpr const char* nothingFound[] = {
    "  nothing found", "  no timeout found", "  none found", "  nothing could be checked here", "  none found",
};

}  // namespace

std::string formatFinding(const Finding& finding, unsigned mechanism) {
    std::string line = "  " + finding.what + ": ";
    if (!finding.unreadable.empty()) {
        return line + "cannot be read here (" + finding.unreadable + ")";
    }
    line += finding.value;
    if (finding.kind == Finding::way) {
        line += finding.ok ? ", there now" : ", not there";
    }
    if (!finding.unit.empty()) {
        line += " " + finding.unit;
    }
    if (!finding.source.empty()) {
        line += " (" + finding.source + ")";
    }
    return line + heldOff(finding, mechanism);
}

std::string formatReport(const std::vector<Finding>& findings, const Verdict& verdict) {
    std::vector<Finding> ordered = findings;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const Finding& a, const Finding& b) { return a.part < b.part; });
    const unsigned mechanism = mechanismOf(findings);
    std::ostringstream out;
    for (int part = Finding::session; part <= Finding::others; ++part) {
        out << headings[part] << "\n";
        bool any = false;
        for (const Finding& finding : ordered) {
            if (finding.part == part) {
                out << formatFinding(finding, mechanism) << "\n";
                any = true;
            }
        }
        if (!any) {
            out << nothingFound[part] << "\n";
        }
    }
    out << verdict.line << "\n";
    return out.str();
}
