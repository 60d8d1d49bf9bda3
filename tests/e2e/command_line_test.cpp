// The real program's command line against a private X server: each limit
// ends it in order at the right time while the server sees nudges; a
// command's status becomes the program's; bad usage leaves the server idle.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"
#include "tests/support/screens.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Words = std::vector<std::string>;

class CommandLineOnX : public testing::Test {
protected:
    void SetUp() override {
        server = startXServer();
        ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
        setScreenSaverTimeout(server, 600);  // 7.5 s between nudges unless --interval says otherwise
    }

    void TearDown() override { stopXServer(server); }

    ChildProcess start(Words words) {
        words.insert(words.begin(), KEEPAWAKE_PROGRAM);
        return startChild(words, {"DISPLAY=" + displayName(server)});
    }

    XServer server;
};

// The local clock time a few seconds from now, as --until takes it.
std::string clockTimeIn(std::chrono::seconds away) {
    const std::time_t then = std::time(nullptr) + away.count();
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&then));
    return text;
}

const std::string shutdownLines = screens::quitting + screens::cleanedUp;

TEST_F(CommandLineOnX, EachLimitEndsTheRunInOrderWhileTheServerIsNudged) {
    // "UNTIL" and "PID" are filled in as each case starts.
    const struct {
        const char* name;
        Words words;
        int status;
        const char* outputHas;  // what the output holds before the shutdown lines
        bool endsWithShutdownLines;
        double seconds;  // when it should end
    } cases[] = {
        {"--for 2s", {"--for", "2s", "-i", "100ms"}, 0, "Quits by itself at ", true, 2},
        {"--until", {"-u", "UNTIL", "-i", "100ms"}, 0, "Quits by itself at ", true, 3},
        {"--while-pid", {"-n", "-w", "PID", "-i", "100ms"}, 0, "", true, 2},
        {"-- exit 7", {"-i", "100ms", "--", "sh", "-c", "sleep 2; exit 7"}, 7, "", false, 2},
        {"-- SIGKILL", {"-i", "100ms", "--", "sh", "-c", "sleep 2; kill -KILL $$"}, 137, "", false, 2},
    };
    for (const auto& c : cases) {
        ChildProcess sleeper = startChild({"sleep", "2"}, {});
        Words words = c.words;
        // Whole seconds: the run ends at the start of that second.
        const std::time_t now = std::time(nullptr);
        double seconds = c.seconds;
        for (std::string& word : words) {
            if (word == "UNTIL") {
                word = clockTimeIn(3s);
                seconds -= std::chrono::duration<double>(std::chrono::system_clock::now() -
                                                         std::chrono::system_clock::from_time_t(now))
                               .count();
            }
            word = word == "PID" ? std::to_string(sleeper.pid) : word;
        }
        const auto started = Clock::now();
        ChildProcess program = start(words);
        const IdleWatch watch = watchIdle(server, 1500ms);
        const std::string output = readUntilEnd(program.output, 10s);
        const int status = waitForExit(program, 10s);
        const double took = std::chrono::duration<double>(Clock::now() - started).count();
        const std::string errors = readUntilEnd(program.errors, 1s);
        releaseChild(program);
        std::cout << c.name << ": status " << status << " after " << took << " s (due after " << seconds
                  << " s), " << watch.nudges
                  << " nudges seen in 1.5 s, largest idle " << watch.largestIdleMs << " ms" << std::endl;

        EXPECT_EQ(status, c.status) << c.name << errors;
        EXPECT_GE(watch.nudges, 5) << c.name << ": every 100 ms asked";
        EXPECT_GE(took, seconds - 0.3) << c.name;
        EXPECT_LE(took, seconds + 2.0) << c.name;
        EXPECT_NE(output.find(c.outputHas), std::string::npos) << c.name << ": " << output;
        if (c.endsWithShutdownLines) {
            ASSERT_GE(output.size(), shutdownLines.size()) << c.name;
            EXPECT_EQ(output.substr(output.size() - shutdownLines.size()), shutdownLines) << c.name;
        } else {
            EXPECT_EQ(output, "") << c.name << ": nothing of our own on standard output";
        }
        waitForExit(sleeper, 10s);
        releaseChild(sleeper);
    }
}

TEST_F(CommandLineOnX, TerminationRequestsEndTheRunInOrder) {
    const struct {
        const char* name;
        Words words;
        int signal;
        int status;
        std::string output;
    } cases[] = {
        {"menu, SIGTERM", {"-i", "1s"}, SIGTERM, 0, screens::heldOff + shutdownLines},
        {"menu with a limit, SIGINT", {"--for", "1h"}, SIGINT, 0, ""},
        {"--no-menu, SIGTERM", {"-n"}, SIGTERM, 0, shutdownLines},
        {"--no-menu, SIGHUP", {"-n"}, SIGHUP, 0, shutdownLines},
        {"command, SIGTERM passed on", {"--", "sleep", "30"}, SIGTERM, 128 + SIGTERM, ""},
        {"command, SIGINT left to it", {"--", "sh", "-c", "sleep 1; exit 3"}, SIGINT, 3, ""},
    };
    for (const auto& c : cases) {
        ChildProcess program = start(c.words);
        std::this_thread::sleep_for(500ms);
        const auto sent = Clock::now();
        kill(program.pid, c.signal);
        const std::string output = readUntilEnd(program.output, 10s);
        const int status = waitForExit(program, 10s);
        const double took = std::chrono::duration<double>(Clock::now() - sent).count();
        releaseChild(program);
        std::cout << c.name << ": status " << status << " " << took << " s after the signal" << std::endl;

        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_LE(took, 3.0) << c.name;
        if (!c.output.empty()) {
            EXPECT_EQ(output, c.output) << c.name;
        } else if (c.status == 0) {
            EXPECT_NE(output.find("Quits by itself at "), std::string::npos) << output;
            EXPECT_EQ(output.substr(output.size() - shutdownLines.size()), shutdownLines) << c.name;
        } else {
            EXPECT_EQ(output, "") << c.name;
        }
    }
}

TEST_F(CommandLineOnX, ASecondCtrlCEndsAStuckRunAtOnce) {
    ChildProcess program = start({"-i", "1s"});
    // Nobody reads its output: redrawing the menu for each key soon blocks.
    typeInto(program, std::string(20000, 'x'));
    std::this_thread::sleep_for(500ms);
    kill(program.pid, SIGTERM);
    std::this_thread::sleep_for(500ms);
    int status = 0;
    EXPECT_EQ(waitpid(program.pid, &status, WNOHANG), 0) << "the orderly end cannot finish while output blocks";
    const auto sent = Clock::now();
    kill(program.pid, SIGINT);
    EXPECT_EQ(waitForExit(program, 5s), 128 + SIGINT);
    std::cout << "second request: ended " << std::chrono::duration<double>(Clock::now() - sent).count()
              << " s after Ctrl+C" << std::endl;
    releaseChild(program);
}

TEST_F(CommandLineOnX, CommandsThatCannotRunAndBadUsageNeverNudge) {
    const struct {
        Words words;
        int status;
    } cases[] = {
        {{"--", "/nonexistent"}, 127},
        {{"--", "/dev/null"}, 126},
        // The rest ask for a nudge every 10 ms, so a worker started by mistake
        // would show at once.
        {{"-i", "10ms", "--bogus"}, 2},
        {{"-i", "10ms", "--for"}, 2},
        {{"-i", "10ms", "--for", "1h30"}, 2},
        {{"-i", "10ms", "--until", "24:00"}, 2},
        {{"-i", "5ms"}, 2},
        {{"-i", "10ms", "-w", "0"}, 2},
        {{"-i", "10ms", "-w", "2147483646"}, 2},  // no such process
        {{"-i", "10ms", "--for", "1s", "--", "true"}, 2},
        {{"-i", "10ms", "--"}, 2},
        {{"-i", "10ms", "menu"}, 2},
        {{"-i", "10ms", "--hotkey", "ctrl+alt+kk"}, 2},
        {{"-i", "10ms", "--hotkey", "shift+k"}, 2},
    };
    const std::uint32_t idleBefore = idleMilliseconds(server);
    const auto started = Clock::now();
    for (const auto& c : cases) {
        // Input stays open: a run that went on by mistake would time out.
        ChildProcess program = start(c.words);
        const std::string output = readUntilEnd(program.output, 10s);
        const std::string errors = readUntilEnd(program.errors, 10s);
        const int status = waitForExit(program, 10s);
        releaseChild(program);

        std::string shown;
        for (const std::string& word : c.words) {
            shown += word + " ";
        }
        EXPECT_EQ(status, c.status) << shown;
        EXPECT_EQ(output, "") << shown;
        const std::size_t lines = c.status == 2 ? 2 : 1;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), static_cast<long>(lines)) << shown << errors;
        if (c.status == 2) {
            EXPECT_NE(errors.find("Try 'keepawake --help' for more information.\n"), std::string::npos) << errors;
        }
    }
    // Usage errors start nothing; a command that cannot run is reported before
    // the first nudge is due (7.5 s).
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    const std::uint32_t idleAfter = idleMilliseconds(server);
    std::cout << "bad usage: " << std::size(cases) << " runs in " << spent << " ms, server idle " << idleBefore
              << " ms before and " << idleAfter << " ms after" << std::endl;
    EXPECT_GE(idleAfter + 50, idleBefore + static_cast<std::uint32_t>(spent)) << "a nudge reached the server";
}

}  // namespace
