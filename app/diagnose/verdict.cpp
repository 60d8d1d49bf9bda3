// The verdict: the first finding that stops keepawake keeping this screen
// awake, in the order a person would fix them; otherwise that it can, with the
// first thing still worth knowing.
#include "app/diagnose/diagnose.h"

namespace {

const Finding* firstWay(const std::vector<Finding>& findings, bool present) {
    for (const Finding& finding : findings) {
        if (finding.kind == Finding::way && finding.ok == present) {
            return &finding;
        }
    }
    return nullptr;
}

std::string valueWithUnit(const Finding& finding) {
    return finding.unit.empty() ? finding.value : finding.value + " " + finding.unit;
}

std::string wayName(unsigned mechanism) {
    return mechanism == heldByNudge ? "its nudges" : "the inhibitor";
}

bool isTimer(const Finding& finding) {
    return (finding.kind == Finding::timer || finding.kind == Finding::policy ||
            finding.kind == Finding::saverTimeout) &&
           finding.unreadable.empty() && finding.seconds.value_or(0) > 0;
}

Verdict cannot(const std::string& reason) {
    return {false, "keepawake cannot keep this screen awake: " + reason};
}

std::string notice(const std::vector<Finding>& findings, const Finding& way) {
    for (const Finding& finding : findings) {
        if (finding.kind == Finding::policy && isTimer(finding)) {
            return finding.advice.empty()
                       ? finding.what + " is " + valueWithUnit(finding) + " (" + finding.source +
                             "): nudges hold it off only while keepawake runs"
                       : finding.advice;
        }
    }
    for (const Finding& finding : findings) {
        if (finding.kind == Finding::remote && finding.ok && finding.unreadable.empty()) {
            return finding.advice.empty() ? "this is a remote session: what keeps it awake is the remote side's "
                                            "and the client's own settings too"
                                          : finding.advice;
        }
    }
    for (const Finding& finding : findings) {
        if (finding.kind == Finding::check && !finding.unreadable.empty()) {
            return "whether " + way.value + " counts could not be checked here (" + finding.unreadable + ")";
        }
    }
    for (const Finding& finding : findings) {
        if (finding.kind == Finding::holder && finding.unreadable.empty()) {
            return finding.what + " also holds the screen awake (" + finding.value +
                   "): it stays awake while that runs, even with keepawake paused";
        }
    }
    return {};
}

}  // namespace

Verdict judgeFindings(const std::vector<Finding>& findings) {
    const Finding* way = firstWay(findings, true);
    if (way == nullptr) {
        const Finding* missing = firstWay(findings, false);
        if (missing == nullptr) {
            return cannot("no way of keeping this session awake was found");
        }
        return cannot(missing->advice.empty() ? missing->what + " is not there" : missing->advice);
    }
    for (const Finding& finding : findings) {
        if (finding.kind == Finding::check && finding.unreadable.empty() && !finding.ok) {
            return cannot(finding.advice.empty() ? finding.what + ": " + finding.value : finding.advice);
        }
    }
    for (const Finding& finding : findings) {
        if (isTimer(finding) && (finding.heldBy & way->heldBy) == 0) {
            std::string reason = finding.what + " (" + valueWithUnit(finding) + ", " + finding.source +
                                 ") is not held off by " + wayName(way->heldBy);
            if (!finding.advice.empty()) {
                reason += ": " + finding.advice;
            }
            return cannot(reason);
        }
    }
    const std::string worthKnowing = notice(findings, *way);
    return {true, worthKnowing.empty() ? "keepawake can keep this screen awake"
                                       : "keepawake can keep this screen awake; worth knowing: " + worthKnowing};
}
