// The real program in Wayland sessions that offer nothing to keep awake:
// a compositor and a session bus that accept connections and never answer,
// no compositor at all, and the desktop module missing. Each time: one line
// on standard error, the menu as always, a bounded start, and no XTEST even
// though an X server is there to take it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>

#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"
#include "tests/support/screens.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A socket that takes connections into its backlog and never answers.
int silentSocket(const fs::path& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.native().copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Case {
    const char* name;
    bool copyAlone;  // the program without its module beside it
    std::vector<std::string> session;
    const char* saying;
};

TEST(WaylandSession, NothingToKeepAwakeIsOneLineAndTheMenuStillWorks) {
    XServer server = startXServer();
    ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
    setScreenSaverTimeout(server, 60);

    const fs::path folder = fs::temp_directory_path() / ("keepawake-wayland-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all);
    const int compositor = silentSocket(folder / "wayland-silent");
    const int bus = silentSocket(folder / "bus");
    ASSERT_GE(compositor, 0);
    ASSERT_GE(bus, 0);
    fs::copy_file(KEEPAWAKE_PROGRAM, folder / "keepawake");

    const std::string runtime = "XDG_RUNTIME_DIR=" + folder.string();
    const std::string silentBus = "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (folder / "bus").string();
    const std::string noBus = "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (folder / "none").string();
    const Case cases[] = {
        {"silent compositor and bus", false, {"WAYLAND_DISPLAY=wayland-silent", silentBus, "XDG_SESSION_TYPE"},
         "(XDG_SESSION_TYPE=unset, WAYLAND_DISPLAY=wayland-silent) offers no GNOME session manager"},
        {"session type only, no compositor", false, {"WAYLAND_DISPLAY", noBus, "XDG_SESSION_TYPE=wayland"},
         "(XDG_SESSION_TYPE=wayland, WAYLAND_DISPLAY=unset)"},
        {"module missing", true, {"WAYLAND_DISPLAY=wayland-silent", silentBus, "XDG_SESSION_TYPE"},
         "keepawake-desktop.so, which keeps one awake, could not be loaded"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> environment = c.session;
        environment.push_back(runtime);
        environment.push_back("DISPLAY=" + displayName(server));
        const std::string program = c.copyAlone ? (folder / "keepawake").string() : KEEPAWAKE_PROGRAM;

        const auto start = Clock::now();
        ChildProcess child = startChild({program}, environment);
        std::string output;
        ASSERT_TRUE(readUntilContains(child.output, "q = Quit the application", 10s, &output));
        const double startSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_LT(startSeconds, 4.0) << "the start waited on the silent desktop";

        const IdleWatch watch = watchIdle(server, 1s);
        EXPECT_EQ(watch.nudges, 0) << "XTEST was used in a Wayland session";

        typeInto(child, "e\nd\nq\n");
        closeInput(child);
        output += readUntilEnd(child.output, 10s);
        const auto quitAt = Clock::now();
        const int status = waitForExit(child, 10s);
        const double exitSeconds = std::chrono::duration<double>(Clock::now() - quitAt).count();
        const std::string errors = readUntilEnd(child.errors, 1s);
        releaseChild(child);

        EXPECT_EQ(status, 0);
        EXPECT_EQ(output, screens::heldOff + screens::allowed + screens::heldOff + screens::quitting +
                              screens::cleanedUp);
        EXPECT_NE(errors.find(c.saying), std::string::npos) << errors;
        EXPECT_EQ(errors.rfind("keepawake: ", 0), 0u) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        std::cout << "wayland, " << c.name << ": menu after " << startSeconds << " s, exit after " << exitSeconds
                  << " s, " << watch.nudges << " XTEST nudges in 1 s" << std::endl;
    }
    close(compositor);
    close(bus);
    fs::remove_all(folder);
    stopXServer(server);
}

}  // namespace
