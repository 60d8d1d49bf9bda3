// Running a command while keeping awake: fork and execvp, with an exec
// failure reported back through a pipe that closes on a successful exec.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix_wake.h"

std::string commandUsageProblem(const std::vector<std::string>&) {
    return {};  // execvp takes every argument as it is
}

int startCommand(const std::vector<std::string>& command, std::string* problem) {
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *problem = std::string("cannot run '") + command[0] + "': " + std::strerror(errno);
        return 126;
    }
    // Set before the fork so no end or signal is missed. The terminal sends
    // Ctrl+C and Ctrl+\ to the command as well: it decides, we wait.
    wakeOnSignal(SIGCHLD);
    wakeOnSignal(SIGTERM);
    wakeOnSignal(SIGHUP);
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);

    const pid_t pid = fork();
    const int forkError = errno;
    if (pid == 0) {
        for (const int reset : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) {
            signal(reset, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(argv[0], argv.data());
        const int failure = errno;
        [[maybe_unused]] const ssize_t written = write(report[1], &failure, sizeof failure);
        _exit(127);
    }
    close(report[1]);
    int failure = 0;
    ssize_t got = 0;
    do {
        got = pid > 0 ? read(report[0], &failure, sizeof failure) : -1;
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (pid < 0 || got == sizeof failure) {
        failure = pid < 0 ? forkError : failure;
        if (pid > 0) {
            waitpid(pid, nullptr, 0);
        }
        *problem = std::string("cannot run '") + command[0] + "': " + std::strerror(failure);
        return failure == ENOENT || failure == ENOTDIR ? 127 : 126;
    }
    runningCommand = pid;
    // It may have ended already; the SIGCHLD byte in the pipe tells the wait.
    return 0;
}

int commandExitStatus() {
    if (WIFSIGNALED(endedCommandStatus)) {
        return 128 + WTERMSIG(endedCommandStatus);
    }
    return WEXITSTATUS(endedCommandStatus);
}

void passStopToCommand() {
    if (runningCommand > 0) {
        kill(runningCommand, SIGTERM);
    }
}
