// keepawake --diagnose against real parts: Xvfb with and without
// MIT-SCREEN-SAVER, a private system bus with dbusmock's logind holding
// another program's idle inhibitor, a running copy, no display at all, and
// a display and buses that accept and never answer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/system_bus.h"
#include "tests/e2e/x_server.h"
#include "platform/linux/linux_diagnose.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Words = std::vector<std::string>;

struct Report {
    int status = 0;
    std::string output;
    std::string errors;
    double seconds = 0;

    bool has(const std::string& line) const { return output.find("\n" + line) != std::string::npos; }
    std::string lastLine() const {
        const auto end = output.size() > 0 ? output.size() - 1 : 0;
        return output.substr(output.rfind('\n', end - 1) + 1, end - output.rfind('\n', end - 1) - 1);
    }
};

class Diagnose : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/keepawake-diagnose-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        home = name;
        std::filesystem::create_directories(home + "/run");
        std::filesystem::permissions(home + "/run", std::filesystem::perms::owner_all);
    }
    void TearDown() override { std::filesystem::remove_all(home); }

    // Nothing of the machine's own: a home, runtime folder and settings of
    // the test's, and no bus unless the test names one.
    Words environment(const Words& more) const {
        Words words{"HOME=" + home, "XDG_RUNTIME_DIR=" + home + "/run", "XDG_CONFIG_HOME=" + home + "/config",
                    "GSETTINGS_BACKEND=memory", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + home + "/no-session-bus",
                    "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + home + "/no-system-bus", "XDG_CURRENT_DESKTOP",
                    "DISPLAY"};
        words.insert(words.end(), more.begin(), more.end());
        return words;
    }

    Report diagnose(const Words& more) const {
        const auto start = Clock::now();
        ChildProcess child = startChild({KEEPAWAKE_PROGRAM, "--diagnose"}, environment(more));
        closeInput(child);
        Report report;
        report.output = readUntilEnd(child.output, 10s);
        report.errors = readUntilEnd(child.errors, 2s);
        report.status = waitForExit(child, 5s);
        report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        releaseChild(child);
        return report;
    }

    std::string home;
};

XServer startServer(const Words& extra = {}) {
    XServer server;
    for (int display = 500 + getpid() % 90; server.pid <= 0 && display < 600; display += 3) {
        server = startXServer(display, extra);
    }
    return server;
}

// Another program holding logind's idle inhibitor for as long as it runs.
ChildProcess holdIdleInhibitor(const SystemBus& bus) {
    ChildProcess holder = startChild(
        {"/usr/bin/python3", "-c",
         "import dbus, os, time\n"
         "bus = dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS'])\n"
         "login = bus.get_object('org.freedesktop.login1', '/org/freedesktop/login1')\n"
         "fd = login.Inhibit('idle:sleep', 'presenter', 'Showing slides', 'block',\n"
         "                   dbus_interface='org.freedesktop.login1.Manager')\n"
         "print('held', flush=True)\n"
         "time.sleep(60)\n"},
        {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address});
    std::string seen;
    if (!readUntilContains(holder.output, "held", 10s, &seen)) {
        kill(holder.pid, SIGKILL);
        waitForExit(holder, 2s);
        releaseChild(holder);
        holder.pid = -1;
    }
    return holder;
}

}  // namespace

TEST_F(Diagnose, X11WithLogindAndAnotherHolderAndARunningCopy) {
    XServer server = startServer();
    ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
    setScreenSaverTimeout(server, 600);
    SystemBus bus = startSystemBus();
    ASSERT_FALSE(bus.address.empty()) << "no private bus";
    ASSERT_TRUE(startMock(bus, "org.freedesktop.login1", "/org/freedesktop/login1")) << "dbusmock's logind did not start";
    ASSERT_TRUE(busCall(bus, {"--dest", "org.freedesktop.login1", "--object-path", "/org/freedesktop/login1",
                              "--method", "org.freedesktop.DBus.Mock.UpdateProperties", "org.freedesktop.login1.Manager",
                              "{'IdleAction': <'suspend'>, 'IdleActionUSec': <uint64 1800000000>}"}));
    ChildProcess holder = holdIdleInhibitor(bus);
    ASSERT_GT(holder.pid, 0) << "the other program could not take logind's idle inhibitor";
    const Words here{"DISPLAY=" + displayName(server), "DBUS_SYSTEM_BUS_ADDRESS=" + bus.address};

    // A copy of keepawake, running and keeping the display awake.
    ChildProcess copy = startChild({KEEPAWAKE_PROGRAM, "-n"}, environment(here));
    const std::string socket = home + "/run/keepawake-control/" + std::to_string(copy.pid) + ".sock";
    for (int i = 0; i < 400 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(300ms);  // its first nudges, so the idle time is low

    const Report report = diagnose(here);
    const pid_t copyPid = copy.pid;
    kill(copy.pid, SIGTERM);
    waitForExit(copy, 5s);
    releaseChild(copy);

    EXPECT_EQ(report.status, 0) << report.output << report.errors;
    EXPECT_TRUE(report.errors.empty()) << report.errors;
    EXPECT_LT(report.seconds, 2.0) << "every service answered";
    for (const std::string& line : Words{
             "  kept awake by: XTEST relative moves, there now (X display " + displayName(server) + ")\n",
             "  screen-saver timeout: 600 s (X server, GetScreenSaver); held off by nudges\n",
             "  nudge interval: 7500 ms",
             "  screen-saver cycle: ",
             "  logind IdleAction (suspend): 1800 s (logind Manager IdleAction, IdleActionUSec); held off by nudges\n",
             "  MIT-SCREEN-SAVER: there",
             "  one nudge: counted: idle time fell from ",
             "  logind inhibitor of presenter: Showing slides (idle:sleep, block, process ",
             "  keepawake " + std::to_string(copyPid) + ": awake since ",
             "  desktop inhibitors: cannot be read here (",
         }) {
        EXPECT_TRUE(report.has(line)) << "missing: " << line << "\n" << report.output;
    }
    EXPECT_EQ(report.lastLine().rfind("keepawake can keep this screen awake; worth knowing: logind inhibitor of "
                                      "presenter also holds the screen awake",
                                      0),
              0u)
        << report.output;

    // It took nothing of logind's and left the other program's inhibitor be.
    const Report again = diagnose(here);
    EXPECT_TRUE(again.has("  logind inhibitor of presenter: ")) << again.output;
    EXPECT_TRUE(again.has("  running copies of keepawake: none")) << again.output;
    kill(holder.pid, SIGTERM);
    waitForExit(holder, 5s);
    releaseChild(holder);
    stopSystemBus(bus);
    stopXServer(server);
}

TEST_F(Diagnose, WithoutMitScreenSaverTheNudgeCannotBeCheckedAndSaysSo) {
    XServer server = startServer({"-extension", "MIT-SCREEN-SAVER"});
    ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
    const Report report = diagnose({"DISPLAY=" + displayName(server)});
    EXPECT_EQ(report.status, 0) << report.output;
    EXPECT_TRUE(report.has("  MIT-SCREEN-SAVER: not there")) << report.output;
    EXPECT_TRUE(report.has("  one nudge: cannot be read here (the X server has no MIT-SCREEN-SAVER extension"))
        << report.output;
    EXPECT_TRUE(report.has("  logind IdleAction: cannot be read here (")) << report.output;
    EXPECT_EQ(report.lastLine(),
              "keepawake can keep this screen awake; worth knowing: whether one nudge counted could not be checked here "
              "(the X server has no MIT-SCREEN-SAVER extension to tell the idle time)");
    stopXServer(server);
}

TEST_F(Diagnose, NoDisplayIsAVerdictOfItsOwnWithExitOne) {
    for (const Words& where : {Words{}, Words{"DISPLAY=:7389"}}) {
        const Report report = diagnose(where);
        EXPECT_EQ(report.status, 1) << report.output;
        EXPECT_TRUE(report.errors.empty()) << report.errors;
        EXPECT_EQ(report.lastLine().rfind("keepawake cannot keep this screen awake: ", 0), 0u) << report.output;
        EXPECT_NE(report.lastLine().find(where.empty() ? "no display here" : "cannot be reached"), std::string::npos)
            << report.output;
        EXPECT_TRUE(report.has("  nudge interval: 30 ms (no timeout known")) << report.output;
    }
}

TEST_F(Diagnose, ADisplayAndBusesThatNeverAnswerAreBoundedAndNamed) {
    SilentDisplay display = startSilentDisplay(false);
    SilentBus session = startSilentBus();
    SilentBus system = startSilentBus();
    ASSERT_GE(display.display, 0);
    ASSERT_FALSE(session.address.empty());
    ASSERT_FALSE(system.address.empty());
    const Report report = diagnose({"DISPLAY=" + display.name, "DBUS_SESSION_BUS_ADDRESS=" + session.address,
                                    "DBUS_SYSTEM_BUS_ADDRESS=" + system.address});
    EXPECT_EQ(report.status, 1) << report.output;
    EXPECT_LT(report.seconds, 4.0) << "bounded: at most 3 s in all";
    for (const std::string& line : Words{"  what the X display " + display.name + " tells: cannot be read here (",
                                   "  what the session bus tells: cannot be read here (",
                                   "  what the system bus tells: cannot be read here ("}) {
        EXPECT_TRUE(report.has(line)) << "missing: " << line << "\n" << report.output;
    }
    EXPECT_EQ(report.lastLine().rfind("keepawake cannot keep this screen awake: the X display " + display.name +
                                          " did not answer in time",
                                      0),
              0u)
        << report.output;

    // A real display beside the silent buses still gets its whole report.
    XServer server = startServer();
    ASSERT_GT(server.pid, 0);
    const Report onX = diagnose({"DISPLAY=" + displayName(server), "DBUS_SESSION_BUS_ADDRESS=" + session.address,
                                 "DBUS_SYSTEM_BUS_ADDRESS=" + system.address});
    EXPECT_EQ(onX.status, 0) << onX.output;
    EXPECT_LT(onX.seconds, 4.0);
    EXPECT_TRUE(onX.has("  one nudge: counted")) << onX.output;
    EXPECT_TRUE(onX.has("  what the system bus tells: cannot be read here (")) << onX.output;
    stopXServer(server);
    stopSilentBus(session);
    stopSilentBus(system);
    stopSilentDisplay(display);
}

TEST(IdleManagers, HypridleConfigurationAndSwayidleArguments) {
    const struct {
        const char* text;
        bool ignores;
        std::optional<std::uint32_t> shortest;
    } configs[] = {
        {"", false, std::nullopt},
        {"general {\n  ignore_dbus_inhibit = true\n}\nlistener {\n  timeout = 300\n}\nlistener {\n timeout = 150\n}\n",
         true, 150},
        {"general { ignore_dbus_inhibit = false  ignore_systemd_inhibit = true }\nlistener { timeout = 3 }\n", false, 3},
        {"# ignore_dbus_inhibit = true\ngeneral {\n ignore_dbus_inhibit = false # not yet\n}\n", false, std::nullopt},
        // Only general's own key counts; a listener's timeout only inside one.
        {"listener {\n ignore_dbus_inhibit = true\n}\ntimeout = 5\n", false, std::nullopt},
        {"listener {\n timeout = soon\n}\nlistener {\n timeout = 600\n}\n", false, 600},
        {"general {\n ignore_dbus_inhibit = yes\n}\n", true, std::nullopt},
    };
    for (const auto& config : configs) {
        const HypridleConfig read = parseHypridleConfig(config.text);
        EXPECT_EQ(read.ignoresDbusInhibit, config.ignores) << config.text;
        EXPECT_EQ(read.shortestTimeout, config.shortest) << config.text;
    }
    EXPECT_EQ(swayidleShortestTimeout({"swayidle", "-w", "timeout", "300", "lock", "timeout", "60", "off"}), 60u);
    EXPECT_EQ(swayidleShortestTimeout({"swayidle", "-w", "before-sleep", "lock"}), std::nullopt);
    EXPECT_EQ(swayidleShortestTimeout({"swayidle", "timeout"}), std::nullopt);
}

// Stand-ins named swayidle and hypridle (Debian 12 has no hypridle): what
// their command line and hypridle's configuration say, found in /proc. A
// 3 s timeout comes before the next nudge: on this display (its screen
// named) it decides the verdict; in another session it is listed apart.
TEST_F(Diagnose, IdleManagersFoundInProcWithTheirTimeouts) {
    XServer server = startServer();
    ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
    std::filesystem::create_directories(home + "/config/hypr");
    std::ofstream(home + "/config/hypr/hypridle.conf")
        << "general {\n    ignore_dbus_inhibit = true\n}\nlistener {\n    timeout = 240\n    on-timeout = lock\n}\n";
    // A shell under each name, which keeps its arguments and waits.
    std::filesystem::copy_file("/bin/sh", home + "/swayidle");
    std::filesystem::copy_file("/bin/sh", home + "/hypridle");
    const std::string display = displayName(server);
    const Words here = environment({"DISPLAY=" + display});
    std::vector<ChildProcess> children{
        startChild({home + "/swayidle", "-c", "sleep 30; true", "swayidle", "timeout", "120", "timeout", "45"}, here),
        startChild({home + "/hypridle", "-c", "sleep 30; true"}, here)};
    const struct {
        Words environment;
        bool thisSession;
    } quick[] = {
        {{"DISPLAY=" + display + ".0"}, true},
        {{"DISPLAY=:9999"}, false},
        {{"DISPLAY"}, false},
        {{"XDG_RUNTIME_DIR=" + home + "/elsewhere"}, false},
        {{"XDG_RUNTIME_DIR"}, false},
    };
    for (const auto& standIn : quick) {
        Words environment = here;
        environment.insert(environment.end(), standIn.environment.begin(), standIn.environment.end());
        children.push_back(
            startChild({home + "/swayidle", "-c", "sleep 30; true", "swayidle", "timeout", "3"}, environment));
    }
    std::this_thread::sleep_for(100ms);
    std::vector<std::string> pids;
    for (const ChildProcess& child : children) {
        pids.push_back(std::to_string(child.pid));
    }
    const Report report = diagnose({"DISPLAY=" + display});
    // Without the one that counts, the verdict is left to the rest.
    auto end = [](ChildProcess& child) {
        kill(child.pid, SIGTERM);
        waitForExit(child, 2s);
        releaseChild(child);
    };
    end(children[2]);
    const Report without = diagnose({"DISPLAY=" + display});
    std::for_each(children.begin(), children.begin() + 2, end);
    std::for_each(children.begin() + 3, children.end(), end);
    EXPECT_EQ(report.status, 1) << report.output;
    EXPECT_EQ(report.lastLine().rfind("keepawake cannot keep this screen awake: swayidle (process " + pids[2] +
                                          ") (3 s, its shortest timeout",
                                      0),
              0u)
        << report.output;
    EXPECT_EQ(without.status, 0) << without.output;
    EXPECT_EQ(without.lastLine(), "keepawake can keep this screen awake") << without.output;
    const std::string config = home + "/config/hypr/hypridle.conf";
    for (const std::string& line : Words{
             "  swayidle (process " + pids[0] +
                 "): 45 s (its shortest timeout, from its command line); held off by nudges",
             "  hypridle ignore_dbus_inhibit: true: inhibitors are ignored (" + config + ")",
             "  hypridle (process " + pids[1] + "): 240 s (its shortest listener, " + config +
                 "); held off by nudges",
         }) {
        EXPECT_TRUE(without.has(line)) << "missing: " << line << "\n" << without.output;
    }
    for (std::size_t i = 0; i < std::size(quick); ++i) {
        const std::string& pid = pids[i + 2];
        const std::string apart = "  swayidle (process " + pid + "): in another session, not counted (its display "
                                  "or XDG_RUNTIME_DIR in /proc/" + pid + "/environ is not this one's)\n";
        EXPECT_EQ(report.has(apart), !quick[i].thisSession) << apart << report.output;
        EXPECT_EQ(report.has("  swayidle (process " + pid + "): 3 s"), quick[i].thisSession) << report.output;
    }
    stopXServer(server);
}

// A copy of the program without its modules beside it: the X display is
// there, but nothing can keep it awake, and the verdict says why.
TEST_F(Diagnose, WithoutTheX11ModuleTheVerdictNamesIt) {
    XServer server = startServer();
    ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
    const std::string alone = home + "/keepawake";
    std::filesystem::copy_file(KEEPAWAKE_PROGRAM, alone);
    ChildProcess child = startChild({alone, "--diagnose"}, environment({"DISPLAY=" + displayName(server)}));
    closeInput(child);
    Report report;
    report.output = readUntilEnd(child.output, 10s);
    report.status = waitForExit(child, 5s);
    releaseChild(child);
    EXPECT_EQ(report.status, 1) << report.output;
    EXPECT_EQ(report.lastLine(), "keepawake cannot keep this screen awake: keepawake-x11.so is missing: reinstall "
                                 "keepawake, or install the xcb libraries it names")
        << report.output;
    EXPECT_TRUE(report.has("  desktop, bus and logind readers: cannot be read here (keepawake-desktop.so could not be "
                           "loaded"))
        << report.output;
    stopXServer(server);
}
