// The control options against real running copies on a private X server:
// what each option does to the nudges the server sees, the status lines and
// exit statuses, the menu's redraw, stale sockets, another user, and clients
// that misbehave while the menu must keep answering at once.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <regex>
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

const std::string shutdownLines = screens::quitting + screens::cleanedUp;

struct Ran {
    int status;
    std::string output;
    std::string errors;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class ControlOnX : public testing::Test {
protected:
    void SetUp() override {
        // Far above the numbers other servers take: a copy left running
        // elsewhere retries the display it lost, and would nudge this one.
        for (int display = 600 + getpid() % 300; server.pid <= 0 && display < 950; display += 7) {
            server = startXServer(display);
        }
        ASSERT_GT(server.pid, 0) << "Xvfb could not be started";
        setScreenSaverTimeout(server, 600);
        // A runtime folder of the test's own: copies of other tests stay apart.
        char name[] = "/tmp/keepawake-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        runtime = name;
        folder = runtime + "/keepawake-control";
    }

    void TearDown() override {
        stopXServer(server);
        std::filesystem::remove_all(runtime);
    }

    Words environment() const { return {"DISPLAY=" + displayName(server), "XDG_RUNTIME_DIR=" + runtime}; }

    ChildProcess start(Words words) {
        words.insert(words.begin(), KEEPAWAKE_PROGRAM);
        ChildProcess child = startChild(words, environment());
        // Listening once its socket has its name.
        const std::string socket = folder + "/" + std::to_string(child.pid) + ".sock";
        for (int i = 0; i < 400 && !std::filesystem::exists(socket); ++i) {
            std::this_thread::sleep_for(5ms);
        }
        return child;
    }

    Ran control(const std::string& option, const Words& prefix = {}) {
        Words words = prefix;
        words.push_back(KEEPAWAKE_PROGRAM);
        words.push_back(option);
        ChildProcess client = startChild(words, environment());
        Ran ran{0, readUntilEnd(client.output, 5s), readUntilEnd(client.errors, 5s)};
        ran.status = waitForExit(client, 5s);
        releaseChild(client);
        return ran;
    }

    std::string socketOf(pid_t pid) const { return folder + "/" + std::to_string(pid) + ".sock"; }

    XServer server;
    std::string runtime;
    std::string folder;
};

// "4242 awake since 13:02:11" and what may follow it.
bool isStatusLine(const std::string& line, pid_t pid, const std::string& state) {
    return std::regex_match(line, std::regex(std::to_string(pid) + " " + state + " since [0-2][0-9]:[0-5][0-9]:[0-5][0-9].*"));
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> all;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = text.find('\n', from);
        all.push_back(text.substr(from, end - from));
        from = end == std::string::npos ? text.size() : end + 1;
    }
    return all;
}

TEST_F(ControlOnX, EachOptionDoesWhatItSaysToANoMenuCopy) {
    Ran none = control("--status");
    std::cout << "no copy: --status " << none.status << ", " << none.errors;
    EXPECT_EQ(none.status, 3);
    EXPECT_EQ(none.output, "");
    EXPECT_EQ(lines(none.errors).size(), 1u) << none.errors;
    EXPECT_EQ(none.errors.rfind("keepawake: ", 0), 0u) << none.errors;
    EXPECT_FALSE(std::filesystem::exists(folder)) << "only a copy makes the folder";

    ChildProcess copy = start({"-n", "-i", "100ms"});
    struct stat info {};
    ASSERT_EQ(lstat(socketOf(copy.pid).c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(lstat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, getuid());

    Ran status = control("--status");
    std::cout << "awake: --status " << status.status << ": " << status.output;
    EXPECT_EQ(status.status, 0) << status.errors;
    ASSERT_EQ(lines(status.output).size(), 1u) << status.output;
    EXPECT_TRUE(isStatusLine(lines(status.output)[0], copy.pid, "awake")) << status.output;
    EXPECT_GE(watchIdle(server, 1s).nudges, 5);

    Ran paused = control("--pause");
    EXPECT_EQ(paused.status, 0) << paused.errors;
    std::this_thread::sleep_for(200ms);
    const IdleWatch whilePaused = watchIdle(server, 1500ms);
    status = control("--status");
    std::cout << "paused: " << whilePaused.nudges << " nudges in 1.5 s, largest idle " << whilePaused.largestIdleMs
              << " ms; --status " << status.status << ": " << status.output;
    EXPECT_EQ(whilePaused.nudges, 0);
    EXPECT_GE(whilePaused.largestIdleMs, 1400u);
    EXPECT_EQ(status.status, 1);
    EXPECT_TRUE(isStatusLine(lines(status.output)[0], copy.pid, "paused")) << status.output;

    EXPECT_EQ(control("--resume").status, 0);
    const IdleWatch resumed = watchIdle(server, 1s);
    std::cout << "resumed: " << resumed.nudges << " nudges in 1 s" << std::endl;
    EXPECT_GE(resumed.nudges, 5);

    // Toggling twice: paused, then awake again.
    const int statuses[] = {1, 0};
    const char* states[] = {"paused", "awake"};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(control("--toggle").status, 0);
        status = control("--status");
        std::cout << "toggled: --status " << status.status << ": " << status.output;
        EXPECT_EQ(status.status, statuses[i]);
        EXPECT_TRUE(isStatusLine(lines(status.output)[0], copy.pid, states[i])) << status.output;
    }

    const auto asked = Clock::now();
    Ran stop = control("--stop");
    const std::string output = readUntilEnd(copy.output, 5s);
    const int exited = waitForExit(copy, 5s);
    const double took = secondsSince(asked);
    std::cout << "stop: --stop " << stop.status << ", the copy exited " << exited << " after " << took << " s"
              << std::endl;
    releaseChild(copy);
    EXPECT_EQ(stop.status, 0);
    EXPECT_EQ(exited, 0);
    EXPECT_EQ(output, shutdownLines);
    EXPECT_LE(took, 1.0);
    EXPECT_FALSE(std::filesystem::exists(socketOf(copy.pid))) << "removed at exit";
}

TEST_F(ControlOnX, EveryCopyIsControlledAndDescribed) {
    ChildProcess first = start({"-n", "--for", "1h", "-i", "100ms"});
    ChildProcess second = start({"-i", "100ms", "--", "sleep", "30"});
    Ran status = control("--status");
    std::cout << "two copies: --status " << status.status << ":\n" << status.output;
    EXPECT_EQ(status.status, 0);
    const std::vector<std::string> listed = lines(status.output);
    ASSERT_EQ(listed.size(), 2u) << status.output;
    const bool firstFirst = first.pid < second.pid;
    const std::string& a = listed[firstFirst ? 0 : 1];
    const std::string& b = listed[firstFirst ? 1 : 0];
    EXPECT_TRUE(isStatusLine(a, first.pid, "awake")) << a;
    EXPECT_NE(a.find(", quits at "), std::string::npos) << a;
    EXPECT_TRUE(isStatusLine(b, second.pid, "awake")) << b;
    EXPECT_NE(b.find(", runs sleep 30"), std::string::npos) << b;

    EXPECT_EQ(control("--pause").status, 0);
    std::this_thread::sleep_for(200ms);
    const IdleWatch paused = watchIdle(server, 1s);
    status = control("--status");
    std::cout << "both paused: " << paused.nudges << " nudges in 1 s; --status " << status.status << ":\n"
              << status.output;
    EXPECT_EQ(paused.nudges, 0);
    EXPECT_EQ(status.status, 1);
    EXPECT_EQ(std::count(status.output.begin(), status.output.end(), '\n'), 2);
    EXPECT_EQ(status.output.find("awake"), std::string::npos);

    // A stop ends the first in order and reaches the command as SIGTERM.
    EXPECT_EQ(control("--stop").status, 0);
    const std::string output = readUntilEnd(first.output, 5s);
    EXPECT_EQ(waitForExit(first, 5s), 0);
    EXPECT_EQ(output, shutdownLines);
    EXPECT_EQ(waitForExit(second, 5s), 128 + SIGTERM);
    releaseChild(first);
    releaseChild(second);
    EXPECT_EQ(control("--status").status, 3);
}

TEST_F(ControlOnX, CopiesStartingAtTheSameMomentAllGetTheirEndpoint) {
    // The folder does not exist yet: all of them race to make it.
    ASSERT_FALSE(std::filesystem::exists(folder));
    std::vector<ChildProcess> copies;
    for (int i = 0; i < 4; ++i) {
        copies.push_back(startChild({KEEPAWAKE_PROGRAM, "-n", "-i", "100ms"}, environment()));
    }
    for (int i = 0; i < 400; ++i) {
        const bool all = std::all_of(copies.begin(), copies.end(),
                                     [&](const ChildProcess& c) { return std::filesystem::exists(socketOf(c.pid)); });
        if (all) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    const Ran status = control("--status");
    std::cout << "four at once: --status " << status.status << ", " << lines(status.output).size() << " lines"
              << std::endl;
    EXPECT_EQ(status.status, 0) << status.errors;
    EXPECT_EQ(lines(status.output).size(), 4u) << status.output;
    EXPECT_EQ(control("--stop").status, 0);
    for (ChildProcess& copy : copies) {
        const std::string errors = readUntilEnd(copy.errors, 5s);
        EXPECT_EQ(waitForExit(copy, 5s), 0);
        EXPECT_EQ(errors, "") << "no copy was refused its endpoint";
        releaseChild(copy);
    }
}

TEST_F(ControlOnX, TheMenuOfAPlainRunRedrawsAtOnceAndItsBytesStayTheSame) {
    // No arguments: the program as it always was, now reachable.
    ChildProcess copy = start({});
    std::string seen;
    ASSERT_TRUE(readUntilContains(copy.output, screens::heldOff, 5s, &seen));
    auto asked = Clock::now();
    EXPECT_EQ(control("--pause").status, 0);
    EXPECT_TRUE(readUntilContains(copy.output, screens::allowed, 1s, &seen)) << seen;
    const double pauseShown = secondsSince(asked);
    asked = Clock::now();
    EXPECT_EQ(control("--resume").status, 0);
    EXPECT_TRUE(readUntilContains(copy.output, screens::heldOff, 1s, &seen)) << seen;
    const double resumeShown = secondsSince(asked);
    EXPECT_EQ(control("--stop").status, 0);
    seen += readUntilEnd(copy.output, 5s);
    const int exited = waitForExit(copy, 5s);
    const std::string errors = readUntilEnd(copy.errors, 1s);
    releaseChild(copy);
    std::cout << "menu redrawn " << pauseShown << " s after --pause was started, " << resumeShown
              << " s after --resume; exit " << exited << std::endl;
    EXPECT_EQ(exited, 0);
    EXPECT_EQ(seen, screens::heldOff + screens::allowed + screens::heldOff + shutdownLines);
    EXPECT_EQ(errors, "") << "nothing of the endpoint shows";
}

TEST_F(ControlOnX, ASocketLeftByAKilledCopyIsFoundStaleAndRemoved) {
    ChildProcess copy = start({"-n", "-i", "100ms"});
    const std::string socket = socketOf(copy.pid);
    ASSERT_TRUE(std::filesystem::exists(socket));
    kill(copy.pid, SIGKILL);
    waitForExit(copy, 5s);
    releaseChild(copy);
    EXPECT_TRUE(std::filesystem::exists(socket)) << "nobody removed it yet";
    const auto asked = Clock::now();
    const Ran status = control("--status");
    std::cout << "kill -9: --status " << status.status << " after " << secondsSince(asked) << " s, socket "
              << (std::filesystem::exists(socket) ? "left" : "removed") << std::endl;
    EXPECT_EQ(status.status, 3);
    EXPECT_FALSE(std::filesystem::exists(socket));

    // The next copy to start clears one away as well.
    ChildProcess killed = start({"-n", "-i", "100ms"});
    const std::string left = socketOf(killed.pid);
    kill(killed.pid, SIGKILL);
    waitForExit(killed, 5s);
    releaseChild(killed);
    ChildProcess next = start({"-n", "-i", "100ms"});
    std::cout << "kill -9, then a new copy: the old socket " << (std::filesystem::exists(left) ? "left" : "removed")
              << std::endl;
    EXPECT_FALSE(std::filesystem::exists(left));
    EXPECT_TRUE(std::filesystem::exists(socketOf(next.pid)));
    kill(next.pid, SIGTERM);
    EXPECT_EQ(waitForExit(next, 5s), 0);
    releaseChild(next);

    // A folder others may write is refused on both sides: the copy says so
    // once and runs without an endpoint.
    chmod(folder.c_str(), 0770);
    ChildProcess unsafe = start({"-n", "-i", "100ms"});
    std::string errors;
    readUntilContains(unsafe.errors, "\n", 2s, &errors);
    const IdleWatch watch = watchIdle(server, 1s);
    const Ran refused = control("--status");
    std::cout << "folder 0770: " << errors << "  " << watch.nudges << " nudges in 1 s; --status " << refused.status
              << ", " << refused.errors;
    EXPECT_EQ(errors, "keepawake: no control endpoint: " + folder + " can be written by other users\n");
    EXPECT_FALSE(std::filesystem::exists(socketOf(unsafe.pid)));
    EXPECT_GE(watch.nudges, 5);
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.errors.find("can be written by other users"), std::string::npos);
    kill(unsafe.pid, SIGTERM);
    EXPECT_EQ(waitForExit(unsafe, 5s), 0);
    releaseChild(unsafe);
}

// Connects as another user straight to the socket, past the client's own
// checks; the reply, or "" when refused before one.
std::string askAsNobody(const std::string& path, const std::string& request) {
    int reply[2];
    if (pipe(reply) != 0) {
        return "no pipe";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(reply[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            _exit(3);
        }
        [[maybe_unused]] ssize_t n = write(fd, request.data(), request.size());
        char buffer[512];
        n = read(fd, buffer, sizeof buffer);
        n = write(reply[1], buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        _exit(0);
    }
    close(reply[1]);
    std::string got = readUntilEnd(reply[0], 3s);
    close(reply[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 3 ? "connect refused" : got;
}

TEST_F(ControlOnX, AnotherUserIsRefusedOnBothSides) {
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root to act as nobody";
    }
    ChildProcess copy = start({"-n", "-i", "100ms"});
    const std::string socket = socketOf(copy.pid);

    // Through the program: nobody's client refuses a folder that is not its own.
    const Ran asNobody = control("--pause", {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    std::cout << "nobody, --pause: status " << asNobody.status << ", " << asNobody.errors;
    EXPECT_NE(asNobody.status, 0);
    EXPECT_EQ(asNobody.errors.rfind("keepawake: ", 0), 0u) << asNobody.errors;

    // Straight to the socket: the folder's permission stops it first...
    const std::string request = "keepawake-control 1 pause\n";
    const std::string blocked = askAsNobody(socket, request);
    std::cout << "nobody, through the 0700 folder: " << blocked << std::endl;
    EXPECT_EQ(blocked, "connect refused");

    // ...and with the files opened up, SO_PEERCRED does.
    chmod(runtime.c_str(), 0755);
    chmod(folder.c_str(), 0755);
    chmod(socket.c_str(), 0666);
    const std::string refused = askAsNobody(socket, request);
    std::cout << "nobody, files opened up: " << refused;
    EXPECT_EQ(refused, "keepawake-control 1 error permission denied\n");
    // The program as nobody then sees the folder and refuses it as not its own.
    const Ran openedUp = control("--status", {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    std::cout << "nobody, --status, files opened up: status " << openedUp.status << ", " << openedUp.errors;
    EXPECT_EQ(openedUp.status, 3);
    EXPECT_NE(openedUp.errors.find("belongs to user 0"), std::string::npos) << openedUp.errors;
    chmod(folder.c_str(), 0700);

    const IdleWatch watch = watchIdle(server, 1s);
    std::cout << "after nobody: " << watch.nudges << " nudges in 1 s" << std::endl;
    EXPECT_GE(watch.nudges, 5) << "never paused by another user";
    kill(copy.pid, SIGTERM);
    EXPECT_EQ(waitForExit(copy, 5s), 0);
    releaseChild(copy);
}

TEST_F(ControlOnX, WithoutARuntimeFolderTheFolderUnderTmpMustBeTheUsers) {
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root to act as nobody";
    }
    const std::string tmpFolder = "/tmp/keepawake-control-65534";
    if (std::filesystem::exists(tmpFolder)) {
        GTEST_SKIP() << tmpFolder << " is in use";
    }
    const Words asNobody{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", KEEPAWAKE_PROGRAM};
    const Words noRuntime{"DISPLAY=" + displayName(server), "XDG_RUNTIME_DIR"};
    auto nobodyRuns = [&](const std::string& option) {
        Words words = asNobody;
        words.push_back(option);
        ChildProcess client = startChild(words, noRuntime);
        Ran ran{0, readUntilEnd(client.output, 5s), readUntilEnd(client.errors, 5s)};
        ran.status = waitForExit(client, 5s);
        releaseChild(client);
        return ran;
    };

    // Made first by someone else (here root): refused, and the copy runs on.
    ASSERT_EQ(mkdir(tmpFolder.c_str(), 0700), 0);
    Words words = asNobody;
    words.insert(words.end(), {"-n", "-i", "100ms"});
    ChildProcess squatted = startChild(words, noRuntime);
    std::string errors;
    readUntilContains(squatted.errors, "\n", 5s, &errors);
    std::cout << "nobody, " << tmpFolder << " made by root: " << errors;
    EXPECT_EQ(errors, "keepawake: no control endpoint: " + tmpFolder + " belongs to user 0, not to this user\n");
    EXPECT_GE(watchIdle(server, 1s).nudges, 5);
    kill(squatted.pid, SIGTERM);
    EXPECT_EQ(waitForExit(squatted, 5s), 0);
    releaseChild(squatted);
    rmdir(tmpFolder.c_str());

    // Missing: made 0700 for nobody, and reachable by nobody alone.
    ChildProcess copy = startChild(words, noRuntime);
    const std::string socket = tmpFolder + "/" + std::to_string(copy.pid) + ".sock";
    for (int i = 0; i < 400 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    struct stat info {};
    ASSERT_EQ(lstat(tmpFolder.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    const Ran status = nobodyRuns("--status");
    std::cout << "nobody, " << tmpFolder << " made by the copy: --status " << status.status << ": " << status.output;
    EXPECT_EQ(status.status, 0) << status.errors;
    EXPECT_TRUE(isStatusLine(lines(status.output)[0], copy.pid, "awake")) << status.output;
    const Ran stop = nobodyRuns("--stop");
    EXPECT_EQ(stop.status, 0) << stop.errors;
    EXPECT_EQ(waitForExit(copy, 5s), 0);
    releaseChild(copy);
    std::filesystem::remove_all(tmpFolder);
}

int connectRaw(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(ControlOnX, BadClientsNeverHoldUpTheMenuOrTheNudges) {
    ChildProcess copy = start({"-i", "100ms"});
    std::string seen;
    ASSERT_TRUE(readUntilContains(copy.output, screens::heldOff, 5s, &seen));
    const std::string socket = socketOf(copy.pid);

    // A silent one, one of 1 MiB, one of random bytes, a hundred more that
    // say nothing, and one that asks and leaves before the reply.
    const int silent = connectRaw(socket);
    ASSERT_GE(silent, 0);
    const int flood = connectRaw(socket);
    fcntl(flood, F_SETFL, O_NONBLOCK);
    std::thread flooding([flood] {
        const std::string mebibyte(1 << 20, 'x');
        std::size_t sent = 0;
        const auto until = Clock::now() + 2s;
        while (sent < mebibyte.size() && Clock::now() < until) {
            const ssize_t n = send(flood, mebibyte.data() + sent, mebibyte.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN) {
                break;
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    const int noise = connectRaw(socket);
    std::mt19937 random(7);
    std::string bytes(300, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    [[maybe_unused]] ssize_t n = send(noise, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::vector<int> crowd;
    for (int i = 0; i < 100; ++i) {
        crowd.push_back(connectRaw(socket));
    }
    const int leaver = connectRaw(socket);
    n = send(leaver, "keepawake-control 1 status\n", 27, MSG_NOSIGNAL);
    close(leaver);

    const IdleWatch during = watchIdle(server, 500ms);
    auto typed = Clock::now();
    typeInto(copy, "e\n");
    EXPECT_TRUE(readUntilContains(copy.output, screens::allowed, 1s, &seen));
    const double pauseMs = secondsSince(typed) * 1000;
    typeInto(copy, "d\n");
    EXPECT_TRUE(readUntilContains(copy.output, screens::heldOff, 1s, &seen));

    // What the bad ones got: an error line and the end, or the end after 1 s.
    std::string noiseReply;
    fcntl(noise, F_SETFL, 0);
    noiseReply = readUntilEnd(noise, 2s);
    const auto waited = Clock::now();
    const std::string silentGot = readUntilEnd(silent, 3s);
    const double silentClosedAfter = secondsSince(waited);
    flooding.join();
    fcntl(flood, F_SETFL, 0);
    const std::string floodReply = readUntilEnd(flood, 2s);

    const IdleWatch after = watchIdle(server, 500ms);
    const Ran status = control("--status");
    typed = Clock::now();
    typeInto(copy, "q\n");
    EXPECT_TRUE(readUntilContains(copy.output, screens::quitting, 1s, &seen));
    const double quitMs = secondsSince(typed) * 1000;
    EXPECT_EQ(waitForExit(copy, 5s), 0);
    releaseChild(copy);
    for (const int fd : crowd) {
        close(fd);
    }
    close(silent);
    close(flood);
    close(noise);

    std::cout << "bad clients: \"e\" shown after " << pauseMs << " ms, \"q\" after " << quitMs << " ms; "
              << during.nudges << " nudges in 0.5 s meanwhile, " << after.nudges
              << " after; silent one closed within " << silentClosedAfter << " s more; random bytes got: "
              << noiseReply << "1 MiB got: " << floodReply << "--status then: " << status.status << std::endl;
    EXPECT_LE(pauseMs, 100);
    EXPECT_LE(quitMs, 100);
    EXPECT_GE(during.nudges, 3);
    EXPECT_GE(after.nudges, 3);
    EXPECT_EQ(silentGot, "");
    EXPECT_EQ(noiseReply.rfind("keepawake-control 1 error ", 0), 0u) << noiseReply;
    EXPECT_EQ(floodReply, "keepawake-control 1 error request too long\n");
    EXPECT_EQ(status.status, 0) << status.errors;
}

}  // namespace
