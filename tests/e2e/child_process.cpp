#include "tests/e2e/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int* fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

}  // namespace

ChildProcess startChild(const std::vector<std::string>& command, const std::vector<std::string>& environment) {
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        signal(SIGPIPE, SIG_DFL);
        // Run from a Wayland desktop, the program would leave the test's X
        // server alone; a test that wants a Wayland session says so.
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("XDG_SESSION_TYPE");
        for (const std::string& setting : environment) {
            const auto equals = setting.find('=');
            if (equals == std::string::npos) {
                unsetenv(setting.c_str());
            } else {
                setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
            }
        }
        std::vector<char*> argv;
        for (const std::string& word : command) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // A child that quits before reading everything must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    return ChildProcess{pid, in[1], out[0], err[0]};
}

void typeInto(ChildProcess& child, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(child.input, text.data() + done, text.size() - done);
        if (written <= 0) {
            if (written < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(written);
    }
}

void closeInput(ChildProcess& child) {
    closeFd(&child.input);
}

namespace {

// One read with a deadline: >0 bytes read, 0 end of file, -1 time is up.
ssize_t readSome(int fd, std::string* into, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return -1;
    }
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(left)) <= 0) {
        return -1;
    }
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
        into->append(buffer, static_cast<std::size_t>(got));
    }
    return got < 0 ? 0 : got;
}

}  // namespace

std::string readUntilEnd(int fd, std::chrono::milliseconds limit) {
    std::string seen;
    const auto deadline = Clock::now() + limit;
    while (readSome(fd, &seen, deadline) > 0) {
    }
    return seen;
}

bool readUntilContains(int fd, const std::string& text, std::chrono::milliseconds limit, std::string* seen) {
    const auto deadline = Clock::now() + limit;
    const std::size_t from = seen->size();
    while (seen->find(text, from) == std::string::npos) {
        if (readSome(fd, seen, deadline) <= 0) {
            return false;
        }
    }
    return true;
}

int waitForExit(ChildProcess& child, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid) {
            break;
        }
        if (Clock::now() >= deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            child.pid = -1;
            return timedOut;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    child.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void releaseChild(ChildProcess& child) {
    if (child.pid > 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
        child.pid = -1;
    }
    closeFd(&child.input);
    closeFd(&child.output);
    closeFd(&child.errors);
}
