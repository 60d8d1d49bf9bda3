// What the run waits for before it keeps awake: the hours read from
// --during and --days and where a moment stands in them, the names of
// --while-running and how programs match them, and the whole program
// against the fake with programs starting and ending, boundaries coming and
// the clock being set.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/conditions/program_names.h"
#include "app/conditions/schedule.h"
#include "app/keep_awake.h"
#include "tests/support/clock_text.h"
#include "tests/support/console_capture.h"
#include "tests/support/environment.h"
#include "tests/support/fake_platform.h"
#include "tests/support/program_run.h"
#include "tests/support/screens.h"

namespace {

using screens::withLine;
using namespace conditions;
using namespace std::chrono;
using Words = std::vector<std::string>;

constexpr int h = 3600;
constexpr int sun = 0, mon = 1, tue = 2, fri = 5, sat = 6;
constexpr unsigned weekdays = 0x3E;  // mon-fri

TEST(Hours, WindowsAndDayListsAreReadOrRefused) {
    const struct {
        const char* text;
        int start, end;  // -1: refused
    } windows[] = {
        {"09:00-17:00", 9 * h, 17 * h}, {"9:00-17:30:15", 9 * h, 17 * h + 1815}, {"22:00-02:00", 22 * h, 2 * h},
        {"00:00-23:59:59", 0, 86399},   {"23:00-00:00", 23 * h, 0},             {"9-17", -1, -1},
        {"25:00-26:00", -1, -1},        {"09:00-09:00", -1, -1},                {"09:00", -1, -1},
        {"09:00-", -1, -1},             {"-17:00", -1, -1},                     {"09:00--17:00", -1, -1},
        {"09:00 - 17:00", -1, -1},      {"", -1, -1},                           {"09:60-10:00", -1, -1},
    };
    for (const auto& c : windows) {
        std::string problem;
        const auto window = parseWindow(c.text, &problem);
        if (c.start < 0) {
            EXPECT_FALSE(window) << c.text;
            EXPECT_NE(problem.find(std::string("'") + c.text + "'"), std::string::npos) << problem;
            continue;
        }
        ASSERT_TRUE(window) << c.text << ": " << problem;
        EXPECT_EQ(window->start, c.start) << c.text;
        EXPECT_EQ(window->end, c.end) << c.text;
    }

    const struct {
        const char* text;
        unsigned days;  // 0: refused
    } lists[] = {
        {"mon-fri", weekdays}, {"sat,sun", 0x41}, {"mon,wed,fri", 0x2A}, {"Monday-FRI", weekdays},
        {"fri-mon", 0x63},     {"sun-sat", 0x7F}, {"tue", 0x04},         {"wed-wed", 0x08},
        {"mon-xyz", 0},        {"", 0},           {"mon,,fri", 0},       {"mon,", 0},
        {"mo", 0},             {"mon-", 0},       {"mon-tue-wed", 0},    {"mon fri", 0},
    };
    for (const auto& c : lists) {
        std::string problem;
        const auto days = parseDays(c.text, &problem);
        EXPECT_EQ(days.value_or(0), c.days) << c.text;
        EXPECT_EQ(problem.empty(), c.days != 0) << c.text << ": " << problem;
    }
}

TEST(Hours, WhereAMomentStandsAndWhenThatNextChanges) {
    const Window office{9 * h, 17 * h};
    const Window night{22 * h, 2 * h};
    const struct {
        const char* name;
        Schedule schedule;
        LocalMoment at;
        bool inside;
        int daysAhead, second;  // -1: never changes
    } cases[] = {
        {"before the window", {{office}, everyDay}, {mon, 8 * h + 3599}, false, 0, 9 * h},
        {"its first second", {{office}, everyDay}, {mon, 9 * h}, true, 0, 17 * h},
        {"its end is outside", {{office}, everyDay}, {mon, 17 * h}, false, 1, 9 * h},
        {"Friday evening waits for Monday", {{office}, weekdays}, {fri, 18 * h}, false, 3, 9 * h},
        {"Saturday too", {{office}, weekdays}, {sat, 12 * h}, false, 2, 9 * h},
        {"past midnight belongs to its day", {{night}, 1u << fri}, {sat, 1 * h}, true, 0, 2 * h},
        {"...and not to the day it ends on", {{night}, 1u << fri}, {fri, 1 * h}, false, 0, 22 * h},
        {"...which then waits a week", {{night}, 1u << fri}, {sat, 2 * h}, false, 6, 22 * h},
        {"whole days: Sunday waits for midnight", {{}, weekdays}, {sun, 23 * h}, false, 1, 0},
        {"whole weekdays end on Friday night", {{}, weekdays}, {tue, 10 * h}, true, 4, 0},
        {"every whole day never changes", {{}, everyDay}, {tue, 10 * h}, true, -1, -1},
        {"two windows, the gap between", {{{8 * h, 12 * h}, {13 * h, 17 * h}}, everyDay}, {mon, 12 * h + 1}, false, 0,
         13 * h},
        {"windows that meet make one", {{{8 * h, 12 * h}, {12 * h, 17 * h}}, everyDay}, {mon, 9 * h}, true, 0,
         17 * h},
        {"a night window every day", {{night}, everyDay}, {tue, 23 * h}, true, 1, 2 * h},
        {"only day: next week, same day", {{office}, 1u << mon}, {mon, 18 * h}, false, 7, 9 * h},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(inside(c.schedule, c.at), c.inside) << c.name;
        const auto boundary = nextBoundary(c.schedule, c.at);
        if (c.daysAhead < 0) {
            EXPECT_FALSE(boundary) << c.name;
            continue;
        }
        ASSERT_TRUE(boundary) << c.name;
        EXPECT_EQ(boundary->daysAhead, c.daysAhead) << c.name;
        EXPECT_EQ(boundary->second, c.second) << c.name;
        // Where the boundary leads, the state is the other one.
        const LocalMoment there{(c.at.weekday + boundary->daysAhead) % 7, boundary->second};
        EXPECT_NE(inside(c.schedule, there), c.inside) << c.name;
    }
}

TEST(Hours, BoundariesReadAsPeopleSayThem) {
    EXPECT_EQ(describeBoundary({0, 9 * h}, mon), "09:00");
    EXPECT_EQ(describeBoundary({0, 9 * h + 30}, mon), "09:00:30");
    EXPECT_EQ(describeBoundary({3, 9 * h}, fri), "09:00 on Monday");
    EXPECT_EQ(describeBoundary({1, 0}, sat), "00:00 on Sunday");
    EXPECT_EQ(describeBoundary({7, 9 * h}, mon), "09:00 on Monday next week");
}

TEST(ProgramNames, EachSystemMatchesItsOwnWay) {
    const struct {
        const char* wanted;
        const char* fileName;
        bool exact, windows;
    } cases[] = {
        {"obs", "obs", true, true},          {"obs", "OBS", false, true},
        {"obs", "obs.exe", false, true},     {"obs.exe", "OBS.EXE", false, true},
        {"OBS.exe", "obs", false, true},     {"obs", "obs64.exe", false, false},
        {"obs", "obs.exe.exe", false, false}, {".exe", ".exe", true, true},
        {"zoom", "zoo", false, false},       {"zoom", "zoomm", false, false},
        {"Ärger", "ärger", false, false},    {"obs", "obs ", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(programNameMatches(c.wanted, c.fileName, NameRules::exact), c.exact) << c.wanted << " " << c.fileName;
        EXPECT_EQ(programNameMatches(c.wanted, c.fileName, NameRules::windows), c.windows)
            << c.wanted << " " << c.fileName;
    }
    for (const char* good : {"obs", "zoom.exe", "a b", "x"}) {
        EXPECT_EQ(programNameProblem(good), "") << good;
    }
    for (const std::string& bad : {std::string(), std::string("/usr/bin/obs"), std::string("C:\\obs.exe"),
                                  std::string(256, 'a'), std::string("ob\ns")}) {
        EXPECT_NE(programNameProblem(bad), "") << bad;
    }
    EXPECT_EQ(describeNames({"obs"}), "obs");
    EXPECT_EQ(describeNames({"obs", "zoom"}), "obs or zoom");
    EXPECT_EQ(describeNames({"obs", "zoom", "teams"}), "obs, zoom or teams");
}

// --- The whole program against the fake ----------------------------------

// What happens between two waits.
struct Step {
    enum What { starts, ends, boundary, clockSet, battery, typed } what;
    char key = 0;
};

std::function<Wake(char*)> wakeFor(const Step& step) {
    return [step](char* byte) {
        switch (step.what) {
        case Step::starts: fake::programRunning = true; return Wake::programsChanged;
        case Step::ends: fake::programRunning = false; return Wake::programsChanged;
        case Step::boundary: return Wake::windowBoundary;
        case Step::clockSet: return Wake::clockSet;
        case Step::battery: fake::machine.onBattery = true; return Wake::machineChanged;
        case Step::typed: *byte = step.key; return Wake::consoleByte;
        }
        return Wake::stopRequested;
    };
}

// The local clock as the program reads it, shifted.
std::tm localIn(seconds from) {
    const std::time_t then = system_clock::to_time_t(system_clock::now() + from);
    return *std::localtime(&then);
}

class Conditions : public ProgramRun {
protected:
    int run(const Words& words, const std::vector<Step>& steps) { return runSteps<Step>(words, steps, wakeFor); }
};

const std::string exitLines = screens::quitting + screens::cleanedUp;

TEST_F(Conditions, ProgramsPauseAndResumeTheRunButNeverUndoTheUsersPause) {
    const std::string none = "Paused until obs or zoom runs.";
    const Words options{"--while-running", "obs", "--while-running", "zoom", "--while-running", "obs"};
    const struct {
        const char* name;
        bool runningAtStart;
        std::vector<Step> steps;
        std::string screens;
    } cases[] = {
        {"none at start, then one starts and ends", false, {{Step::starts}, {Step::ends}},
         withLine(screens::allowed, none) + screens::heldOff + withLine(screens::allowed, none)},
        {"one already runs", true, {{Step::ends}}, screens::heldOff + withLine(screens::allowed, none)},
        {"d while none runs stays paused", false, {{Step::typed, 'd'}, {Step::starts}},
         withLine(screens::allowed, none) + withLine(screens::allowed, none) + screens::heldOff},
        {"e, then the program comes and goes: paused throughout", true,
         {{Step::typed, 'e'}, {Step::ends}, {Step::starts}},
         screens::heldOff + screens::allowed + withLine(screens::allowed, none) + screens::allowed},
        {"battery and no program: both reasons", false, {{Step::battery}, {Step::starts}},
         withLine(screens::allowed, none) +
             withLine(screens::allowed, "Paused while on battery and until obs or zoom runs.") +
             withLine(screens::allowed, "Paused while on battery.")},
    };
    for (const auto& c : cases) {
        SetUp();
        fake::programRunning = c.runningAtStart;
        Words words = options;
        words.push_back("--only-on-ac");
        EXPECT_EQ(run(words, c.steps), 0) << c.name;
        EXPECT_EQ(output, c.screens + exitLines) << c.name;
        EXPECT_LE(fake::deepestSuspend, 1) << c.name;
        EXPECT_EQ(fake::suspendCount, 0) << c.name << ": the exit must release the worker";
        EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "watchPrograms"), 1) << c.name;
        EXPECT_EQ(errors, "") << c.name;
    }
    // The match the program gave the platform: the names asked for, each
    // system's way.
    ASSERT_NE(fake::programMatch, nullptr);
    EXPECT_TRUE(fake::programMatch("zoom", NameRules::exact));
    EXPECT_FALSE(fake::programMatch("Zoom", NameRules::exact));
    EXPECT_TRUE(fake::programMatch("Zoom.exe", NameRules::windows));
    EXPECT_FALSE(fake::programMatch("teams", NameRules::windows));
}

TEST_F(Conditions, HoursArmTheirNextBoundaryAndArmItAnewAfterItAndAfterAClockSet) {
    // A window from an hour ahead, for an hour: paused until it opens.
    const std::tm opens = localIn(1h);
    const std::tm closes = localIn(2h);
    const std::string window = clockText(opens, "%H:%M:%S") + "-" + clockText(closes, "%H:%M:%S");
    const bool sameDay = opens.tm_wday == localIn(0s).tm_wday;
    const std::string line =
        "Paused until " + shownAs(opens) + (sameDay ? "" : clockText(opens, " on %A")) + ".";
    EXPECT_EQ(run({"--during", window, "--interval", "1s"}, {{Step::boundary}, {Step::clockSet}}), 0);
    EXPECT_EQ(output, withLine(screens::allowed, line) + exitLines);
    // Armed at the start, after the boundary and after the clock was set:
    // each time on the second the window opens, as the clock stands now.
    ASSERT_EQ(fake::windowBoundaries.size(), 3u);
    const auto opening = system_clock::from_time_t(system_clock::to_time_t(system_clock::now() + 1h));
    for (const auto when : fake::windowBoundaries) {
        EXPECT_LE(abs(duration_cast<seconds>(when - opening).count()), 1);
    }
    EXPECT_EQ(fake::suspendCount, 0);
    EXPECT_EQ(errors, "");

    // Inside a window that began an hour ago: awake, the boundary its end.
    SetUp();
    const std::string around = clockText(localIn(-1h), "%H:%M:%S") + "-" + clockText(closes, "%H:%M:%S");
    EXPECT_EQ(run({"--during", around}, {}), 0);
    EXPECT_EQ(output, screens::heldOff + exitLines);
    ASSERT_EQ(fake::windowBoundaries.size(), 1u);
    EXPECT_LE(abs(duration_cast<seconds>(fake::windowBoundaries[0] - (system_clock::now() + 2h)).count()), 1);
}

// The local clock jumping across a boundary, as the time zone makes it jump
// without touching the machine's clock: the clockSet wake takes the new
// state and arms the boundary anew.
class HoursAcrossAClockChange : public Conditions {
protected:
    void SetUp() override {
        Conditions::SetUp();
        const char* zone = std::getenv("TZ");
        savedZone = zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
        setZone("UTC0");
    }
    void TearDown() override {
        setZone(savedZone ? savedZone->c_str() : nullptr);
        Conditions::TearDown();
    }
    static void setZone(const char* zone) {
        setEnvironment("TZ", zone);
        tzset();
    }
    std::optional<std::string> savedZone;
};

TEST_F(HoursAcrossAClockChange, TheRunFollowsAndTheBoundaryIsArmedAnew) {
    if (localIn(0s).tm_hour < 2 || localIn(0s).tm_hour > 19) {
        GTEST_SKIP() << "not run: the window around now would cross midnight in UTC or UTC+3";
    }
    // Open from an hour ago to an hour ahead in UTC; three hours east, the
    // local clock stands past its end.
    const std::string window = clockText(localIn(-1h), "%H:%M:%S") + "-" + clockText(localIn(1h), "%H:%M:%S");
    auto clockSet = [](const char* zone) {
        return [zone](char*) {
            setZone(zone);
            return Wake::clockSet;
        };
    };
    fake::wakesFirst = {clockSet("EET-3"), clockSet("UTC0")};
    const std::string opens = shownAs(localIn(-1h));
    EXPECT_EQ(run({"--during", window}, {}), 0);
    const std::string later = "Paused until " + opens + " on " + clockText(localIn(24h), "%A") + ".";
    EXPECT_EQ(output, screens::heldOff + withLine(screens::allowed, later) + screens::heldOff + exitLines);
    // Armed for the end, for tomorrow's start in UTC+3, and for the end again.
    ASSERT_EQ(fake::windowBoundaries.size(), 3u);
    const auto now = system_clock::now();
    const auto near = [](system_clock::time_point a, system_clock::time_point b) {
        return abs(duration_cast<seconds>(a - b).count()) <= 1;
    };
    EXPECT_TRUE(near(fake::windowBoundaries[0], now + 1h));
    EXPECT_TRUE(near(fake::windowBoundaries[1], now - 1h - 3h + 24h));
    EXPECT_TRUE(near(fake::windowBoundaries[2], now + 1h));
    EXPECT_EQ(fake::suspendCount, 0);
}

TEST_F(Conditions, DaysWithoutTodayWaitForTheNextMidnightAndSayWhich) {
    const std::tm today = localIn(0s);
    const char* names[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
    std::string others = names[(today.tm_wday + 1) % 7];
    for (int day = 2; day < 7; ++day) {
        others.append(",").append(names[(today.tm_wday + day) % 7]);
    }
    ASSERT_EQ(std::count(others.begin(), others.end(), ','), 5);
    // A status request, once obs runs, says what still holds it.
    fake::controlAt = {{0, {"keepawake-control 1 status\n"}}};
    EXPECT_EQ(run({"--days", others, "--while-running", "obs"}, {{Step::starts}}), 0);
    const std::string tomorrow = clockText(localIn(24h), "%A");
    const std::string line = "Paused until obs runs and until 00:00 on " + tomorrow + ".";
    EXPECT_EQ(output, withLine(screens::allowed, line) + withLine(screens::allowed, "Paused until 00:00 on " +
                                                                                         tomorrow + ".") +
                          exitLines);
    ASSERT_EQ(fake::controlReplies.size(), 1u);
    EXPECT_NE(fake::controlReplies[0].find(" paused since "), std::string::npos) << fake::controlReplies[0];
    EXPECT_NE(fake::controlReplies[0].find(", while obs runs, out of hours until 00:00 on " + tomorrow + "\n"),
              std::string::npos)
        << fake::controlReplies[0];
    ASSERT_FALSE(fake::windowBoundaries.empty());
    const std::time_t armed = system_clock::to_time_t(fake::windowBoundaries.back());
    const std::tm at = *std::localtime(&armed);
    EXPECT_EQ(at.tm_hour * 3600 + at.tm_min * 60 + at.tm_sec, 0) << "the next local midnight";
    EXPECT_EQ(at.tm_wday, (today.tm_wday + 1) % 7);

    // Every day, whole: nothing to wait for, no boundary, nothing said.
    SetUp();
    EXPECT_EQ(run({"--days", "mon-sun"}, {}), 0);
    EXPECT_EQ(output, screens::heldOff + exitLines);
    EXPECT_TRUE(fake::windowBoundaries.empty());
}

TEST_F(Conditions, BadValuesStartNothing) {
    const Words bad[] = {
        {"--during", "9-17"},         {"--during", "25:00-26:00"}, {"--days", "mon-xyz"},
        {"--while-running", ""},      {"--days"},                  {"--while-running", "obs", "zoom"},
        {"--during", "09:00-09:00"},  {"--while-running", "/usr/bin/obs"}, {"--days", ""},
    };
    for (const Words& words : bad) {
        SetUp();
        EXPECT_EQ(run(words, {}), usageErrorStatus) << words[0];
        EXPECT_EQ(output, "") << words[0];
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
        EXPECT_EQ(errors.rfind("keepawake: ", 0), 0u) << errors;
        EXPECT_TRUE(fake::calls.empty()) << words[0] << ": " << fake::calls.front();
    }
}

}  // namespace
