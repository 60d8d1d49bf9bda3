// The X11 binding as a module loaded at run time: the program links no xcb
// library, finds keepawake-x11.so beside itself or where an install puts it,
// and where the module or a library it needs is missing it says so in one
// line and runs on, its menu and exit unchanged. Also the one line for a
// server without MIT-SCREEN-SAVER.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "platform/linux/x11_loader.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"
#include "tests/support/screens.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string menuRun = screens::heldOff + screens::quitting + screens::cleanedUp;
const std::string cannot = "keepawake: cannot keep this X session awake: ";

TEST(X11LoadFailure, TheLineAndTheStatusNameWhatIsMissing) {
    const std::string notFound = "not found beside the program or in ../lib/keepawake";
    const std::string noXtest = "libxcb-xtest.so.0: cannot open shared object file: No such file or directory";
    const std::string shortFile = "/usr/lib/x86_64-linux-gnu/libxcb.so.1: file too short";
    const std::string badSymbol = "/opt/k/bin/keepawake-x11.so: undefined symbol: xcb_connect";
    const std::string badHeader = "/opt/k/bin/keepawake-x11.so: invalid ELF header";
    const std::string loadFailed = "keepawake-x11.so could not be loaded";
    const struct {
        bool found;
        std::string problem;
        std::string words;  // the line is "cannot ... awake: WORDS (DETAIL).\n"
        std::string detail;
    } cases[] = {
        {false, notFound, "keepawake-x11.so is missing", notFound},
        {true, noXtest, "libxcb-xtest.so.0 is missing", loadFailed + ": " + noXtest},
        {true, shortFile, "libxcb.so.1 cannot be used", loadFailed + ": " + shortFile},
        {true, badSymbol, loadFailed, badSymbol},
        {true, badHeader, loadFailed, badHeader},
        {true, "", loadFailed, ""},
        {true, ": odd", loadFailed, ": odd"},
        {true, "some words: no library", loadFailed, "some words: no library"},
    };
    for (const auto& c : cases) {
        const X11LoadFailure failure = describeX11LoadFailure(c.found, c.problem);
        EXPECT_EQ(failure.line, cannot + c.words + " (" + c.detail + ").\n") << c.problem;
        EXPECT_EQ(failure.words, c.words) << c.problem;
    }
}

std::string readCommand(const std::vector<std::string>& command) {
    ChildProcess child = startChild(command, {});
    const std::string output = readUntilEnd(child.output, 10s);
    EXPECT_EQ(waitForExit(child, 10s), 0) << command[0];
    releaseChild(child);
    return output;
}

bool needs(const std::string& dynamicSection, const std::string& library) {
    return dynamicSection.find("(NEEDED)             Shared library: [" + library + "]") != std::string::npos;
}

TEST(X11Module, OnlyTheModuleNeedsTheXcbLibraries) {
    const std::string program = readCommand({"readelf", "-d", KEEPAWAKE_PROGRAM});
    const std::string module = readCommand({"readelf", "-d", KEEPAWAKE_X11_MODULE});
    ASSERT_TRUE(needs(program, "libc.so.6")) << program;
    EXPECT_EQ(program.find("libxcb"), std::string::npos) << program;
    for (const char* library : {"libxcb.so.1", "libxcb-xtest.so.0", "libxcb-screensaver.so.0"}) {
        EXPECT_TRUE(needs(module, library)) << library << " in\n" << module;
    }
    // Its own small share of the C++ runtime, as the program has: the shared
    // one would more than double what an X11 copy keeps resident. (GCC
    // builds only: clang's sanitizer builds link the shared one.)
    if (KEEPAWAKE_OWN_CXX_RUNTIME) {
        EXPECT_FALSE(needs(module, "libstdc++.so.6")) << module;
    }
}

struct Outcome {
    std::string output;
    std::string errors;
    int exitStatus = timedOut;
    int nudges = -1;  // the idle counter's falls while it ran; -1 when not watched
    std::string status;  // what --status said of it meanwhile
};

// Runs the command on the server. With the menu: watches the server's idle
// counter for a second and a half once the menu is up, asks for its status,
// then quits with "q". Without: its input is closed at once.
Outcome runOnServer(const std::vector<std::string>& command, const XServer& server, const std::string& runtime,
                    bool menu = true) {
    Outcome run;
    ChildProcess child = startChild(command, {"DISPLAY=" + displayName(server), "XDG_RUNTIME_DIR=" + runtime});
    if (!menu) {
        closeInput(child);
    } else if (readUntilContains(child.output, screens::heldOff, 10s, &run.output)) {
        run.nudges = watchIdle(server, 1500ms).nudges;
        ChildProcess status = startChild({KEEPAWAKE_PROGRAM, "--status"}, {"XDG_RUNTIME_DIR=" + runtime});
        run.status = readUntilEnd(status.output, 10s);
        waitForExit(status, 10s);
        releaseChild(status);
    }
    if (menu) {
        typeInto(child, "q\n");
    }
    run.output += readUntilEnd(child.output, 10s);
    run.errors = readUntilEnd(child.errors, 1s);
    run.exitStatus = waitForExit(child, 10s);
    releaseChild(child);
    return run;
}

class CopiesOfTheProgram : public testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/keepawake-x11-module.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root = folder;
        server = startXServer();
        ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
        // Every 30 ms: a watch of a second and a half sees many nudges.
        setScreenSaverTimeout(server, 60);
    }

    void TearDown() override {
        stopXServer(server);
        fs::remove_all(root);
    }

    // The program copied to folder, with the module as given: copied to
    // moduleAt, or an empty file there; nowhere when moduleAt is empty.
    std::string copy(const std::string& folder, const std::string& moduleAt, bool damaged = false) {
        fs::create_directories(root / folder);
        const fs::path program = root / folder / "keepawake";
        fs::copy_file(KEEPAWAKE_PROGRAM, program);
        if (!moduleAt.empty()) {
            fs::create_directories(root / moduleAt);
            const fs::path module = root / moduleAt / "keepawake-x11.so";
            if (damaged) {
                std::FILE* empty = std::fopen(module.c_str(), "w");
                std::fclose(empty);
            } else {
                fs::copy_file(KEEPAWAKE_X11_MODULE, module);
            }
        }
        return program;
    }

    fs::path root;
    XServer server;
};

TEST_F(CopiesOfTheProgram, EachFindsItsModuleOrSaysInOneLineWhyNot) {
    const struct {
        const char* layout;
        std::string program;
        std::string errors;  // empty: none, and the nudges reach the server
    } cases[] = {
        {"beside", copy("beside", "beside"), ""},
        {"installed", copy("usr/bin", "usr/lib/keepawake"), ""},
        {"no module", copy("alone", ""),
         cannot + "keepawake-x11.so is missing (not found beside the program or in ../lib/keepawake).\n"},
        {"empty module", copy("damaged/bin", "damaged/bin", true), cannot + "keepawake-x11.so could not be loaded ("},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        const Outcome run = runOnServer({c.program}, server, root);
        EXPECT_EQ(run.output, menuRun);
        EXPECT_EQ(run.exitStatus, 0);
        std::cout << c.layout << ": " << run.nudges << " nudges in 1.5 s; --status: " << run.status
                  << c.layout << ": standard error: " << (run.errors.empty() ? "(nothing)\n" : run.errors);
        EXPECT_NE(run.status.find(" awake since "), std::string::npos) << run.status;
        if (c.errors.empty()) {
            EXPECT_EQ(run.errors, "");
            EXPECT_GE(run.nudges, 5);
            EXPECT_EQ(run.status.find("cannot"), std::string::npos) << run.status;
        } else {
            EXPECT_EQ(run.errors.substr(0, c.errors.size()), c.errors);
            EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
            // It says it cannot, and indeed does not; so does its status.
            EXPECT_EQ(run.nudges, 0);
            EXPECT_NE(run.status.find(", cannot keep the session awake: keepawake-x11.so "), std::string::npos)
                << run.status;
        }
        // Options that need no display never load the module, whatever state
        // it is in: nothing about it on standard error.
        for (const char* option : {"--version", "--help", "--status", "--stop"}) {
            const Outcome plain = runOnServer({c.program, option}, server, root, false);
            EXPECT_EQ(plain.errors.find("X session"), std::string::npos) << option << ": " << plain.errors;
            if (std::string(option) == "--version" || std::string(option) == "--help") {
                EXPECT_EQ(plain.exitStatus, 0) << option;
                EXPECT_EQ(plain.errors, "") << option;
                EXPECT_NE(plain.output.find("keepawake"), std::string::npos) << option;
            }
        }
    }
}

// A real absence: in a mount namespace of its own, the xcb libraries the
// module needs are deleted from their folder by an overlay.
TEST_F(CopiesOfTheProgram, WithoutTheXcbLibrariesItSaysWhichAndRunsOn) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "not run: mounting an overlay over the libraries' folder needs root";
    }
    if (std::system("command -v unshare >/dev/null") != 0) {
        GTEST_SKIP() << "not run: no unshare";
    }
    // The overlay's layers are made in the test's own folder, which goes at the end.
    const std::vector<std::string> hidden{"env",     "TMPDIR=" + root.string(),  "unshare",
                                          "--mount", "--propagation",           "private",
                                          "sh",      KEEPAWAKE_HIDE_LIBRARIES,  KEEPAWAKE_X11_MODULE,
                                          KEEPAWAKE_PROGRAM};
    auto with = [&hidden](const std::vector<std::string>& more) {
        std::vector<std::string> command = hidden;
        command.insert(command.end(), more.begin(), more.end());
        return command;
    };

    const Outcome version = runOnServer(with({"--version"}), server, root, false);
    if (version.exitStatus == 77) {
        GTEST_SKIP() << version.errors;
    }
    EXPECT_EQ(version.exitStatus, 0) << version.errors;
    EXPECT_EQ(version.output, "keepawake " KEEPAWAKE_VERSION "\n");
    EXPECT_EQ(version.errors, "");

    const Outcome run = runOnServer(hidden, server, root);
    std::cout << "without the xcb libraries: status " << run.exitStatus << ", " << run.nudges
              << " nudges in 1.5 s; --status: " << run.status << "without the xcb libraries: standard error: "
              << run.errors;
    EXPECT_EQ(run.output, menuRun);
    EXPECT_EQ(run.exitStatus, 0);
    // The loader names the first of them it looked for.
    EXPECT_EQ(run.errors, cannot + "libxcb.so.1 is missing (keepawake-x11.so could not be loaded: libxcb.so.1: "
                                   "cannot open shared object file: No such file or directory).\n");
    EXPECT_EQ(run.nudges, 0);
    EXPECT_NE(run.status.find(" awake since "), std::string::npos) << run.status;
    EXPECT_NE(run.status.find(", cannot keep the session awake: libxcb.so.1 is missing"), std::string::npos)
        << run.status;
}

TEST(ServerWithoutScreenSaverExtension, OneLineSaysTheNudgesCannotBeChecked) {
    XServer server = startXServer(-1, {"-extension", "MIT-SCREEN-SAVER"});
    ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
    char folder[] = "/tmp/keepawake-x11-module.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    // Long enough for several nudges, and for a check that would wrongly run.
    const Outcome run = runOnServer({KEEPAWAKE_PROGRAM}, server, folder);
    stopXServer(server);
    fs::remove_all(folder);
    std::cout << "without MIT-SCREEN-SAVER: standard error: " << run.errors;
    EXPECT_EQ(run.output, menuRun);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.errors, "keepawake: this X server has no MIT-SCREEN-SAVER extension: whether it counts the "
                          "nudges as user activity cannot be checked, and a screen saver that watches the pointer "
                          "is not held off by zero moves.\n");
}

}  // namespace
