// --hotkey against a private Xvfb, with the keys typed by xdotool: presses
// toggle the copy with and without NumLock, holding the keys toggles once, a
// combination another client holds is one line and the run goes on, and a
// frozen server holds up neither the menu nor the exit. In a Wayland session
// without the GlobalShortcuts portal, one line says what to bind instead.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/system_bus.h"
#include "tests/e2e/x_server.h"
#include "tests/support/screens.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

const std::string taken = "keepawake: ctrl+alt+k is taken by another program; running without a hotkey.\n";

Ms since(Clock::time_point start) {
    return std::chrono::duration_cast<Ms>(Clock::now() - start);
}

long occurrences(const std::string& text, const std::string& part) {
    long count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// xdotool with the arguments on the test's display; its exit status.
int xdotool(const XServer& server, const std::vector<std::string>& arguments) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("DISPLAY", displayName(server).c_str(), 1);
        std::vector<char*> words{const_cast<char*>("xdotool")};
        for (const std::string& word : arguments) {
            words.push_back(const_cast<char*>(word.c_str()));
        }
        words.push_back(nullptr);
        execvp("xdotool", words.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// The keycode that gives the keysym without shift, from the server's map.
xcb_keycode_t keycodeOf(const XServer& server, xcb_keysym_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(server.connection);
    const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    xcb_get_keyboard_mapping_reply_t* map = xcb_get_keyboard_mapping_reply(
        server.connection, xcb_get_keyboard_mapping(server.connection, setup->min_keycode, count), nullptr);
    xcb_keycode_t found = 0;
    if (map != nullptr) {
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
        for (int i = 0; found == 0 && i < xcb_get_keyboard_mapping_keysyms_length(map); i += map->keysyms_per_keycode) {
            if (syms[i] == keysym) {
                found = static_cast<xcb_keycode_t>(setup->min_keycode + i / map->keysyms_per_keycode);
            }
        }
        free(map);
    }
    return found;
}

// Another client's passive grab of ctrl+alt+k with the extra modifiers; true
// when the server took it.
bool grabElsewhere(const XServer& server, xcb_connection_t* other, std::uint16_t extra) {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
    const xcb_void_cookie_t grab =
        xcb_grab_key_checked(other, 1, root, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | extra, keycodeOf(server, 'k'),
                             XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    xcb_generic_error_t* error = xcb_request_check(other, grab);
    free(error);
    return error == nullptr;
}

class Hotkey : public testing::Test {
protected:
    void SetUp() override {
        server = startXServer();
        ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
        setScreenSaverTimeout(server, 60);
        char pattern[] = "/tmp/keepawake-hotkey-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        runtime = pattern;
    }

    void TearDown() override {
        if (server.pid > 0) {
            kill(server.pid, SIGCONT);
        }
        for (ChildProcess& copy : copies) {
            if (copy.pid > 0) {
                kill(copy.pid, SIGKILL);
                waitForExit(copy, 5s);
            }
            releaseChild(copy);
        }
        stopXServer(server);
        std::filesystem::remove_all(runtime);
    }

    // A copy with the hotkey, once its menu is up.
    ChildProcess& startCopy(const std::string& keys) {
        copies.push_back(startChild({KEEPAWAKE_PROGRAM, "--hotkey", keys},
                                    {"DISPLAY=" + displayName(server), "XDG_RUNTIME_DIR=" + runtime}));
        seen.emplace_back();
        EXPECT_TRUE(readUntilContains(copies.back().output, screens::heldOff, 10s, &seen.back()));
        return copies.back();
    }

    // Presses the keys and reads until the screen comes (true) or 5 s pass.
    bool pressShows(ChildProcess& copy, std::string* screen, const std::string& keys, const std::string& expected) {
        EXPECT_EQ(xdotool(server, {"key", keys}), 0);
        return readUntilContains(copy.output, expected, 5s, screen);
    }

    XServer server;
    std::string runtime;
    std::deque<ChildProcess> copies;  // references stay valid as copies are added
    std::deque<std::string> seen;
};

TEST_F(Hotkey, PressesToggleWithAndWithoutNumLockAndHoldingTogglesOnce) {
    ChildProcess& copy = startCopy("Ctrl+Alt+K");
    std::string& screen = seen.back();
    EXPECT_TRUE(pressShows(copy, &screen, "ctrl+alt+k", screens::allowed)) << screen;
    EXPECT_TRUE(pressShows(copy, &screen, "ctrl+alt+k", screens::heldOff)) << screen;

    ASSERT_EQ(xdotool(server, {"key", "Num_Lock"}), 0);
    EXPECT_TRUE(pressShows(copy, &screen, "ctrl+alt+k", screens::allowed)) << "with NumLock on: " << screen;
    EXPECT_TRUE(pressShows(copy, &screen, "ctrl+alt+k", screens::heldOff)) << "with NumLock on: " << screen;
    ASSERT_EQ(xdotool(server, {"key", "Num_Lock"}), 0);

    // Held well past the server's auto-repeat delay: repeats come, and count
    // for nothing.
    const long drawnBefore = occurrences(screen, "Screen saver is currently");
    ASSERT_EQ(xdotool(server, {"keydown", "ctrl+alt+k"}), 0);
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(xdotool(server, {"keyup", "ctrl+alt+k"}), 0);
    EXPECT_TRUE(readUntilContains(copy.output, screens::allowed, 5s, &screen));
    std::string later;
    readUntilContains(copy.output, "never written", 1s, &later);
    screen += later;
    EXPECT_EQ(occurrences(screen, "Screen saver is currently") - drawnBefore, 1) << screen;

    // Other keys, and the combination without one of its modifiers, do nothing.
    ASSERT_EQ(xdotool(server, {"key", "ctrl+k", "alt+k", "ctrl+alt+j"}), 0);
    later.clear();
    readUntilContains(copy.output, "never written", 1s, &later);
    EXPECT_EQ(later, "");

    typeInto(copy, "q\n");
    EXPECT_TRUE(readUntilContains(copy.output, screens::quitting + screens::cleanedUp, 5s, &screen));
    EXPECT_EQ(waitForExit(copy, 5s), 0);
    EXPECT_EQ(readUntilEnd(copy.errors, 1s), "");
    // Let go at exit: another client may grab the key now.
    EXPECT_TRUE(grabElsewhere(server, server.connection, 0));
}

TEST_F(Hotkey, ATakenCombinationIsOneLineAndTheRunGoesOn) {
    // Grabbed by another program, only with NumLock, and by another copy.
    xcb_connection_t* other = xcb_connect(displayName(server).c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(other), 0);
    ASSERT_TRUE(grabElsewhere(server, other, XCB_MOD_MASK_2));
    ChildProcess& refused = startCopy("ctrl+alt+k");
    std::string errors;
    EXPECT_TRUE(readUntilContains(refused.errors, taken, 5s, &errors));

    xcb_disconnect(other);
    ChildProcess& holder = startCopy("ctrl+alt+k");
    ChildProcess& second = startCopy("alt+ctrl+K");
    std::string secondErrors;
    EXPECT_TRUE(readUntilContains(second.errors, taken, 5s, &secondErrors));

    // The holder toggles; the copies without the hotkey go on as before.
    EXPECT_TRUE(pressShows(holder, &seen[1], "ctrl+alt+k", screens::allowed)) << seen[1];
    for (ChildProcess* copy : {&refused, &second}) {
        std::string screen;
        typeInto(*copy, "e\n");
        EXPECT_TRUE(readUntilContains(copy->output, screens::allowed, 5s, &screen));
        typeInto(*copy, "q\n");
        EXPECT_EQ(waitForExit(*copy, 5s), 0);
    }
    errors += readUntilEnd(refused.errors, 1s);
    secondErrors += readUntilEnd(second.errors, 1s);
    EXPECT_EQ(errors, taken);
    EXPECT_EQ(secondErrors, taken);
}

TEST_F(Hotkey, AFrozenServerHoldsUpNeitherTheMenuNorTheExit) {
    ChildProcess& copy = startCopy("super+shift+f9");
    std::string& screen = seen.back();
    EXPECT_TRUE(pressShows(copy, &screen, "super+shift+F9", screens::allowed)) << screen;

    kill(server.pid, SIGSTOP);
    // A copy started now says once that it runs without the hotkey.
    copies.push_back(startChild({KEEPAWAKE_PROGRAM, "--hotkey", "ctrl+alt+k"},
                                {"DISPLAY=" + displayName(server), "XDG_RUNTIME_DIR=" + runtime}));
    ChildProcess& late = copies.back();
    std::string lateScreen;
    const auto lateStart = Clock::now();
    EXPECT_TRUE(readUntilContains(late.output, screens::heldOff, 10s, &lateScreen));
    const Ms lateMenu = since(lateStart);

    auto start = Clock::now();
    typeInto(copy, "d\n");
    EXPECT_TRUE(readUntilContains(copy.output, screens::heldOff, 5s, &screen));
    const Ms redraw = since(start);
    start = Clock::now();
    typeInto(copy, "q\n");
    EXPECT_TRUE(readUntilContains(copy.output, screens::quitting + screens::cleanedUp, 5s, &screen));
    EXPECT_EQ(waitForExit(copy, 5s), 0);
    const Ms quit = since(start);
    start = Clock::now();
    kill(late.pid, SIGTERM);
    EXPECT_EQ(waitForExit(late, 5s), 0);
    const Ms stop = since(start);
    std::cout << "frozen display, --hotkey: d redrawn in " << redraw.count() << " ms, q exited in " << quit.count()
              << " ms; a copy started frozen drew its menu in " << lateMenu.count() << " ms and stopped in "
              << stop.count() << " ms" << std::endl;
    EXPECT_LE(redraw, 500ms);
    EXPECT_LE(quit, 1s);
    EXPECT_LE(lateMenu, 4s);  // the display's and the hotkey's start-up bounds
    EXPECT_LE(stop, 1s);
    const std::string lateErrors = readUntilEnd(late.errors, 1s);
    EXPECT_EQ(occurrences(lateErrors, "hotkey"), 1) << lateErrors;
    EXPECT_NE(lateErrors.find("keepawake: the X display did not answer within a second; running without a hotkey.\n"),
              std::string::npos)
        << lateErrors;
}

TEST_F(Hotkey, ADisplayThatGoesAwayIsOneLineAndTheMenuGoesOn) {
    ChildProcess& copy = startCopy("ctrl+alt+k");
    std::string& screen = seen.back();
    EXPECT_TRUE(pressShows(copy, &screen, "ctrl+alt+k", screens::allowed)) << screen;
    const int display = server.display;
    stopXServer(server);
    holdDisplay(display);  // no other test's server takes its number meanwhile
    std::string errors;
    EXPECT_TRUE(readUntilContains(copy.errors, "hotkey", 5s, &errors)) << errors;
    typeInto(copy, "d\n");
    EXPECT_TRUE(readUntilContains(copy.output, screens::heldOff, 5s, &screen));
    typeInto(copy, "q\n");
    EXPECT_EQ(waitForExit(copy, 5s), 0);
    errors += readUntilEnd(copy.errors, 1s);
    releaseDisplay(display);
    EXPECT_EQ(occurrences(errors, "hotkey"), 1) << errors;
    EXPECT_NE(errors.find("keepawake: the X display went away; the hotkey no longer works.\n"), std::string::npos)
        << errors;
}

// A session bus of its own: with no services at all, with those the machine
// installs (Debian 12's xdg-desktop-portal has no GlobalShortcuts), or one
// that never answers.
struct SessionBus {
    pid_t daemon = -1;
    std::string address;
};

SessionBus startSessionBus(const std::filesystem::path& folder, bool machineServices) {
    const std::string socket = "unix:path=" + (folder / "bus").string();
    std::vector<std::string> command{"dbus-daemon", "--session", "--nofork", "--address=" + socket};
    if (!machineServices) {
        const std::filesystem::path config = folder / "bus.conf";
        FILE* file = std::fopen(config.c_str(), "w");
        std::fputs("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><policy context=\"default\">"
                   "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/></policy>"
                   "</busconfig>\n",
                   file);
        std::fclose(file);
        command = {"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--address=" + socket};
    }
    SessionBus bus;
    bus.daemon = fork();
    if (bus.daemon == 0) {
        // What the services it starts say is not the test's.
        std::freopen("/dev/null", "w", stderr);
        std::vector<char*> words;
        for (std::string& word : command) {
            words.push_back(word.data());
        }
        words.push_back(nullptr);
        execvp(words[0], words.data());
        _exit(127);
    }
    for (int i = 0; i < 100 && !std::filesystem::exists(folder / "bus"); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    bus.address = std::filesystem::exists(folder / "bus") ? socket : "";
    return bus;
}

TEST(HotkeyWayland, WithoutThePortalOneLineSaysWhatToBindInstead) {
    enum class Bus { empty, machineServices, silent };
    struct Case {
        const char* name;
        Bus bus;
        const char* why;  // in the line's parentheses
    };
    const Case cases[] = {
        {"no portal on the bus", Bus::empty, "org.freedesktop.portal.Desktop"},
        {"the machine's own portal", Bus::machineServices, "GlobalShortcuts"},
        {"a bus that never answers", Bus::silent, "gave no session within 5 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.bus == Bus::machineServices && !std::filesystem::exists("/usr/share/dbus-1/services/org.freedesktop.portal.Desktop.service")) {
            std::cout << "not run: " << c.name << ": no xdg-desktop-portal on this machine" << std::endl;
            continue;
        }
        char pattern[] = "/tmp/keepawake-portal-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        const std::filesystem::path folder = pattern;
        SilentBus silent;
        SessionBus bus;
        if (c.bus == Bus::silent) {
            silent = startSilentBus();
            bus.address = silent.address;
        } else {
            bus = startSessionBus(folder, c.bus == Bus::machineServices);
        }
        ASSERT_FALSE(bus.address.empty()) << "the bus could not be started";
        ChildProcess copy = startChild({KEEPAWAKE_PROGRAM, "--hotkey", "ctrl+alt+k"},
                                       {"WAYLAND_DISPLAY=wayland-none", "DBUS_SESSION_BUS_ADDRESS=" + bus.address,
                                        "XDG_RUNTIME_DIR=" + folder.string(), "DISPLAY"});
        std::string screen;
        EXPECT_TRUE(readUntilContains(copy.output, screens::heldOff, 10s, &screen));
        std::string errors;
        EXPECT_TRUE(readUntilContains(copy.errors, "keepawake --toggle", 10s, &errors)) << errors;
        typeInto(copy, "e\n");
        EXPECT_TRUE(readUntilContains(copy.output, screens::allowed, 5s, &screen));
        typeInto(copy, "q\n");
        EXPECT_EQ(waitForExit(copy, 5s), 0);
        errors += readUntilEnd(copy.errors, 1s);
        releaseChild(copy);
        if (bus.daemon > 0) {
            kill(bus.daemon, SIGTERM);
            waitpid(bus.daemon, nullptr, 0);
        }
        stopSilentBus(silent);
        std::filesystem::remove_all(folder);
        EXPECT_EQ(occurrences(errors, "ctrl+alt+k"), 1) << errors;
        const std::size_t line = errors.find("keepawake: no global shortcut ctrl+alt+k in this Wayland session (");
        EXPECT_NE(line, std::string::npos) << errors;
        EXPECT_NE(errors.find(c.why, line), std::string::npos) << errors;
        EXPECT_NE(errors.find("); bind the command 'keepawake --toggle' to a key in the desktop's keyboard settings "
                              "instead.\n"),
                  std::string::npos)
            << errors;
    }
}

TEST(HotkeyWayland, APortalThatBindsTheKeysTogglesOnEachActivation) {
    // A stand-in portal: what it shows is that the program speaks the
    // portal's protocol as its documentation has it, not that a desktop binds.
    for (const bool declined : {false, true}) {
        SCOPED_TRACE(declined ? "declined" : "bound");
        char pattern[] = "/tmp/keepawake-portal-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        const std::filesystem::path folder = pattern;
        SessionBus bus = startSessionBus(folder, false);
        ASSERT_FALSE(bus.address.empty()) << "dbus-daemon could not be started";
        const std::string address = "DBUS_SESSION_BUS_ADDRESS=" + bus.address;
        ChildProcess portal = startChild(declined ? std::vector<std::string>{FAKE_PORTAL, "--decline"}
                                                  : std::vector<std::string>{FAKE_PORTAL},
                                         {address});
        std::string told;
        ASSERT_TRUE(readUntilContains(portal.output, "ready\n", 10s, &told)) << told;
        ChildProcess copy = startChild({KEEPAWAKE_PROGRAM, "--hotkey", "super+shift+f9"},
                                       {"WAYLAND_DISPLAY=wayland-none", address, "XDG_RUNTIME_DIR=" + folder.string(),
                                        "DISPLAY"});
        std::string screen;
        EXPECT_TRUE(readUntilContains(copy.output, screens::heldOff, 10s, &screen));
        EXPECT_TRUE(readUntilContains(portal.output, "bound toggle SHIFT+LOGO+F9\n", 10s, &told)) << told;
        std::string errors;
        if (declined) {
            EXPECT_TRUE(readUntilContains(copy.errors, "keepawake --toggle", 10s, &errors)) << errors;
            EXPECT_NE(errors.find("keepawake: no global shortcut shift+super+f9 in this Wayland session (the binding "
                                  "was declined); bind"),
                      std::string::npos)
                << errors;
        } else {
            for (const std::string& next : {screens::allowed, screens::heldOff}) {
                typeInto(portal, "press\n");
                EXPECT_TRUE(readUntilContains(copy.output, next, 5s, &screen)) << screen;
            }
        }
        typeInto(copy, "q\n");
        EXPECT_EQ(waitForExit(copy, 5s), 0);
        errors += readUntilEnd(copy.errors, 1s);
        EXPECT_EQ(occurrences(errors, "shift+super+f9"), declined ? 1 : 0) << errors;
        closeInput(portal);
        waitForExit(portal, 5s);
        releaseChild(portal);
        releaseChild(copy);
        kill(bus.daemon, SIGTERM);
        waitpid(bus.daemon, nullptr, 0);
        std::filesystem::remove_all(folder);
    }
}

}  // namespace
