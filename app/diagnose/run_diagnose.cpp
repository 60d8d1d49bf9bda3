// Gathers the system's findings and keepawake's own, then prints the report.
// Every reader is bounded: the whole report takes at most about 3 s even
// where a bus or the display never answers.
#include <algorithm>
#include <future>
#include <ostream>

#include "app/control_protocol.h"
#include "app/diagnose/diagnose.h"
#include "app/keep_awake.h"
#include "app/timers/session_timers.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The system's readers get this long; asking the running copies the rest.
constexpr auto readersLimit = 2200ms;
constexpr auto copiesLimit = 600ms;
constexpr auto oneCopyLimit = 300ms;

}  // namespace

void addTimerFindings(std::vector<Finding>* findings, std::vector<SessionTimer> timers) {
    // The system's own timeout, as its reader found it, paces as any other.
    for (const Finding& finding : *findings) {
        if (finding.kind == Finding::saverTimeout && finding.unreadable.empty() &&
            std::none_of(timers.begin(), timers.end(), [](const SessionTimer& t) { return t.systemSaver; })) {
            SessionTimer saver;
            saver.watcher = "the screen saver";
            saver.seconds = finding.seconds.value_or(0);
            saver.heldBy = finding.heldBy != 0 ? finding.heldBy : heldByNudge;
            saver.systemSaver = true;
            timers.insert(timers.begin(), saver);
            break;
        }
    }
    for (const SessionTimer& timer : timers) {
        if (timer.systemSaver) {
            continue;
        }
        const std::string what = timer.watcher + (timer.does.empty() ? "" : " (" + timer.does + ")");
        Finding finding = timer.unreadable.empty()
                              ? timerFinding(Finding::timer, what, timer.seconds, timer.source, timer.heldBy)
                              : unreadableFinding(Finding::timers, Finding::timer, what, timer.unreadable);
        finding.heldBy = timer.heldBy;
        finding.advice = timer.advice;
        if (timer.policy) {
            finding.kind = Finding::policy;
        }
        if (!timer.thisSession) {
            // Listed, but it neither paces the nudges nor decides the verdict.
            finding.kind = Finding::fact;
            finding.what = "in another session: " + what;
        }
        findings->push_back(finding);
    }
    const SessionTimer* pacing = timers::pacingTimer(timers);
    Finding interval;
    interval.part = Finding::timeout;
    interval.kind = Finding::interval;
    interval.what = "nudge interval";
    interval.value = std::to_string(timers::intervalFor(timers));
    interval.unit = "ms";
    if (pacing == nullptr) {
        interval.source = "no timeout known: the shortest interval";
    } else if (pacing->seconds <= 60) {
        interval.source = "the shortest interval: " + timers::describeTimer(*pacing) +
                          ", the shortest timer nudges hold off, is 60 s or less";
    } else {
        interval.source = "one eightieth of " + timers::describeTimer(*pacing) + ", the shortest timer nudges hold off";
    }
    findings->push_back(interval);
}

void addRunningCopies(std::vector<Finding>* findings, std::chrono::milliseconds limit) {
    const Clock::time_point end = Clock::now() + limit;
    Finding copies;
    copies.part = Finding::others;
    copies.what = "running copies of keepawake";
    copies.source = "their control endpoints";
    std::string problem;
    const std::vector<std::uint32_t> pids = findControlEndpoints(&problem);
    if (!problem.empty()) {
        copies.unreadable = problem;
        findings->push_back(copies);
        return;
    }
    int answered = 0;
    for (const std::uint32_t pid : pids) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        Finding copy;
        copy.part = Finding::others;
        copy.what = "keepawake " + std::to_string(pid);
        copy.source = "its control endpoint";
        if (left <= 0ms) {
            copy.unreadable = "no time left to ask it";
            findings->push_back(copy);
            continue;
        }
        const ControlAnswer answer = askControlEndpoint(pid, control::formatRequest(control::Verb::status),
                                                        control::replyLimit, std::min(left, oneCopyLimit));
        if (answer.outcome == ControlAnswer::gone) {
            continue;
        }
        ++answered;
        if (answer.outcome != ControlAnswer::replied) {
            copy.unreadable = answer.outcome == ControlAnswer::silent ? "it did not answer: " + answer.problem
                                                                      : "it cannot be reached: " + answer.problem;
            findings->push_back(copy);
            continue;
        }
        const control::Reply reply = control::parseReply(answer.reply);
        copy.value = reply.ok ? reply.text : "refused: " + reply.text;
        copy.kind = reply.ok && reply.awake ? Finding::holder : Finding::fact;
        findings->push_back(copy);
    }
    if (answered == 0) {
        copies.value = "none";
        findings->push_back(copies);
    }
}

// Where an inhibitor alone keeps the session awake, no input is sent that
// --only-when-idle could hold back; the nudging ways say what tells them.
void addOnlyWhenIdleFinding(std::vector<Finding>* findings) {
    bool nudges = false;
    bool inhibitor = false;
    for (const Finding& finding : *findings) {
        if (finding.kind == Finding::way && finding.ok) {
            nudges = nudges || (finding.heldBy & heldByNudge) != 0;
            inhibitor = inhibitor || (finding.heldBy & heldByInhibitor) != 0;
        }
    }
    if (inhibitor && !nudges) {
        findings->push_back(readFinding(Finding::session, Finding::fact, "--only-when-idle",
                                        "changes nothing here: the inhibitor sends no input", "",
                                        "the way in use"));
    }
}

int runDiagnose(std::ostream& out) {
    // The session's timers are read beside the other readers, within their
    // time: the X server's watchers answer on a connection of their own.
    auto timers = std::async(std::launch::async, readSessionTimers, false);
    std::vector<Finding> findings = diagnoseSession(Clock::now() + readersLimit);
    addOnlyWhenIdleFinding(&findings);
    addTimerFindings(&findings, timers.get());
    addRunningCopies(&findings, copiesLimit);
    const Verdict verdict = judgeFindings(findings);
    out << formatReport(findings, verdict) << std::flush;
    return verdict.canKeepAwake ? 0 : 1;
}
