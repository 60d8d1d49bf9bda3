// keepawake --diagnose against real parts: Xvfb with and without
// MIT-SCREEN-SAVER, a private system bus with dbusmock's logind holding
// another program's idle inhibitor, a running copy, no display at all, and
// a display and buses that accept and never answer.
#include <gtest/gtest.h>
#include <unistd.h>

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
#include "platform/linux/xscreensaver_settings.h"

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

// The watchers' settings files and X resources, as each watcher reads them.
TEST(WatcherSettings, XscreensaverTimesFileOverResourcesAndXautolockArguments) {
    const struct {
        const char* text;
        std::optional<std::uint32_t> seconds;
    } times[] = {
        {"0:10:00", 600}, {"1:00:00", 3600}, {"2:30", 150}, {"10", 600}, {" 5 ", 300}, {":45", 45},
        {"0:00:00", 0},   {"75:00", 4500},   {"0:90", 90},  {"1:2:3", 3723},
        // What xscreensaver itself refuses.
        {"1:75", std::nullopt}, {"2:60:00", std::nullopt}, {"1:100:00", std::nullopt}, {"10 min", std::nullopt},
        {"", std::nullopt},     {"1:00:", std::nullopt},   {"1:00:00:00", std::nullopt}, {"-5", std::nullopt},
    };
    for (const auto& time : times) {
        EXPECT_EQ(parseXscreensaverTime(time.text), time.seconds) << '"' << time.text << '"';
    }

    const std::string file = "~/.xscreensaver";
    const std::string defaults = "xscreensaver's default";
    const struct {
        const char* file;
        const char* resources;
        std::uint32_t timeout;
        std::string timeoutFrom;
        bool lock;
        std::uint32_t lockTimeout;
    } settings[] = {
        {"", "", 600, defaults, false, 0},
        {"timeout:\t0:02:00\nlock:\t\tTrue\nlockTimeout:\t0:01:00\n", "", 120, file, true, 60},
        {"", "xscreensaver.timeout:\t0:05:00\n*lock:\ton\n", 300, "X resources, xscreensaver.timeout", true, 0},
        // The file wins; a value it cannot read leaves the resources'.
        {"timeout: 3\nlock: no\n", "xscreensaver.timeout:\t0:05:00\nxscreensaver.lock: True\n", 180, file, false, 0},
        {"timeout: soon\nlock: maybe\n", "XScreenSaver.timeout:\t7\n", 420, "X resources, xscreensaver.timeout",
         false, 0},
        // Tighter resource names win, whatever their order.
        {"", "*timeout: 1\nxscreensaver*timeout: 2\nXft.dpi: 96\n", 120, "X resources, xscreensaver.timeout", false,
         0},
        {"", "xscreensaver.timeout: 3\n*timeout: 1\n", 180, "X resources, xscreensaver.timeout", false, 0},
        // Comments, and the lines a backslash carries on, are no settings.
        {"# timeout: 1\n! timeout: 2\nprograms:\t\\\n  timeout: 9 \\\n  - qix -root\n\ntimeout:\t0:20:00\n", "",
         1200, file, false, 0},
        // "Disable Screen Saver": it never blanks.
        {"timeout: 0:02:00\nmode:\toff\nlock: True\n", "", 0, file, true, 0},
    };
    for (const auto& row : settings) {
        const XscreensaverSettings read = readXscreensaverSettings(row.file, row.resources);
        EXPECT_EQ(read.timeout, row.timeout) << row.file << row.resources;
        EXPECT_EQ(read.timeoutFrom, row.timeoutFrom) << row.file << row.resources;
        EXPECT_EQ(read.lock, row.lock) << row.file << row.resources;
        EXPECT_EQ(read.lockTimeout, row.lockTimeout) << row.file << row.resources;
    }
    const XscreensaverSettings dpms = readXscreensaverSettings(
        "dpmsEnabled:\tTrue\ndpmsStandby:\t0:00:00\ndpmsSuspend:\t0:30:00\n", "xscreensaver.dpmsOff: 1:00:00\n");
    EXPECT_TRUE(dpms.dpmsEnabled);
    EXPECT_EQ(dpms.dpmsFrom, file);
    EXPECT_EQ((std::vector<std::uint32_t>{dpms.dpmsStandby, dpms.dpmsSuspend, dpms.dpmsOff}),
              (std::vector<std::uint32_t>{0, 1800, 3600}));
    EXPECT_FALSE(readXscreensaverSettings("", "").dpmsEnabled);

    const std::string arguments = "its command line, -time";
    const struct {
        Words arguments;
        const char* resources;
        std::uint32_t minutes;
        std::string from;
    } xautolock[] = {
        {{"xautolock", "-time", "3", "-locker", "slock"}, "", 3, arguments},
        {{"/usr/bin/xautolock", "-ti", "5"}, "Xautolock.time: 7\n", 5, arguments},
        {{"xautolock"}, "Xautolock.time:\t7\n", 7, "X resources, Xautolock.time"},
        // "-t" is -toggle's start too; 1 to 60 minutes only.
        {{"xautolock", "-t", "5"}, "", 10, "xautolock's default"},
        {{"xautolock", "-time", "0"}, "", 10, "xautolock's default"},
        {{"xautolock", "-time", "61"}, "xautolock.time: 2\n", 2, "X resources, Xautolock.time"},
        // A value of another option is no option.
        {{"xautolock", "-locker", "-time", "-time", "4"}, "", 4, arguments},
        {{"xautolock", "-notifier", "-time 2", "-noclose", "-time"}, "", 10, "xautolock's default"},
    };
    for (const auto& row : xautolock) {
        const XautolockTime read = readXautolockTime(row.arguments, row.resources);
        EXPECT_EQ(read.minutes, row.minutes) << testing::PrintToString(row.arguments);
        EXPECT_EQ(read.from, row.from) << testing::PrintToString(row.arguments);
    }
}

// Stand-ins named swayidle and hypridle (Debian 12 has no hypridle): what
// their command line and hypridle's configuration say, found in /proc.
TEST_F(Diagnose, IdleManagersFoundInProcWithTheirTimeouts) {
    XServer server = startServer();
    ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
    std::filesystem::create_directories(home + "/config/hypr");
    std::ofstream(home + "/config/hypr/hypridle.conf")
        << "general {\n    ignore_dbus_inhibit = true\n}\nlistener {\n    timeout = 240\n    on-timeout = lock\n}\n";
    // A shell under each name, which keeps its arguments and waits.
    std::filesystem::copy_file("/bin/sh", home + "/swayidle");
    std::filesystem::copy_file("/bin/sh", home + "/hypridle");
    ChildProcess swayidle =
        startChild({home + "/swayidle", "-c", "sleep 30; true", "swayidle", "timeout", "120", "timeout", "45"}, {});
    ChildProcess hypridle = startChild({home + "/hypridle", "-c", "sleep 30; true"}, {});
    std::this_thread::sleep_for(100ms);
    const pid_t swayidlePid = swayidle.pid;
    const pid_t hypridlePid = hypridle.pid;
    const Report report = diagnose({"DISPLAY=" + displayName(server)});
    for (ChildProcess* child : {&swayidle, &hypridle}) {
        kill(child->pid, SIGTERM);
        waitForExit(*child, 2s);
        releaseChild(*child);
    }
    EXPECT_EQ(report.status, 0) << report.output;
    const std::string config = home + "/config/hypr/hypridle.conf";
    for (const std::string& line : Words{
             "  swayidle (process " + std::to_string(swayidlePid) +
                 "): 45 s (its shortest timeout, from its command line); held off by nudges",
             "  hypridle ignore_dbus_inhibit: true: inhibitors are ignored (" + config + ")",
             "  hypridle (process " + std::to_string(hypridlePid) + "): 240 s (its shortest listener, " + config +
                 "); held off by nudges",
         }) {
        EXPECT_TRUE(report.has(line)) << "missing: " << line << "\n" << report.output;
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
