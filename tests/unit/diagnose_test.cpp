// The --diagnose report: the verdict from tables of findings, the lines as a
// person reads them, and a whole run against the fake platform.
#include <gtest/gtest.h>

#include <sstream>

#include "app/control_protocol.h"
#include "app/diagnose/diagnose.h"
#include "tests/support/fake_platform.h"

namespace {

using namespace std::chrono_literals;

Finding way(const char* name, unsigned by, bool there, const char* advice = "") {
    Finding f;
    f.kind = Finding::way;
    f.what = "kept awake by";
    f.value = name;
    f.heldBy = by;
    f.ok = there;
    f.advice = advice;
    return f;
}

Finding timer(const char* what, std::optional<std::uint32_t> seconds, unsigned heldBy,
              Finding::Kind kind = Finding::timer) {
    Finding f;
    f.part = Finding::timers;
    f.kind = kind;
    f.what = what;
    f.seconds = seconds;
    f.value = seconds ? std::to_string(*seconds) : "";
    f.unit = "s";
    f.source = "test";
    f.heldBy = heldBy;
    if (!seconds) {
        f.unreadable = "not told";
    }
    return f;
}

Finding check(bool counted, const char* unreadable = "", const char* advice = "") {
    Finding f;
    f.part = Finding::live;
    f.kind = Finding::check;
    f.what = "a nudge";
    f.value = counted ? "counted" : "did not count";
    f.ok = counted;
    f.unreadable = unreadable;
    f.advice = advice;
    return f;
}

Finding flagged(Finding::Kind kind, const char* what, const char* value) {
    Finding f;
    f.part = Finding::others;
    f.kind = kind;
    f.what = what;
    f.value = value;
    f.ok = true;
    return f;
}

Finding interval(std::uint32_t ms) {
    Finding f;
    f.part = Finding::timeout;
    f.kind = Finding::interval;
    f.what = "nudge interval";
    f.value = std::to_string(ms);
    f.unit = "ms";
    return f;
}

const Finding xtest = way("XTEST", heldByNudge, true);
const Finding inhibitor = way("GNOME's session manager", heldByInhibitor, true);
const std::string can = "keepawake can keep this screen awake";
const std::string cannot = "keepawake cannot keep this screen awake: ";

}  // namespace

TEST(DiagnoseVerdict, FirstBlockerWinsElseTheFirstThingWorthKnowing) {
    const struct {
        const char* name;
        std::vector<Finding> findings;
        bool canKeepAwake;
        std::string line;
    } cases[] = {
        {"nothing found", {}, false, cannot + "no way of keeping this session awake was found"},
        {"the way is missing, with what to do",
         {way("XTEST", heldByNudge, false, "no X display: run it inside the desktop session")},
         false, cannot + "no X display: run it inside the desktop session"},
        {"the way is missing, nothing said", {way("XTEST", heldByNudge, false)}, false,
         cannot + "kept awake by is not there"},
        {"a missing way comes before a failed check",
         {way("XTEST", heldByNudge, false, "gone"), check(false)}, false, cannot + "gone"},
        {"all held off", {xtest, check(true), timer("DPMS off", 600, heldByNudge)}, true, can},
        {"a timer only an inhibitor holds, kept awake by nudges",
         {xtest, check(true), timer("lock", 300, heldByInhibitor)}, false,
         cannot + "lock (300 s, test) is not held off by its nudges"},
        {"a timer only nudges hold, kept awake by an inhibitor",
         {inhibitor, timer("swayidle", 3, heldByNudge)}, false,
         cannot + "swayidle (3 s, test) is not held off by the inhibitor"},
        {"a timer held by both", {inhibitor, timer("logind", 1800, heldByNudge | heldByInhibitor)}, true, can},
        {"a timer that is off blocks nothing", {xtest, check(true), timer("suspend", 0, 0)}, true, can},
        {"a timer that cannot be read is not guessed", {xtest, check(true), timer("suspend", std::nullopt, 0)},
         true, can},
        {"the second way when the first is missing",
         {way("ScreenSaver", heldByInhibitor, false), way("virtual pointer", heldByNudge, true),
          timer("swayidle", 3, heldByNudge)},
         true, can},
        {"both ways at once hold what either holds",
         {inhibitor, way("virtual pointer", heldByNudge, true), timer("swayidle", 3, heldByNudge),
          timer("hypridle", 3, heldByInhibitor)},
         true, can},
        {"a timer neither of two ways holds",
         {inhibitor, way("virtual pointer", heldByNudge, true), timer("policy", 60, 0)}, false,
         cannot + "policy (60 s, test) is not held off by its nudges or the inhibitor"},
        {"a nudge that did not count", {xtest, check(false, "", "the server ignores XTEST: ask its admin")}, false,
         cannot + "the server ignores XTEST: ask its admin"},
        {"a failed check comes before a timer",
         {xtest, timer("lock", 300, heldByInhibitor), check(false)}, false, cannot + "a nudge: did not count"},
        {"a check that could not run", {xtest, check(false, "no MIT-SCREEN-SAVER")}, true,
         can + "; worth knowing: whether a nudge counted could not be checked here (no MIT-SCREEN-SAVER)"},
        {"a policy comes first among the things worth knowing",
         {xtest, flagged(Finding::remote, "remote", "yes"), check(false, "no counter"),
          timer("policy lock", 120, heldByNudge, Finding::policy)},
         true, can + "; worth knowing: policy lock is 120 s (test): nudges hold it off only while keepawake runs"},
        {"a policy that is off is not worth knowing",
         {xtest, timer("policy lock", 0, heldByNudge, Finding::policy), flagged(Finding::remote, "remote", "yes")},
         true,
         can + "; worth knowing: this is a remote session: what keeps it awake is the remote side's and the "
               "client's own settings too"},
        {"a policy shorter than the interval", {xtest, interval(45000), timer("policy", 30, heldByNudge, Finding::policy)},
         false, cannot + "policy (30 s, test) comes before the next nudge (every 45000 ms): start keepawake with "
                         "--interval 15s"},
        {"a timer at exactly the interval, held by nudges alone",
         {xtest, interval(3000), timer("t", 3, heldByNudge)}, false,
         cannot + "t (3 s, test) comes before the next nudge (every 3000 ms): start keepawake with --interval 1500ms"},
        {"a timer just over the interval", {xtest, interval(3000), timer("t", 4, heldByNudge)}, true, can},
        {"a short timer the inhibitor holds too",
         {inhibitor, way("virtual pointer", heldByNudge, true), interval(45000),
          timer("t", 3, heldByNudge | heldByInhibitor)},
         true, can},
        {"a holder that cannot be read is not worth knowing",
         {inhibitor, unreadableFinding(Finding::others, Finding::holder, "logind", "no bus")}, true, can},
        {"another holder", {inhibitor, flagged(Finding::holder, "presenter", "idle, Showing slides")}, true,
         can + "; worth knowing: presenter also holds the screen awake (idle, Showing slides): it stays awake "
               "while that runs, even with keepawake paused"},
    };
    for (const auto& c : cases) {
        const Verdict verdict = judgeFindings(c.findings);
        EXPECT_EQ(verdict.canKeepAwake, c.canKeepAwake) << c.name;
        EXPECT_EQ(verdict.line, c.line) << c.name;
    }
}

TEST(DiagnoseReport, EachLineSaysValueUnitSourceAndWhetherTheWayHoldsItOff) {
    Finding dpms = timer("DPMS off", 600, heldByNudge);
    dpms.source = "X server, DPMS";
    EXPECT_EQ(formatFinding(dpms, heldByNudge), "  DPMS off: 600 s (X server, DPMS); held off by nudges");
    EXPECT_EQ(formatFinding(dpms, heldByInhibitor), "  DPMS off: 600 s (X server, DPMS); NOT held off by the inhibitor");
    EXPECT_EQ(formatFinding(dpms, 0), "  DPMS off: 600 s (X server, DPMS)");
    EXPECT_EQ(formatFinding(dpms, heldByNudge | heldByInhibitor), "  DPMS off: 600 s (X server, DPMS); held off by nudges");
    dpms.heldBy = 0;
    EXPECT_EQ(formatFinding(dpms, heldByNudge | heldByInhibitor),
              "  DPMS off: 600 s (X server, DPMS); NOT held off by nudges or the inhibitor");
    EXPECT_EQ(formatFinding(timer("DPMS off", 0, 0), heldByNudge), "  DPMS off: 0 s (test)");
    EXPECT_EQ(formatFinding(timer("idle-delay", std::nullopt, heldByNudge), heldByNudge),
              "  idle-delay: cannot be read here (not told)");
    EXPECT_EQ(formatFinding(flagged(Finding::fact, "desktop", "GNOME"), heldByNudge), "  desktop: GNOME");

    const std::string report = formatReport({check(true), xtest}, judgeFindings({xtest, check(true)}));
    EXPECT_EQ(report,
              "Session\n  kept awake by: XTEST, there now\n"
              "Timeout and interval\n  no timeout found\n"
              "Other timers that can blank, lock or sleep\n  none found\n"
              "Live check\n  a nudge: counted\n"
              "Others holding the screen awake\n  none found\n" +
                  can + "\n");
}

TEST(DiagnoseRun, AddsTheIntervalAndTheRunningCopiesAndExitsByTheVerdict) {
    fake::reset();
    Finding timeout = timer("screen-saver timeout", 600, heldByNudge, Finding::saverTimeout);
    timeout.part = Finding::timeout;
    fake::systemFindings = {xtest, timeout, check(true)};
    fake::endpoints = {11, 12, 13, 14};
    fake::answerFor = [](std::uint32_t pid, const std::string&) {
        ControlAnswer answer;
        if (pid == 11) {
            answer.outcome = ControlAnswer::replied;
            answer.reply = control::formatReply(true, "since 10:00:00");
        } else if (pid == 12) {
            answer.outcome = ControlAnswer::replied;
            answer.reply = control::formatReply(false, "since 10:05:00");
        } else if (pid == 13) {
            answer.outcome = ControlAnswer::silent;
            answer.problem = "no reply within 0.3 s";
        }
        return answer;  // 14: gone meanwhile
    };
    std::ostringstream out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runDiagnose(out), 0);
    const std::string report = out.str();
    ASSERT_TRUE(fake::diagnoseDeadline);
    EXPECT_LE(*fake::diagnoseDeadline - start, 3s) << "the readers' deadline leaves the report within 3 s";
    EXPECT_NE(report.find("  nudge interval: 7500 ms"), std::string::npos) << report;
    EXPECT_NE(report.find("  keepawake 11: awake since 10:00:00 (its control endpoint)"), std::string::npos) << report;
    EXPECT_NE(report.find("  keepawake 12: paused since 10:05:00"), std::string::npos) << report;
    EXPECT_NE(report.find("  keepawake 13: cannot be read here (it did not answer: no reply within 0.3 s)"),
              std::string::npos)
        << report;
    EXPECT_EQ(report.find("keepawake 14"), std::string::npos) << report;
    EXPECT_EQ(report.find("running copies of keepawake: none"), std::string::npos) << report;
    // The awake copy is the thing worth knowing; the paused one is not.
    EXPECT_NE(report.find("\n" + can + "; worth knowing: keepawake 11 also holds"), std::string::npos) << report;
    for (const std::string& call : fake::calls) {
        if (call.rfind("askControlEndpoint", 0) == 0) {
            EXPECT_NE(call.find(" status within "), std::string::npos) << call;
            EXPECT_LE(std::stoi(call.substr(call.rfind("within ") + 7)), 300) << call;
        }
    }

    // Nothing else holds it, no timeout: the shortest interval; no way: exit 1.
    fake::reset();
    fake::systemFindings = {way("XTEST", heldByNudge, false, "no X display")};
    out.str("");
    EXPECT_EQ(runDiagnose(out), 1);
    EXPECT_NE(out.str().find("  nudge interval: 30 ms (no timeout known"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("  running copies of keepawake: none"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().substr(out.str().rfind('\n', out.str().size() - 2) + 1), cannot + "no X display\n");

    // A watcher's shorter timer sets the interval and is named for it; one
    // of another session is listed apart and decides nothing, even where it
    // would come before the next nudge.
    fake::reset();
    Finding xtest = way("XTEST", heldByNudge, true);
    Finding saver = timer("screen-saver timeout", 0, heldByNudge, Finding::saverTimeout);
    saver.part = Finding::timeout;
    fake::systemFindings = {xtest, saver, check(true)};
    SessionTimer xscreensaver;
    xscreensaver.watcher = "xscreensaver";
    xscreensaver.does = "blanks the screen";
    xscreensaver.seconds = 120;
    xscreensaver.source = "~/.xscreensaver";
    SessionTimer elsewhere;
    elsewhere.watcher = "swayidle";
    elsewhere.seconds = 1;
    elsewhere.source = "its command line";
    elsewhere.thisSession = false;
    fake::watcherTimers = {xscreensaver, elsewhere};
    out.str("");
    EXPECT_EQ(runDiagnose(out), 0) << out.str();
    EXPECT_NE(out.str().find("  nudge interval: 1500 ms (one eightieth of xscreensaver's 2 min"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("  xscreensaver (blanks the screen): 120 s (~/.xscreensaver); held off by nudges"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("  in another session: swayidle: 1 s"), std::string::npos) << out.str();

    fake::reset();
    fake::findProblem = "the folder is not yours";
    out.str("");
    runDiagnose(out);
    EXPECT_NE(out.str().find("running copies of keepawake: cannot be read here (the folder is not yours)"),
              std::string::npos)
        << out.str();
}
