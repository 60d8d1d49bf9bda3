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
#include "platform/linux/watcher_settings.h"
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

// The settings files of Xfce's and LXQt's watchers: xfconf channel files
// (the user's first, then each system folder's) and QSettings' INI.
TEST(IdleManagers, XfconfChannelsAndLxqtSettings) {
    const auto channel = [](const std::string& body) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<channel name=\"c\" version=\"1.0\">\n" + body +
               "</channel>\n";
    };
    const std::string delay2 = channel(
        "<property name=\"saver\" type=\"empty\">\n <property name=\"idle-activation\" type=\"empty\">\n"
        "  <property name=\"delay\" type=\"int\" value=\"2\"/>\n </property>\n</property>\n");
    const auto locked = [&](const std::string& who) {
        return channel("<property name=\"saver\" type=\"empty\"><property name=\"idle-activation\" type=\"empty\">"
                       "<property name=\"delay\" type=\"int\" value=\"30\" locked=\"" + who +
                       "\"/></property></property>");
    };
    const std::string delay = "/saver/idle-activation/delay";
    const struct {
        bool xfconf;
        std::vector<std::string> files;
        std::string key;
        std::optional<std::string> value;
    } rows[] = {
        {true, {delay2}, delay, "2"},
        {true, {delay2}, "/Saver/Idle-Activation/Delay", "2"},  // names in any case
        {true, {delay2}, "/saver/delay", std::nullopt},
        {true, {"", delay2}, delay, "2"},                        // the system's, where the user sets none
        {true, {delay2, locked("")}, delay, "2"},                // the user's over an unlocked system value
        {true, {delay2, locked("*")}, delay, "30"},              // a locked one wins
        {true, {delay2, locked("alice, @wheel")}, delay, "2"},   // locked for others only
        {true, {delay2, locked("alice,@staff")}, delay, "30"},   // locked for a group of this user's
        {true, {delay2, locked("tester")}, delay, "30"},
        // A locked channel without the property: the program's default holds.
        {true, {delay2, "<channel name=\"c\" version=\"1.0\" locked=\"*\">\n</channel>\n"}, delay, std::nullopt},
        {true, {"", channel("<property name=\"a\" type=\"int\" value=\"1\"/>"),
                channel("<property name=\"a\" type=\"int\" value=\"2\"/>")}, "/a", "1"},  // first system folder first
        // Nesting: the same name under two parents, an empty element and an
        // array do not leak into their siblings' paths.
        {true, {channel("<property name=\"lock\" type=\"empty\"><property name=\"delay\" value=\"1\"/></property>"
                        "<property name=\"saver\" type=\"empty\"><property name=\"delay\" value=\"9\"/></property>")},
         "/saver/delay", "9"},
        {true, {channel("<property name=\"a\" type=\"empty\"/><property name=\"b\" type=\"int\" value=\"3\"/>")}, "/b",
         "3"},
        {true, {channel("<property name=\"list\" type=\"array\"><value type=\"int\" value=\"1\"/>"
                        "<value type=\"int\" value=\"2\"/></property><property name=\"after\" value=\"x\"/>")},
         "/after", "x"},
        {true, {channel("<!-- <property name=\"a\" value=\"no\"/> --><property name=\"a\" value=\"&lt;5&gt; &amp;\"/>")},
         "/a", "<5> &"},
        {true, {"<channel name=\"c\"><property name=\"a\" value=\"1\""}, "/a", std::nullopt},  // cut short
        {false, {"[General]\nenableIdlenessWatcher=true\n"}, "General/enableIdlenessWatcher", "true"},
        // QTime as QSettings stores it: 2 min, 15 min.
        {false, {"[General]\nidlenessACTime=@Variant(\\0\\0\\0\\xf\\0\\0\\x1\\xd4\\xc0)\n"}, "General/idlenessACTime",
         "@Time:120"},
        {false, {"[General]\nidlenessBatteryTime=@Variant(\\0\\0\\0\\xf\\0\\0\\r\\xbb\\xa0)\n"},
         "General/idlenessBatteryTime", "@Time:900"},
        {false, {"idlenessTimeSecs=300\n[Other]\nidlenessACAction=4\n"}, "General/idlenessTimeSecs", "300"},
        {false, {"idlenessTimeSecs=300\n[Other]\nidlenessACAction=4\n"}, "General/idlenessACAction", std::nullopt},
        {false, {"", "[General]\nidlenessACAction=-2\n"}, "General/idlenessACAction", "-2"},
        {false, {"[General]\nidlenessACAction=4\n", "[General]\nidlenessACAction=-2\n"}, "General/idlenessACAction",
         "4"},
        {false, {"; note\n[General]\nname = \"a;b\" \n"}, "General/name", "a;b"},
    };
    const SettingsUser user{"tester", {"users", "staff"}};
    for (const auto& row : rows) {
        const std::optional<std::string> value =
            row.xfconf ? xfconfValue(row.files, row.key, user) : qtIniValue(row.files, row.key);
        EXPECT_EQ(value, row.value) << row.key << " in " << row.files.back();
    }
    EXPECT_EQ(settingNumber(std::string("@Time:900")), 900);
    EXPECT_EQ(settingNumber(std::string("-1")), -1);
    EXPECT_EQ(settingNumber(std::string("2 min")), std::nullopt);
    EXPECT_EQ(settingBool(std::string("True")), true);
    EXPECT_EQ(settingBool(std::string("yes")), std::nullopt);
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
// their command line and hypridle's configuration say, found in /proc, paces
// the nudges. A 3 s swayidle on this display (its screen named) takes the
// interval down to the shortest; in another session it is listed apart and
// paces nothing.
TEST_F(Diagnose, IdleManagersFoundInProcWithTheirTimeouts) {
    XServer server = startServer();
    ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
    std::filesystem::create_directories(home + "/config/hypr");
    std::ofstream(home + "/config/hypr/hypridle.conf")
        << "general {\n    ignore_dbus_inhibit = true\n}\nlistener {\n    timeout = 240\n    on-timeout = lock\n}\n";
    // A shell under each name, which keeps its arguments and waits.
    std::filesystem::copy_file("/bin/sh", home + "/swayidle");
    std::filesystem::copy_file("/bin/sh", home + "/hypridle");
    std::ofstream(home + "/wait.sh") << "sleep 30\n";
    const std::string display = displayName(server);
    const Words here = environment({"DISPLAY=" + display});
    std::vector<ChildProcess> children{
        startChild({home + "/swayidle", "-c", "sleep 30; true", "swayidle", "timeout", "300", "timeout", "120"}, here),
        // hypridle's -c names its configuration: the stand-in waits in a script.
        startChild({home + "/hypridle", home + "/wait.sh"}, here)};
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
    // Without the one that counts, the shortest of this session's is 2 min.
    auto end = [](ChildProcess& child) {
        kill(child.pid, SIGTERM);
        waitForExit(child, 2s);
        releaseChild(child);
    };
    end(children[2]);
    const Report without = diagnose({"DISPLAY=" + display});
    std::for_each(children.begin(), children.begin() + 2, end);
    std::for_each(children.begin() + 3, children.end(), end);
    EXPECT_EQ(report.status, 0) << report.output;
    EXPECT_TRUE(report.has("  nudge interval: 30 ms (the shortest interval: swayidle's 3 s, the shortest timer "
                           "nudges hold off, is 60 s or less)"))
        << report.output;
    EXPECT_EQ(without.status, 0) << without.output;
    EXPECT_EQ(without.lastLine(), "keepawake can keep this screen awake") << without.output;
    EXPECT_TRUE(without.has("  nudge interval: 1500 ms (one eightieth of swayidle's 2 min, the shortest timer nudges "
                            "hold off)"))
        << without.output;
    const std::string config = home + "/config/hypr/hypridle.conf";
    for (const std::string& line : Words{
             "  swayidle (runs its command): 120 s (its shortest timeout, from its command line, process " + pids[0] +
                 "); held off by nudges",
             "  hypridle ignore_dbus_inhibit: true: inhibitors are ignored (" + config + ")",
             "  hypridle (runs its listener's command): 240 s (its shortest listener, " + config +
                 "); held off by nudges",
         }) {
        EXPECT_TRUE(without.has(line)) << "missing: " << line << "\n" << without.output;
        // Read once, for the interval and the list alike.
        EXPECT_EQ(without.output.find(line), without.output.rfind(line)) << line << without.output;
    }
    for (std::size_t i = 0; i < std::size(quick); ++i) {
        const std::string& pid = pids[i + 2];
        const std::string timer = "swayidle (runs its command): 3 s (its shortest timeout, from its command line, "
                                  "process " + pid + ")";
        EXPECT_EQ(report.has("  in another session: " + timer + "\n"), !quick[i].thisSession) << timer << report.output;
        EXPECT_EQ(report.has("  " + timer + "; held off by nudges\n"), quick[i].thisSession) << report.output;
    }
    stopXServer(server);
}

// xfce4-screensaver's xfconf channel, read from its files with no xfconfd: the
// user's delay of 2 min paces the nudges; a system file's locked key wins over
// the user's, and an unlocked one does not.
TEST_F(Diagnose, XfconfChannelFilesPaceTheNudges) {
    XServer server = startServer();
    ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
    const std::string place = "/xfce4/xfconf/xfce-perchannel-xml/xfce4-screensaver.xml";
    std::filesystem::create_directories(home + "/config/xfce4/xfconf/xfce-perchannel-xml");
    std::filesystem::create_directories(home + "/system/xfce4/xfconf/xfce-perchannel-xml");
    std::ofstream(home + "/config" + place)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<channel name=\"xfce4-screensaver\" version=\"1.0\">\n"
           "  <property name=\"saver\" type=\"empty\">\n    <property name=\"idle-activation\" type=\"empty\">\n"
           "      <property name=\"delay\" type=\"int\" value=\"2\"/>\n    </property>\n  </property>\n"
           "  <property name=\"lock\" type=\"empty\">\n    <property name=\"enabled\" type=\"bool\" value=\"true\"/>\n"
           "    <property name=\"saver-activation\" type=\"empty\">\n"
           "      <property name=\"delay\" type=\"int\" value=\"3\"/>\n    </property>\n  </property>\n</channel>\n";
    std::ofstream(home + "/system" + place)
        << "<channel name=\"xfce4-screensaver\" version=\"1.0\">\n  <property name=\"lock\" type=\"empty\">\n"
           "    <property name=\"enabled\" type=\"bool\" value=\"false\" locked=\"*\"/>\n  </property>\n"
           "  <property name=\"saver\" type=\"empty\"><property name=\"idle-activation\" type=\"empty\">"
           "<property name=\"delay\" type=\"int\" value=\"30\"/></property></property>\n</channel>\n";
    std::filesystem::copy_file("/bin/sh", home + "/xfce4-screensaver");
    const Words here = environment({"DISPLAY=" + displayName(server), "XDG_CONFIG_DIRS=" + home + "/system"});
    ChildProcess watcher = startChild({home + "/xfce4-screensaver", "-c", "sleep 30; true"}, here);
    std::this_thread::sleep_for(100ms);
    const Report report = diagnose({"DISPLAY=" + displayName(server), "XDG_CONFIG_DIRS=" + home + "/system"});

    // A running copy follows the file as xfconfd rewrites it (a new file
    // renamed over the old), within the 2 s a change may take.
    ChildProcess copy = startChild({KEEPAWAKE_PROGRAM, "-n"}, here);
    const auto status = [&] {
        ChildProcess asked = startChild({KEEPAWAKE_PROGRAM, "--status"}, here);
        const std::string said = readUntilEnd(asked.output, 3s);
        waitForExit(asked, 2s);
        releaseChild(asked);
        return said;
    };
    std::string before;
    for (int i = 0; i < 100 && before.find(" awake since ") == std::string::npos; ++i) {
        std::this_thread::sleep_for(20ms);
        before = status();
    }
    {
        std::ifstream was(home + "/config" + place);
        std::string text((std::istreambuf_iterator<char>(was)), std::istreambuf_iterator<char>());
        text.replace(text.find("value=\"2\""), 9, "value=\"3\"");
        std::ofstream(home + "/config" + place + ".new") << text;
    }
    std::filesystem::rename(home + "/config" + place + ".new", home + "/config" + place);
    const auto changed = Clock::now();
    std::string after = status();
    while (after.find("every 2250 ms") == std::string::npos && Clock::now() - changed < 3s) {
        std::this_thread::sleep_for(50ms);
        after = status();
    }
    const auto took = Clock::now() - changed;
    for (ChildProcess* child : {&copy, &watcher}) {
        kill(child->pid, SIGTERM);
        waitForExit(*child, 5s);
        releaseChild(*child);
    }
    EXPECT_NE(before.find("by zero moves every 1500 ms, for xfce4-screensaver's 2 min\n"), std::string::npos) << before;
    EXPECT_NE(after.find("by zero moves every 2250 ms, for xfce4-screensaver's 3 min\n"), std::string::npos) << after;
    EXPECT_LT(took, 2s) << after;
    EXPECT_EQ(report.status, 0) << report.output;
    for (const std::string& line : Words{
             "  xfce4-screensaver (blanks the screen): 120 s (/saver/idle-activation/delay of the xfconf channel "
             "xfce4-screensaver); held off by nudges",
             "  nudge interval: 1500 ms (one eightieth of xfce4-screensaver's 2 min, the shortest timer nudges hold "
             "off)",
         }) {
        EXPECT_TRUE(report.has(line)) << "missing: " << line << "\n" << report.output;
    }
    EXPECT_EQ(report.output.find("locks the screen"), std::string::npos) << report.output;
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
