// The verdict: the first finding that stops keepawake keeping this screen
// awake, in the order a person would fix them; otherwise that it can, with the
// first thing still worth knowing.
#include "app/diagnose/diagnose.h"

namespace {

const Finding* missingWay(const std::vector<Finding>& findings) {
    for (const Finding& finding : findings) {
        if (finding.kind == Finding::way && !finding.ok) {
            return &finding;
        }
    }
    return nullptr;
}

std::string valueWithUnit(const Finding& finding) {
    return finding.unit.empty() ? finding.value : finding.value + " " + finding.unit;
}

std::string wayName(unsigned mechanism) {
    if (mechanism == (heldByNudge | heldByInhibitor)) {
        return "its nudges or the inhibitor";
    }
    return mechanism == heldByNudge ? "its nudges" : "the inhibitor";
}

bool isTimer(const Finding& finding) {
    return (finding.kind == Finding::timer || finding.kind == Finding::policy ||
            finding.kind == Finding::saverTimeout) &&
           finding.unreadable.empty() && finding.seconds.value_or(0) > 0;
}

// A timer that only nudges hold off must be longer than the gap between two
// nudges, or it fires in between (a policy shorter than the user's timeout).
std::string comesBeforeTheNudge(const std::vector<Finding>& findings, unsigned mechanism) {
    std::uint32_t intervalMs = 0;
    for (const Finding& finding : findings) {
        if (finding.kind == Finding::interval && !finding.value.empty() &&
            finding.value.find_first_not_of("0123456789") == std::string::npos && finding.value.size() < 10) {
            intervalMs = static_cast<std::uint32_t>(std::stoul(finding.value));
        }
    }
    if (intervalMs == 0 || (mechanism & heldByNudge) == 0) {
        return {};
    }
    for (const Finding& finding : findings) {
        const bool nudgesAlone = (finding.heldBy & mechanism) == heldByNudge;
        if (finding.kind != Finding::saverTimeout && isTimer(finding) && nudgesAlone &&
            std::uint64_t{*finding.seconds} * 1000 <= intervalMs) {
            const std::uint64_t half = std::uint64_t{*finding.seconds} * 500;
            return finding.what + " (" + valueWithUnit(finding) + ", " + finding.source +
                   ") comes before the next nudge (every " + std::to_string(intervalMs) +
                   " ms): start keepawake with --interval " +
                   (half % 1000 == 0 ? std::to_string(half / 1000) + "s" : std::to_string(half) + "ms");
        }
    }
    return {};
}

Verdict cannot(const std::string& reason) {
    return {false, "keepawake cannot keep this screen awake: " + reason};
}

std::string notice(const std::vector<Finding>& findings) {
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
            return "whether " + finding.what + " counted could not be checked here (" + finding.unreadable + ")";
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
    // Every way that is there is used at once, so a timer is held off when
    // any of them holds it.
    unsigned mechanism = 0;
    for (const Finding& finding : findings) {
        if (finding.kind == Finding::way && finding.ok) {
            mechanism |= finding.heldBy;
        }
    }
    if (mechanism == 0) {
        const Finding* missing = missingWay(findings);
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
        if (isTimer(finding) && (finding.heldBy & mechanism) == 0) {
            std::string reason = finding.what + " (" + valueWithUnit(finding) + ", " + finding.source +
                                 ") is not held off by " + wayName(mechanism);
            if (!finding.advice.empty()) {
                reason += ": " + finding.advice;
            }
            return cannot(reason);
        }
    }
    if (const std::string tooSoon = comesBeforeTheNudge(findings, mechanism); !tooSoon.empty()) {
        return cannot(tooSoon);
    }
    const std::string worthKnowing = notice(findings);
    return {true, worthKnowing.empty() ? "keepawake can keep this screen awake"
                                       : "keepawake can keep this screen awake; worth knowing: " + worthKnowing};
}
