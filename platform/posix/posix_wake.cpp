// Waiting for the first of: a byte of input, a deadline, a watched process,
// a command's end, a signal. One poll; signals reach it through a pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "platform/linux/linux_programs.h"
#include "platform/platform.h"
#include "platform/posix/posix_control.h"
#include "platform/posix/posix_wake.h"

pid_t runningCommand = -1;
int endedCommandStatus = 0;
int machineWakeFd = -1;
int displayWakeFd = -1;
int timerWaitFds[timerWaitSlots] = {-1, -1, -1};
bool (*serveTimerWait)(int slot) = nullptr;
int hotkeyWakeFd = -1;
int idleWakeFd = -1;

namespace {

// Taken before main: once the display connects, a closed standard input's
// number belongs to its socket, which must never be read as typed input.
const bool inputClosedAtStart = fcntl(STDIN_FILENO, F_GETFD) < 0;

int wakePipe[2] = {-1, -1};
volatile sig_atomic_t stopRequested = 0;
int watchedPidfd = -1;
pid_t watchedPid = -1;  // checked once a second where there is no pidfd

// The limits: a timer on the system clock, told when that clock is set, and
// one on the boot clock, which counts time asleep. Where timerfds cannot be
// made, the steady clock stands in.
int wallTimer = -1;
int elapsedTimer = -1;
std::optional<std::chrono::steady_clock::time_point> fallbackDeadline;
// The next boundary of the hours, on the system clock like the wall limit.
int boundaryTimer = -1;
std::optional<std::chrono::steady_clock::time_point> fallbackBoundary;

// A zero time would disarm the timer instead of firing it now.
timespec toTimespec(std::chrono::nanoseconds value) {
    if (value.count() <= 0) {
        value = std::chrono::nanoseconds(1);
    }
    return timespec{static_cast<time_t>(value.count() / 1'000'000'000),
                    static_cast<long>(value.count() % 1'000'000'000)};
}

void fallBack(std::chrono::steady_clock::time_point when) {
    fallbackDeadline = fallbackDeadline ? std::min(*fallbackDeadline, when) : when;
}

// Reads an expired or cancelled timer: what it means for the wait.
std::optional<Wake> readTimer(int timer) {
    std::uint64_t expirations = 0;
    if (read(timer, &expirations, sizeof expirations) == static_cast<ssize_t>(sizeof expirations)) {
        return Wake::deadline;
    }
    if (errno == ECANCELED) {
        return Wake::clockSet;
    }
    return std::nullopt;
}

void onSignal(int signal) {
    const int savedErrno = errno;
    if (signal == SIGINT && stopRequested != 0) {
        _exit(128 + SIGINT);  // asked twice: the user wants out now
    }
    if (signal != SIGCHLD) {
        stopRequested = 1;
    }
    const char number = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = write(wakePipe[1], &number, 1);
    errno = savedErrno;
}

// What the signals in the pipe ask for: a command's end before a stop.
std::optional<Wake> drainSignals() {
    char numbers[64];
    std::optional<Wake> wake;
    ssize_t got = 0;
    while ((got = read(wakePipe[0], numbers, sizeof numbers)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            const int signal = numbers[i];
            if (signal == SIGCHLD) {
                int status = 0;
                if (runningCommand > 0 && waitpid(runningCommand, &status, WNOHANG) == runningCommand) {
                    endedCommandStatus = status;
                    runningCommand = -1;
                    wake = Wake::commandEnded;
                }
            } else if (runningCommand > 0) {
                kill(runningCommand, signal);  // the command decides
            } else if (!wake) {
                wake = Wake::stopRequested;
            }
        }
    }
    return wake;
}

}  // namespace

void wakeOnSignal(int signal) {
    if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;  // left as it was: the signal keeps its usual effect
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | (signal == SIGCHLD ? SA_NOCLDSTOP : 0);
    sigaction(signal, &action, nullptr);
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

void catchStopRequests() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        wakeOnSignal(signal);
    }
}

std::string watchProcess(std::uint32_t pid) {
    const std::string noSuch = "no process with id " + std::to_string(pid);
    if (pid > static_cast<std::uint32_t>(INT_MAX)) {
        return noSuch;
    }
    const long fd = syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
    if (fd >= 0) {
        watchedPidfd = static_cast<int>(fd);
        return {};
    }
    if (errno == ESRCH) {
        return noSuch;
    }
    if (errno == EINVAL) {
        return "cannot wait for process " + std::to_string(pid) + ": it is a thread, not a process";
    }
    // No pidfd here (an old kernel or a sandbox): check once a second.
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) {
        watchedPid = static_cast<pid_t>(pid);
        return {};
    }
    return noSuch;
}

void armWallDeadline(std::chrono::system_clock::time_point when) {
    if (wallTimer < 0) {
        wallTimer = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    }
    const itimerspec due{{0, 0}, toTimespec(when.time_since_epoch())};
    if (wallTimer < 0 || timerfd_settime(wallTimer, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &due, nullptr) != 0) {
        fallBack(std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(when - std::chrono::system_clock::now()));
    }
}

void armWindowBoundary(std::chrono::system_clock::time_point when) {
    if (boundaryTimer < 0) {
        boundaryTimer = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    }
    fallbackBoundary.reset();
    const itimerspec due{{0, 0}, toTimespec(when.time_since_epoch())};
    if (boundaryTimer < 0 ||
        timerfd_settime(boundaryTimer, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &due, nullptr) != 0) {
        fallbackBoundary = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                                  when - std::chrono::system_clock::now());
    }
}

void armElapsedDeadline(std::chrono::milliseconds fromNow) {
    if (elapsedTimer < 0) {
        elapsedTimer = timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    }
    const itimerspec due{{0, 0}, toTimespec(fromNow)};
    if (elapsedTimer < 0 || timerfd_settime(elapsedTimer, 0, &due, nullptr) != 0) {
        fallBack(std::chrono::steady_clock::now() + fromNow);
    }
}

Wake waitForWake(char* byte, std::optional<std::chrono::steady_clock::time_point> deadline) {
    if (fallbackDeadline) {
        deadline = deadline ? std::min(*deadline, *fallbackDeadline) : *fallbackDeadline;
    }
    if (byte != nullptr && inputClosedAtStart) {
        return Wake::consoleEnded;
    }
    for (;;) {
        if (controlRequestWaiting()) {
            return Wake::controlRequest;
        }
        if (fallbackBoundary && std::chrono::steady_clock::now() >= *fallbackBoundary) {
            fallbackBoundary.reset();
            return Wake::windowBoundary;
        }
        pollfd waits[10 + timerWaitSlots + controlWaitSlots + programWaitSlots];
        nfds_t count = 0;
        const nfds_t signals = count;
        waits[count++] = pollfd{wakePipe[0], POLLIN, 0};  // ignored by poll while -1
        const nfds_t process = count;
        waits[count++] = pollfd{watchedPidfd, POLLIN, 0};
        const nfds_t input = count;
        waits[count++] = pollfd{byte != nullptr ? STDIN_FILENO : -1, POLLIN, 0};
        const nfds_t wall = count;
        waits[count++] = pollfd{wallTimer, POLLIN, 0};
        const nfds_t elapsed = count;
        waits[count++] = pollfd{elapsedTimer, POLLIN, 0};
        const nfds_t machine = count;
        waits[count++] = pollfd{machineWakeFd, POLLIN, 0};
        const nfds_t display = count;
        waits[count++] = pollfd{displayWakeFd, POLLIN, 0};
        const nfds_t hotkey = count;
        waits[count++] = pollfd{hotkeyWakeFd, POLLIN, 0};
        const nfds_t boundary = count;
        waits[count++] = pollfd{boundaryTimer, POLLIN, 0};
        const nfds_t idle = count;
        waits[count++] = pollfd{idleWakeFd, POLLIN, 0};
        const nfds_t programs = count;
        addProgramWaits(waits + programs);
        count += programWaitSlots;
        const nfds_t timers = count;
        for (const int fd : timerWaitFds) {
            waits[count++] = pollfd{fd, POLLIN, 0};
        }

        int timeout = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return Wake::deadline;
            }
            timeout = static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX));
        }
        if (watchedPid > 0) {
            timeout = timeout < 0 ? 1000 : std::min(timeout, 1000);
        }
        if (fallbackBoundary) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*fallbackBoundary - std::chrono::steady_clock::now());
            const int boundaryMs = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
            timeout = timeout < 0 ? boundaryMs : std::min(timeout, boundaryMs);
        }
        const nfds_t control = count;
        addControlWaits(waits + control, &timeout);
        count += controlWaitSlots;

        if (poll(waits, count, timeout) < 0 && errno != EINTR) {
            return byte != nullptr ? Wake::consoleEnded : Wake::stopRequested;
        }
        if (waits[signals].revents != 0) {
            if (const auto wake = drainSignals()) {
                return *wake;
            }
        }
        if (waits[process].revents != 0 || (watchedPid > 0 && kill(watchedPid, 0) != 0 && errno == ESRCH)) {
            return Wake::processEnded;
        }
        for (const nfds_t timer : {wall, elapsed}) {
            if (waits[timer].revents != 0) {
                if (const auto wake = readTimer(waits[timer].fd)) {
                    return *wake;
                }
            }
        }
        if (waits[boundary].revents != 0) {
            if (const auto wake = readTimer(boundaryTimer)) {
                return *wake == Wake::deadline ? Wake::windowBoundary : *wake;
            }
        }
        if (serveProgramWaits(waits + programs)) {
            return Wake::programsChanged;
        }
        for (const auto& [slot, told] :
             {std::pair{machine, Wake::machineChanged}, std::pair{display, Wake::displayChanged}}) {
            if (waits[slot].revents != 0) {
                char drained[64];
                while (read(waits[slot].fd, drained, sizeof drained) > 0) {
                }
                return told;
            }
        }
        bool timersChanged = false;
        for (int slot = 0; slot < timerWaitSlots; ++slot) {
            // Every readable source is drained, so none wakes the next poll.
            if (waits[timers + slot].revents != 0 && serveTimerWait != nullptr && serveTimerWait(slot)) {
                timersChanged = true;
            }
        }
        if (timersChanged) {
            return Wake::timersChanged;
        }
        if (waits[idle].revents != 0) {
            if (const auto wake = takeSessionIdle()) {
                return *wake;
            }
        }
        if (waits[hotkey].revents != 0) {
            return Wake::hotkey;  // what came is read there, without waiting
        }
        if (serveControlWaits(waits + control)) {
            return Wake::controlRequest;
        }
        if (waits[input].revents != 0) {
            const ssize_t got = read(STDIN_FILENO, byte, 1);
            if (got == 1) {
                return Wake::consoleByte;
            }
            if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                return Wake::consoleEnded;
            }
        }
    }
}
