// Pauses the machine asks for beside the user's own, and limits that keep to
// the clock: the whole program against the fake, with the power source, the
// lock and the clocks changing between the waits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/keep_awake.h"
#include "tests/support/console_capture.h"
#include "tests/support/environment.h"
#include "tests/support/fake_platform.h"
#include "tests/support/program_run.h"
#include "tests/support/screens.h"

namespace {

using screens::withLine;
using namespace std::chrono;
using Words = std::vector<std::string>;

// What happens between two waits.
struct Step {
    enum What { battery, mains, lock, unlock, typed } what;
    char key = 0;
};

std::function<Wake(char*)> wakeFor(const Step& step) {
    return [step](char* byte) {
        switch (step.what) {
        case Step::battery: fake::machine.onBattery = true; break;
        case Step::mains: fake::machine.onBattery = false; break;
        case Step::lock: fake::machine.locked = true; break;
        case Step::unlock: fake::machine.locked = false; break;
        case Step::typed:
            *byte = step.key;
            return Wake::consoleByte;
        }
        return Wake::machineChanged;
    };
}

class Machine : public ProgramRun {
protected:
    int run(const Words& words, const std::vector<Step>& steps) { return runSteps<Step>(words, steps, wakeFor); }
};

const std::string onBattery = "Paused while on battery.";
const std::string whileLocked = "Paused while the session is locked.";
const std::string both = "Paused while on battery and the session is locked.";
const std::string exitLines = screens::quitting + screens::cleanedUp;

TEST_F(Machine, TheMachinesPausesNeverUndoTheUsersOwn) {
    const Words options{"--only-on-ac", "--pause-when-locked"};
    const struct {
        const char* name;
        std::vector<Step> steps;
        std::string screens;
    } cases[] = {
        {"battery, then mains", {{Step::battery}, {Step::mains}},
         screens::heldOff + withLine(screens::allowed, onBattery) + screens::heldOff},
        {"locked, then unlocked", {{Step::lock}, {Step::unlock}},
         screens::heldOff + withLine(screens::allowed, whileLocked) + screens::heldOff},
        {"e on battery stays paused when power returns",
         {{Step::battery}, {Step::typed, 'e'}, {Step::mains}},
         screens::heldOff + withLine(screens::allowed, onBattery) + withLine(screens::allowed, onBattery) +
             screens::allowed},
        {"d on battery does not override it; mains then resumes",
         {{Step::battery}, {Step::typed, 'd'}, {Step::mains}},
         screens::heldOff + withLine(screens::allowed, onBattery) + withLine(screens::allowed, onBattery) +
             screens::heldOff},
        {"battery while the user paused: the reason shows, and goes",
         {{Step::typed, 'e'}, {Step::battery}, {Step::mains}},
         screens::heldOff + screens::allowed + withLine(screens::allowed, onBattery) + screens::allowed},
        {"both at once, then one by one",
         {{Step::battery}, {Step::lock}, {Step::mains}, {Step::unlock}},
         screens::heldOff + withLine(screens::allowed, onBattery) + withLine(screens::allowed, both) +
             withLine(screens::allowed, whileLocked) + screens::heldOff},
        {"a change that changes nothing draws nothing", {{Step::unlock}, {Step::mains}}, screens::heldOff},
    };
    for (const auto& c : cases) {
        SetUp();
        EXPECT_EQ(run(options, c.steps), 0) << c.name;
        EXPECT_EQ(output, c.screens + exitLines) << c.name;
        EXPECT_LE(fake::deepestSuspend, 1) << c.name << ": held more than one level deep";
        EXPECT_EQ(fake::suspendCount, 0) << c.name << ": the exit must release the worker";
        EXPECT_EQ(fake::calls[0], "registerExitHook");
        EXPECT_EQ(fake::calls[2], "watchMachine 3") << c.name;
        EXPECT_TRUE(errors.empty()) << errors;
    }
}

TEST_F(Machine, OnlyTheStatesAskedForPause) {
    // Locked with only --only-on-ac, on battery with only --pause-when-locked:
    // neither pauses.
    EXPECT_EQ(run({"--only-on-ac"}, {{Step::lock}}), 0);
    EXPECT_EQ(output, screens::heldOff + exitLines);
    EXPECT_EQ(fake::calls[2], "watchMachine 1");
    SetUp();
    EXPECT_EQ(run({"--pause-when-locked"}, {{Step::battery}}), 0);
    EXPECT_EQ(output, screens::heldOff + exitLines);
    SetUp();
    EXPECT_EQ(run({"-n"}, {}), 0);
    for (const std::string& call : fake::calls) {
        EXPECT_NE(call.rfind("watchMachine", 0), 0u) << "nothing watched unless asked";
    }
}

TEST_F(Machine, WithoutTheMenuTheWorkerStillFollowsTheMachine) {
    fake::wake = Wake::stopRequested;
    EXPECT_EQ(run({"--no-menu", "--only-on-ac"}, {{Step::battery}, {Step::mains}, {Step::battery}}), 0);
    EXPECT_EQ(output, exitLines);
    EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "suspendThread worker"), 2);
    EXPECT_EQ(fake::suspendCount, 0) << "released at exit";
}

// The --until deadline under a clock that is set and a time zone that
// changes: armed anew each time, at the moment the local clock shows then.
class UntilTime : public Machine {
protected:
    void SetUp() override {
        Machine::SetUp();
        const char* zone = std::getenv("TZ");
        savedZone = zone != nullptr ? zone : "";
        hadZone = zone != nullptr;
        setZone("UTC0");
    }
    void TearDown() override {
        if (hadZone) {
            setZone(savedZone.c_str());
        } else {
            setEnvironment("TZ", nullptr);
            tzset();
        }
        Machine::TearDown();
    }
    static void setZone(const char* zone) {
        setEnvironment("TZ", zone);
        tzset();
    }
    std::string savedZone;
    bool hadZone = false;
};

TEST_F(UntilTime, TheClockSetOrTheZoneChangedArmsItAnew) {
    std::vector<system_clock::time_point> armed;
    auto clockSet = [&armed](const char* zone) {
        return [&armed, zone](char*) {
            armed.push_back(*fake::wallDeadline);
            if (zone != nullptr) {
                setZone(zone);
            }
            return Wake::clockSet;
        };
    };
    fake::wakesFirst = {clockSet(nullptr),   // set forward or back: the same moment still
                        clockSet("XXX-2"),   // two hours east: 17:30 there comes two hours sooner
                        clockSet(nullptr), [&armed](char*) {
                            armed.push_back(*fake::wallDeadline);
                            return Wake::deadline;  // came while asleep, or now: quits as "q"
                        }};
    console.start("");
    testing::internal::CaptureStderr();
    const int status = runKeepAwake({"--no-menu", "--until", "17:30"});
    fake::exitHook();
    errors = testing::internal::GetCapturedStderr();
    output = console.finish();

    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, exitLines);
    ASSERT_EQ(armed.size(), 4u);
    EXPECT_EQ(armed[1], armed[0]) << "a clock set without a zone change keeps the moment";
    EXPECT_EQ(armed[2] - armed[1], hours(-2)) << "17:30 in the new zone";
    EXPECT_EQ(armed[3], armed[2]);
    const std::time_t at = system_clock::to_time_t(armed[2]);
    const std::tm local = *std::localtime(&at);
    EXPECT_EQ(local.tm_hour * 60 + local.tm_min, 17 * 60 + 30) << "the local clock shows 17:30 then";
    EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "armWallDeadline"), 4);
}

TEST_F(UntilTime, ForIsArmedOnceOnTheClockThatCountsSleep) {
    fake::wakesFirst = {[](char*) { return Wake::clockSet; }, [](char*) { return Wake::deadline; }};
    console.start("");
    testing::internal::CaptureStderr();
    EXPECT_EQ(runKeepAwake({"--no-menu", "--for", "2h"}), 0);
    fake::exitHook();
    errors = testing::internal::GetCapturedStderr();
    output = console.finish();
    EXPECT_EQ(output, exitLines);
    EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "armElapsedDeadline 7200000"), 1)
        << "a clock set does not move --for";
    EXPECT_FALSE(fake::wallDeadline);
}

}  // namespace
