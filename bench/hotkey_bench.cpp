#include "bench/hotkey_bench.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "bench/process_figures.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/x_server.h"

namespace {

using namespace std::chrono_literals;

// Presses the keys on the benchmark's display; true when xdotool did.
bool press(const std::string& keys) {
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("xdotool", "xdotool", "key", keys.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Row {
    Span running;
    Span paused;
};

// One copy: running, then paused (by the hotkey where it has one, else by
// --pause), each measured over the span.
Row measureCopy(const XServer& server, const std::vector<std::string>& extra, double seconds, bool* paused) {
    std::vector<std::string> command{KEEPAWAKE_PROGRAM, "-n", "-i", "100ms"};
    command.insert(command.end(), extra.begin(), extra.end());
    ChildProcess copy = startChild(command, {});
    std::this_thread::sleep_for(1500ms);  // past the start-up's bounded waits
    Row row;
    row.running = measure(server, copy.pid, seconds);
    if (extra.empty()) {
        ChildProcess client = startChild({KEEPAWAKE_PROGRAM, "--pause"}, {});
        *paused = waitForExit(client, 5s) == 0;
        releaseChild(client);
    } else {
        *paused = press("ctrl+alt+k");
    }
    std::this_thread::sleep_for(300ms);
    row.paused = measure(server, copy.pid, seconds);
    kill(copy.pid, SIGTERM);
    waitForExit(copy, 10s);
    releaseChild(copy);
    return row;
}

}  // namespace

std::string hotkeyFigures(double seconds) {
    XServer server = startXServer();
    char folder[] = "/tmp/keepawake-bench-XXXXXX";
    if (server.pid <= 0 || mkdtemp(folder) == nullptr) {
        return "hotkey: Xvfb or a runtime folder could not be made\n";
    }
    setScreenSaverTimeout(server, 600);
    setenv("XDG_RUNTIME_DIR", folder, 1);
    setenv("DISPLAY", displayName(server).c_str(), 1);
    bool plainPaused = false;
    bool hotkeyPaused = false;
    const Row plain = measureCopy(server, {}, seconds, &plainPaused);
    const Row withHotkey = measureCopy(server, {"--hotkey", "ctrl+alt+k"}, seconds, &hotkeyPaused);
    stopXServer(server);
    std::filesystem::remove_all(folder);

    std::ostringstream table;
    table.precision(2);
    auto cells = [&table, seconds](const Row& row) {
        table << static_cast<double>(row.running.wakeUps) / std::max(1, row.running.nudges) << " ("
              << row.running.wakeUps << " wake-ups, " << row.running.nudges << " nudges) | "
              << static_cast<double>(row.paused.wakeUps) / seconds << " (" << row.paused.wakeUps << " wake-ups, "
              << row.paused.nudges << " nudges) |\n";
    };
    table << std::fixed << "\n--hotkey, --no-menu, nudge every 100 ms, " << seconds << " s measured per run\n\n"
          << "| copy | wake-ups per nudge, running | wake-ups per second, paused |\n|---|---|---|\n"
          << "| without --hotkey (paused by --pause" << (plainPaused ? "" : ": FAILED") << ") | ";
    cells(plain);
    table << "| --hotkey ctrl+alt+k (paused by a press" << (hotkeyPaused ? "" : ": FAILED") << ") | ";
    cells(withHotkey);
    return table.str();
}
