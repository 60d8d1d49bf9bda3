// The control protocol's lines, a running copy's answers against the fake
// (a remote pause is the menu's "e", a remote stop its "q"), and what each
// control option makes of its copies' answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/control_protocol.h"
#include "app/keep_awake.h"
#include "app/remote_control.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_platform.h"
#include "tests/support/program_run.h"
#include "tests/support/screens.h"

namespace {

using Words = std::vector<std::string>;
using Calls = std::vector<std::string>;
using control::Verb;

const std::string pauseLine = "keepawake-control 1 pause\n";

TEST(ControlProtocol, RequestsAreOneExactLineOfThisVersion) {
    const struct {
        std::string line;
        std::optional<Verb> verb;
        const char* problem;
    } cases[] = {
        {"keepawake-control 1 status\n", Verb::status, ""},
        {"keepawake-control 1 pause\n", Verb::pause, ""},
        {"keepawake-control 1 resume\r\n", Verb::resume, ""},
        {"keepawake-control 1 stop\n", Verb::stop, ""},
        {"keepawake-control 1 stop", std::nullopt, "request incomplete"},
        {"", std::nullopt, "request incomplete"},
        {"\n", std::nullopt, "not a keepawake control request"},
        {"keepawake-control 2 stop\n", std::nullopt, "unsupported protocol version (this copy speaks 1)"},
        {"keepawake-control 1 stop now\n", std::nullopt, "unexpected words after the request"},
        {"keepawake-control 1  stop\n", std::nullopt, "unexpected words after the request"},
        {"keepawake-control 1 STOP\n", std::nullopt, "unknown request 'STOP'"},
        {"keepawake-control 1 \x1b[2J\n", std::nullopt, "unknown request '?[2J'"},
        {"KEEPAWAKE-control 1 stop\n", std::nullopt, "not a keepawake control request"},
        {"keepawake-control 1 status\n" + std::string(37, ' '), std::nullopt, "request incomplete"},
        {"keepawake-control 1 status" + std::string(37, ' ') + "\n", std::nullopt, "unexpected words after the request"},
        {"keepawake-control 1 status" + std::string(38, ' ') + "\n", std::nullopt, "request too long"},
    };
    for (const auto& c : cases) {
        const control::Request request = control::parseRequest(c.line);
        EXPECT_EQ(request.verb, c.verb) << c.line;
        EXPECT_EQ(request.problem, c.problem) << c.line;
    }
    for (const Verb verb : {Verb::status, Verb::pause, Verb::resume, Verb::stop}) {
        const std::string line = control::formatRequest(verb);
        EXPECT_LE(line.size(), control::requestLimit);
        EXPECT_EQ(control::parseRequest(line).verb, verb) << line;
    }
}

TEST(ControlProtocol, RepliesCarryTheStateAndStayOnePrintableLine) {
    const std::string awake = control::formatReply(true, "since 13:02:11, runs make\n-j8\x07");
    EXPECT_EQ(awake, "keepawake-control 1 ok awake since 13:02:11, runs make?-j8?\n");
    control::Reply reply = control::parseReply(awake);
    EXPECT_TRUE(reply.ok);
    EXPECT_TRUE(reply.awake);
    EXPECT_EQ(reply.text, "awake since 13:02:11, runs make?-j8?");

    const std::string longOne = control::formatReply(false, std::string(2000, 'x'));
    EXPECT_EQ(longOne.size(), control::replyLimit);
    EXPECT_EQ(std::count(longOne.begin(), longOne.end(), '\n'), 1);
    reply = control::parseReply(longOne);
    EXPECT_TRUE(reply.ok);
    EXPECT_FALSE(reply.awake);

    const struct {
        std::string line;
        const char* text;
    } refused[] = {
        {control::formatError("request too long"), "request too long"},
        {"keepawake-control 2 ok awake since 10:00:00\n", "it speaks protocol version 2, this one 1"},
        {"keepawake-control 1 ok sleepy\n", "malformed reply"},
        {"keepawake-control 1 error\n", "an error without a reason"},
        {"keepawake-control 1 ok awake", "no complete reply"},
        {"HTTP/1.1 200 OK\n", "not a keepawake control reply"},
        {"", "no complete reply"},
    };
    for (const auto& c : refused) {
        reply = control::parseReply(c.line);
        EXPECT_FALSE(reply.ok) << c.line;
        EXPECT_EQ(reply.text, c.text) << c.line;
    }
}

// Only the words right after the time say a copy cannot keep awake; a
// reply of an older copy, without them, still counts as keeping awake.
TEST(ControlProtocol, ACopyThatCannotKeepAwakeIsToldApartFromOneThatDoes) {
    const struct {
        const char* line;
        bool awake;
        bool keeps;
    } cases[] = {
        {"keepawake-control 1 ok awake since 10:00:00\n", true, true},
        {"keepawake-control 1 ok awake since 10:00:00, by GNOME's session manager, quits at 17:30:00\n", true, true},
        {"keepawake-control 1 ok awake since 10:00:00, cannot keep the session awake: no way offered\n", true, false},
        {"keepawake-control 1 ok awake since 10:00:00, cannot keep the session awake\n", true, false},
        {"keepawake-control 1 ok awake since 10:00:00, by zero moves every 30 ms, runs echo cannot keep the session "
         "awake\n",
         true, true},
        {"keepawake-control 1 ok awake cannot keep the session awake\n", true, true},
        {"keepawake-control 1 ok paused since 10:00:00\n", false, false},
    };
    for (const auto& c : cases) {
        const control::Reply reply = control::parseReply(c.line);
        EXPECT_TRUE(reply.ok) << c.line;
        EXPECT_EQ(reply.awake, c.awake) << c.line;
        EXPECT_EQ(reply.keepsAwake, c.keeps) << c.line;
    }
}

class RemoteRequests : public ProgramRun {
protected:
    // The calls the worker and the display get, without the waits and draws.
    static Calls actions() {
        Calls kept;
        for (const std::string& call : fake::calls) {
            if (call.rfind("suspendThread", 0) == 0 || call.rfind("resumeThread", 0) == 0 ||
                call.rfind("pauseDisplay", 0) == 0 || call.rfind("resumeDisplay", 0) == 0 ||
                call.rfind("postQuitMessage", 0) == 0 || call.rfind("passStop", 0) == 0) {
                kept.push_back(call);
            }
        }
        return kept;
    }
};

TEST_F(RemoteRequests, APauseAndAResumeActAsEAndDAndTheMenuRedrawsAtOnce) {
    // By keys...
    EXPECT_EQ(run({}, "e d q\n"), 0);
    const Calls byKeys = actions();
    const std::string keysOutput = output;
    // ...and the same through the endpoint, before the first and second reads.
    fake::reset();
    keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
    // (The new line between is skipped as white space, as a key would be.)
    fake::controlAt = {{0, {pauseLine}}, {1, {"keepawake-control 1 resume\n"}}};
    EXPECT_EQ(run({}, "\nq\n"), 0);
    EXPECT_EQ(actions(), byKeys);
    EXPECT_EQ(output, keysOutput) << "the same screens, each drawn at once";
    EXPECT_EQ(output, screens::heldOff + screens::allowed + screens::heldOff + screens::quitting + screens::cleanedUp);
    EXPECT_EQ(errors, "");
    ASSERT_EQ(fake::controlReplies.size(), 2u);
    EXPECT_EQ(fake::controlReplies[0].rfind("keepawake-control 1 ok paused since ", 0), 0u) << fake::controlReplies[0];
    EXPECT_EQ(fake::controlReplies[1].rfind("keepawake-control 1 ok awake since ", 0), 0u) << fake::controlReplies[1];
    EXPECT_NE(std::find(fake::calls.begin(), fake::calls.end(), "openControlEndpoint 64"), fake::calls.end());
}

TEST_F(RemoteRequests, AStopEndsEachKindOfRunAsQAndACommandGetsItPassedOn) {
    const struct {
        const char* name;
        Words words;
        Wake after;  // what the wait gives once the stop is passed on
        int status;
        std::string output;
        Calls actions;
    } cases[] = {
        {"menu", {}, Wake::stopRequested, 0, screens::heldOff + screens::quitting + screens::cleanedUp,
         {"postQuitMessage 4242"}},
        {"--no-menu", {"-n"}, Wake::stopRequested, 0, screens::quitting + screens::cleanedUp, {"postQuitMessage 4242"}},
        {"-- COMMAND", {"--", "make"}, Wake::commandEnded, 143, "", {"passStopToCommand", "postQuitMessage 4242"}},
    };
    for (const auto& c : cases) {
        fake::reset();
        keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
        // The request arrives at the first wait; the typed "x" would never be read.
        fake::controlAt = {{0, {"keepawake-control 1 status\n", "keepawake-control 1 stop\n"}}};
        fake::wake = c.after;
        fake::commandStatus = 143;
        EXPECT_EQ(run(c.words, "x"), c.status) << c.name;
        EXPECT_EQ(output, c.output) << c.name;
        EXPECT_EQ(actions(), c.actions) << c.name;
        ASSERT_EQ(fake::controlReplies.size(), 2u) << c.name;
        EXPECT_EQ(fake::controlReplies[0], fake::controlReplies[1]) << c.name << ": both see it awake";
        if (c.words.size() == 2) {
            EXPECT_NE(fake::controlReplies[0].find(", runs make\n"), std::string::npos) << fake::controlReplies[0];
        }
    }
}

// The status line says how the copy keeps the session awake, right after
// its time, and a change of the desktop's way has the worker plan its
// timer anew without touching the screen.
TEST_F(RemoteRequests, TheStatusSaysHowAndADesktopChangeReplansTheWorker) {
    const std::string status = "keepawake-control 1 status\n";
    const struct {
        const char* name;
        bool keepsNow;
        const char* how;  // describeKeepAwake's words
        Words words;
        std::string typed;  // before the status request, which comes at the read after these
        const char* after;  // the reply after "ok "
        bool keeps;
    } cases[] = {
        {"inhibitor", true, "by GNOME's session manager", {}, "", "awake since \\S+, by GNOME's session manager",
         true},
        {"both ways, with a limit", true, "by the freedesktop screen saver and zero moves every 30 ms", {"--for", "1h"},
         "", "awake since \\S+, by the freedesktop screen saver and zero moves every 30 ms, quits at \\S+", true},
        {"no way", false, "no way offered", {}, "", "awake since \\S+, cannot keep the session awake: no way offered",
         false},
        {"paused: no words on how", false, "no way offered", {}, "e\n", "paused since \\S+", false},
    };
    for (const auto& c : cases) {
        fake::reset();
        keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
        fake::way = KeepAwakeWay{c.keepsNow, c.how};
        fake::wakesFirst = {[](char*) { return Wake::displayChanged; }};
        fake::controlAt = {{c.typed.empty() ? 0 : 1, {status}}};
        EXPECT_EQ(run(c.words, c.typed + "q\n"), 0) << c.name;
        ASSERT_EQ(fake::controlReplies.size(), 1u) << c.name;
        const std::string& reply = fake::controlReplies[0];
        EXPECT_TRUE(std::regex_match(reply, std::regex(std::string("keepawake-control 1 ok ") + c.after + "\n")))
            << c.name << ": " << reply;
        EXPECT_EQ(control::parseReply(reply).keepsAwake, c.keeps) << c.name;
        EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "postReplanMessage 4242"), 1) << c.name;
        EXPECT_EQ(std::count(output.begin(), output.end(), 'P'), c.typed.empty() ? 1 : 2)
            << c.name << ": a desktop change redraws nothing\n" << output;
    }
    // A command's wait goes on past a desktop change.
    fake::reset();
    keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
    fake::wakesFirst = {[](char*) { return Wake::displayChanged; }};
    fake::wake = Wake::commandEnded;
    fake::commandStatus = 7;
    EXPECT_EQ(run({"--", "make"}, ""), 7);
    EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "postReplanMessage 4242"), 1);
}

// A watcher that starts (or a setting that changes) under a running copy
// gives the worker the new interval, and the status names the timer.
TEST_F(RemoteRequests, TheSessionsTimersChangeTheIntervalAndTheStatusNamesThem) {
    const std::string status = "keepawake-control 1 status\n";
    SessionTimer xscreensaver;
    xscreensaver.watcher = "xscreensaver";
    xscreensaver.seconds = 120;
    const struct {
        const char* name;
        Words words;
        std::vector<SessionTimer> after;  // the watchers once the timers changed
        const char* replan;               // the worker's re-plan, "" for none
        const char* reply;
    } cases[] = {
        {"xscreensaver starts", {}, {xscreensaver}, "postReplanMessage 4242 1500",
         "awake since \\S+, by zero moves every 1500 ms, for xscreensaver's 2 min"},
        {"nothing that changes the interval", {}, {}, "",
         "awake since \\S+, by zero moves every 7500 ms, for the screen saver's 10 min"},
        {"-i holds its interval", {"-i", "5s"}, {xscreensaver}, "", "awake since \\S+, by zero moves every 5000 ms"},
    };
    for (const auto& c : cases) {
        fake::reset();
        keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
        fake::screenSaverTimeout = 600;
        const std::vector<SessionTimer> after = c.after;
        fake::wakesFirst = {[after](char*) {
            fake::watcherTimers = after;
            return Wake::timersChanged;
        }};
        fake::controlAt = {{0, {status}}};
        EXPECT_EQ(run(c.words, "q\n"), 0) << c.name;
        ASSERT_EQ(fake::controlReplies.size(), 1u) << c.name;
        EXPECT_TRUE(std::regex_match(fake::controlReplies[0],
                                     std::regex(std::string("keepawake-control 1 ok ") + c.reply + "\n")))
            << c.name << ": " << fake::controlReplies[0];
        const auto replans = std::count_if(fake::calls.begin(), fake::calls.end(), [](const std::string& call) {
            return call.rfind("postReplanMessage", 0) == 0;
        });
        EXPECT_EQ(replans, *c.replan == '\0' ? 0 : 1) << c.name;
        if (*c.replan != '\0') {
            EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), c.replan), 1) << c.name;
        }
        EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "watchSessionTimers"), c.words.empty() ? 1 : 0)
            << c.name << ": a fixed interval follows no timer";
        EXPECT_EQ(std::count(output.begin(), output.end(), 'P'), 1) << c.name << ": nothing is redrawn\n" << output;
    }
    // The timer comes right after the interval, before what the way adds.
    fake::reset();
    keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
    fake::watcherTimers = {xscreensaver};
    fake::way = KeepAwakeWay{true, "by zero moves every 1500 ms, while idle"};
    fake::controlAt = {{0, {status}}};
    EXPECT_EQ(run({"--only-when-idle"}, "q\n"), 0);
    ASSERT_EQ(fake::controlReplies.size(), 1u);
    EXPECT_TRUE(std::regex_match(fake::controlReplies[0],
                                 std::regex("keepawake-control 1 ok awake since \\S+, by zero moves every 1500 ms, "
                                            "for xscreensaver's 2 min, while idle\n")))
        << fake::controlReplies[0];
    // The look for timer changes is held while their pace does not matter:
    // an inhibitor alone, or a held worker; once it matters the look goes on
    // (a change met meanwhile comes through the wait, not the resume).
    const struct {
        const char* name;
        std::optional<KeepAwakeWay> way;
        Words words;
        std::string typed;
        bool held;
        int reads;  // readSessionTimers with the display
    } holds[] = {
        {"GNOME's inhibitor alone", KeepAwakeWay{true, "by GNOME's session manager"}, {}, "", true, 1},
        {"zero moves", std::nullopt, {}, "", false, 1},
        {"paused", std::nullopt, {}, "e\n", true, 1},
        {"paused and resumed: nothing read on the way", std::nullopt, {}, "e\nd\n", false, 1},
        {"the session tells idleness: read at its idle notices", std::nullopt, {"--only-when-idle"}, "", true, 1},
    };
    for (const auto& h : holds) {
        fake::reset();
        keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
        fake::screenSaverTimeout = 600;
        fake::way = h.way;
        EXPECT_EQ(run(h.words, h.typed + "q\n"), 0) << h.name;
        EXPECT_EQ(fake::timersWatchHeld, h.held) << h.name;
        EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "readScreenSaverTimeout"), h.reads) << h.name;
    }

    // Told idle, the copy reads the timers before its nudge: a watcher that
    // came while someone worked sets the pace from then on.
    fake::reset();
    keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
    fake::screenSaverTimeout = 600;
    fake::wakesFirst = {[xscreensaver](char*) {
        fake::watcherTimers = {xscreensaver};
        return Wake::sessionIdle;
    }};
    EXPECT_EQ(run({"--only-when-idle"}, "q\n"), 0);
    EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "postReplanMessage 4242 1500"), 1);
    EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "watchSessionIdle 1500"), 1);
    EXPECT_TRUE(fake::timersWatchHeld);

    // ...and the session's idleness is watched anew at the new interval.
    fake::reset();
    keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};
    fake::screenSaverTimeout = 600;
    fake::wakesFirst = {[xscreensaver](char*) {
        fake::watcherTimers = {xscreensaver};
        return Wake::timersChanged;
    }};
    EXPECT_EQ(run({"--only-when-idle"}, "q\n"), 0);
    EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "watchSessionIdle 7500"), 1);
    EXPECT_EQ(std::count(fake::calls.begin(), fake::calls.end(), "watchSessionIdle 1500"), 1);
}

TEST_F(RemoteRequests, BadRequestsGetAnErrorAndChangeNothing) {
    fake::controlAt = {{0, {"keepawake-control 1 pause now\n", std::string(65, 'x'), "keepawake-control 9 stop\n"}}};
    EXPECT_EQ(run({"--for", "1h"}, "q\n"), 0);
    EXPECT_EQ(actions(), Calls{"postQuitMessage 4242"});
    const Calls replies{"keepawake-control 1 error unexpected words after the request\n",
                        "keepawake-control 1 error request too long\n",
                        "keepawake-control 1 error unsupported protocol version (this copy speaks 1)\n"};
    EXPECT_EQ(fake::controlReplies, replies);
    EXPECT_EQ(std::count(output.begin(), output.end(), 'P'), 1) << "drawn once: nothing changed\n" << output;
}

TEST_F(RemoteRequests, AnEndpointThatCannotOpenIsOneWarningAndTheRunGoesOn) {
    fake::endpointProblem = "/run/user/0/keepawake can be written by other users";
    EXPECT_EQ(run({}, "q\n"), 0);
    EXPECT_EQ(errors, "keepawake: no control endpoint: /run/user/0/keepawake can be written by other users\n");
    EXPECT_EQ(output, screens::heldOff + screens::quitting + screens::cleanedUp);
}

// What a control option prints and exits with, given how each copy answers.
TEST(ControlClient, ExitStatusesAndLinesFollowTheCopiesAnswers) {
    const std::string awake = "keepawake-control 1 ok awake since 13:02:11, quits at 17:30:00\n";
    const std::string paused = "keepawake-control 1 ok paused since 14:10:05\n";
    const std::string cannot =
        "keepawake-control 1 ok awake since 13:02:11, cannot keep the session awake: no way offered\n";
    const ControlAnswer silent{ControlAnswer::silent, "", "no reply"};
    const ControlAnswer gone{ControlAnswer::gone, "", ""};
    const struct {
        const char* name;
        ControlAction action;
        std::map<std::uint32_t, ControlAnswer> copies;
        int status;
        const char* output;
        const char* errors;
        std::vector<std::string> asked;  // the requests, in order
    } cases[] = {
        {"none", ControlAction::status, {}, 3, "", "keepawake: no running copy of keepawake\n", {}},
        {"only a gone one", ControlAction::stop, {{7, gone}}, 3, "", "keepawake: no running copy of keepawake\n",
         {"7 stop"}},
        {"one awake, one paused", ControlAction::status,
         {{4242, {ControlAnswer::replied, awake, ""}}, {4250, {ControlAnswer::replied, paused, ""}}}, 0,
         "4242 awake since 13:02:11, quits at 17:30:00\n4250 paused since 14:10:05\n", "", {"4242 status", "4250 status"}},
        {"all paused", ControlAction::status, {{4250, {ControlAnswer::replied, paused, ""}}}, 1,
         "4250 paused since 14:10:05\n", "", {"4250 status"}},
        {"one silent", ControlAction::status, {{4242, {ControlAnswer::replied, awake, ""}}, {4243, silent}}, 1,
         "4242 awake since 13:02:11, quits at 17:30:00\n",
         "keepawake: copy 4243 did not answer within 1 s (no reply)\n", {"4242 status", "4243 status"}},
        {"pause", ControlAction::pause, {{1, {ControlAnswer::replied, paused, ""}}}, 0, "", "", {"1 pause"}},
        {"stop, one refuses", ControlAction::stop,
         {{1, {ControlAnswer::replied, "keepawake-control 2 ok awake\n", ""}}, {2, {ControlAnswer::replied, paused, ""}}},
         1, "", "keepawake: copy 1 refused: it speaks protocol version 2, this one 1\n", {"1 stop", "2 stop"}},
        {"not ours", ControlAction::resume, {{1, {ControlAnswer::refused, "", "the socket is held by another user"}}}, 1,
         "", "keepawake: copy 1 cannot be reached: the socket is held by another user\n", {"1 resume"}},
        {"awake, but cannot keep awake", ControlAction::status, {{5, {ControlAnswer::replied, cannot, ""}}}, 1,
         "5 awake since 13:02:11, cannot keep the session awake: no way offered\n", "", {"5 status"}},
        {"one keeps, one cannot", ControlAction::status,
         {{5, {ControlAnswer::replied, cannot, ""}}, {4242, {ControlAnswer::replied, awake, ""}}}, 0,
         "5 awake since 13:02:11, cannot keep the session awake: no way offered\n4242 awake since 13:02:11, quits at "
         "17:30:00\n",
         "", {"5 status", "4242 status"}},
        {"toggle, one awake", ControlAction::toggle,
         {{1, {ControlAnswer::replied, paused, ""}}, {2, {ControlAnswer::replied, awake, ""}}}, 0, "", "",
         {"1 status", "2 status", "1 pause", "2 pause"}},
        {"toggle, all paused", ControlAction::toggle, {{1, {ControlAnswer::replied, paused, ""}}}, 0, "", "",
         {"1 status", "1 resume"}},
        {"toggle, one silent", ControlAction::toggle, {{1, silent}, {2, {ControlAnswer::replied, paused, ""}}}, 1, "",
         "keepawake: copy 1 did not answer within 1 s (no reply)\n", {"1 status", "2 status", "2 resume"}},
    };
    for (const auto& c : cases) {
        fake::reset();
        for (const auto& copy : c.copies) {
            fake::endpoints.push_back(copy.first);
        }
        std::vector<std::string> asked;
        fake::answerFor = [&](std::uint32_t pid, const std::string& request) {
            const control::Request parsed = control::parseRequest(request);
            asked.push_back(std::to_string(pid) + " " + std::string(control::verbName(*parsed.verb)));
            return c.copies.at(pid);
        };
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(runControlClient(c.action, out, err), c.status) << c.name;
        EXPECT_EQ(out.str(), c.output) << c.name;
        EXPECT_EQ(err.str(), c.errors) << c.name;
        EXPECT_EQ(asked, c.asked) << c.name;
    }
    fake::reset();
    fake::findProblem = "/tmp/keepawake-1000 belongs to user 0, not to this user";
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runControlClient(ControlAction::status, out, err), 3);
    EXPECT_EQ(err.str(), "keepawake: cannot look for running copies: /tmp/keepawake-1000 belongs to user 0, not to "
                         "this user\n");
}

TEST(ControlOptions, EachIsGivenAloneAndStartsNothing) {
    const struct {
        Words words;
        std::optional<ControlAction> action;
    } cases[] = {
        {{"--status"}, ControlAction::status}, {{"--pause"}, ControlAction::pause},
        {{"--resume"}, ControlAction::resume}, {{"--toggle"}, ControlAction::toggle},
        {{"--stop"}, ControlAction::stop},     {{"--status", "--pause"}, std::nullopt},
        {{"--status", "--status"}, std::nullopt}, {{"-n", "--stop"}, std::nullopt},
        {{"--toggle", "--for", "1h"}, std::nullopt}, {{"--stop=1"}, std::nullopt},
        {{"--status", "--", "true"}, std::nullopt}, {{"--pause", "x"}, std::nullopt},
    };
    for (const auto& c : cases) {
        CommandLine options;
        std::ostringstream out;
        std::ostringstream err;
        const auto status = parseCommandLine(c.words, &options, out, err);
        std::string shown;
        for (const std::string& word : c.words) {
            shown += word + " ";
        }
        if (c.action) {
            EXPECT_FALSE(status) << shown << err.str();
            EXPECT_EQ(options.control, c.action) << shown;
        } else {
            EXPECT_EQ(status, usageErrorStatus) << shown;
            EXPECT_EQ(err.str().rfind("keepawake: ", 0), 0u) << shown;
        }
    }
    // Asking runs nothing of the program itself.
    fake::reset();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(runKeepAwake({"--status"}), 3);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(fake::calls, Calls{"findControlEndpoints"});
}

}  // namespace
