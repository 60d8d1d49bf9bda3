#include "tests/e2e/system_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "tests/e2e/child_process.h"

namespace {

using namespace std::chrono_literals;

// The interpreter Debian's python3-dbusmock is installed for; a python3
// earlier on PATH may lack it.
constexpr const char* python = "/usr/bin/python3";

int runQuietly(const std::vector<std::string>& command) {
    ChildProcess child = startChild(command, {});
    closeInput(child);
    const int status = waitForExit(child, 10s);
    releaseChild(child);
    return status;
}

void endProcess(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

// A service of the test's whose chatter nobody reads: its streams go to
// /dev/null, never to a pipe that closes under it.
pid_t spawnQuiet(const std::vector<std::string>& command, const std::string& busAddress) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& word : command) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

SystemBus startSystemBus() {
    SystemBus bus;
    char folder[] = "/tmp/keepawake-system-bus.XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return bus;
    }
    bus.folder = folder;
    const std::string path = bus.folder + "/bus";
    bus.daemon = spawnQuiet({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + path}, "");
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end && access(path.c_str(), F_OK) != 0) {
        std::this_thread::sleep_for(10ms);
    }
    if (access(path.c_str(), F_OK) == 0) {
        bus.address = "unix:path=" + path;
    }
    return bus;
}

bool startMock(SystemBus& bus, const std::string& name, const std::string& path) {
    const std::string templ = name == "org.freedesktop.UPower" ? "upower" : "logind";
    const pid_t mock = spawnQuiet({python, "-m", "dbusmock", "--system", "--template", templ}, bus.address);
    if (mock <= 0) {
        return false;
    }
    bus.services.push_back(mock);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
        if (busCall(bus, {"--dest", name, "--object-path", path, "--method", "org.freedesktop.DBus.Peer.Ping"})) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

bool busCall(const SystemBus& bus, const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"gdbus", "call", "--address", bus.address, "--timeout", "5"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runQuietly(command) == 0;
}

bool setOnBattery(const SystemBus& bus, bool onBattery) {
    return busCall(bus, {"--dest", "org.freedesktop.UPower", "--object-path", "/org/freedesktop/UPower", "--method",
                         "org.freedesktop.DBus.Mock.UpdateProperties", "org.freedesktop.UPower",
                         std::string("{'OnBattery': <") + (onBattery ? "true" : "false") + ">}"});
}

bool addSession(const SystemBus& bus, const std::string& id) {
    return busCall(bus, {"--dest", "org.freedesktop.login1", "--object-path", "/org/freedesktop/login1", "--method",
                         "org.freedesktop.DBus.Mock.AddSession", id, "seat0", std::to_string(getuid()), "tester",
                         "true"});
}

bool setLockedHint(const SystemBus& bus, const std::string& id, bool locked) {
    return busCall(bus, {"--dest", "org.freedesktop.login1", "--object-path", "/org/freedesktop/login1/session/" + id,
                         "--method", "org.freedesktop.login1.Session.SetLockedHint", locked ? "true" : "false"});
}

void stopSystemBus(SystemBus& bus) {
    for (const pid_t service : bus.services) {
        endProcess(service);
    }
    bus.services.clear();
    endProcess(bus.daemon);
    bus.daemon = -1;
    if (!bus.folder.empty()) {
        unlink((bus.folder + "/bus").c_str());
        rmdir(bus.folder.c_str());
        bus.folder.clear();
    }
}

SilentBus startSilentBus() {
    SilentBus bus;
    char folder[] = "/tmp/keepawake-silent-bus.XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return bus;
    }
    bus.path = std::string(folder) + "/bus";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, bus.path.c_str(), sizeof address.sun_path - 1);
    bus.listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bus.listener < 0 || bind(bus.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(bus.listener, 16) != 0) {
        stopSilentBus(bus);
        return bus;
    }
    bus.address = "unix:path=" + bus.path;
    return bus;
}

void stopSilentBus(SilentBus& bus) {
    if (bus.listener >= 0) {
        close(bus.listener);
        bus.listener = -1;
    }
    if (!bus.path.empty()) {
        unlink(bus.path.c_str());
        rmdir(bus.path.substr(0, bus.path.rfind('/')).c_str());
        bus.path.clear();
    }
}
