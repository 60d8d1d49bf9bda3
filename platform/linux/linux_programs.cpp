// The programs a run waits for: one look through /proc now, then one every
// 2 s on a timer while none runs. Once some run, their pidfds are waited on
// and nothing is looked at until the last has ended; then at once and every
// 250 ms for 2 s, before the run pauses.
#include "platform/linux/linux_programs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/session_processes.h"

namespace {

constexpr std::size_t mostHeld = programWaitSlots - 1;

ProgramMatch wanted = nullptr;
int lookTimer = -1;
std::vector<int> held;     // pidfds of matching programs
bool running = false;
bool withoutPidfds = false;  // an old kernel: look every 0.5 s while one runs
// Once the last has ended, looks that found none: the run pauses only when
// none came back in graceLooks more, one every 250 ms (a loop, a restart).
constexpr int graceLooks = 8;
int missedLooks = 0;

// Up to size bytes of a small /proc file; the count read, or -1.
ssize_t readSmall(const char* path, char* buffer, std::size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const ssize_t got = read(fd, buffer, size);
    close(fd);
    return got;
}

bool processMatches(const char* pid, ProgramMatch match) {
    const std::vector<std::string> names = processNames(pid);
    if (std::none_of(names.begin(), names.end(),
                     [match](const std::string& name) { return match(name, NameRules::exact); })) {
        return false;
    }
    // A process that has ended and waits to be reaped keeps its process
    // name, and must not count. Its state says which.
    char path[64];
    char text[4096];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
    const ssize_t got = readSmall(path, text, sizeof text - 1);
    text[std::max<ssize_t>(got, 0)] = '\0';
    const char* state = std::strrchr(text, ')');  // after the name, which may hold anything
    return state != nullptr && state[1] == ' ' && state[2] != 'Z' && state[2] != 'X';
}

void armLook(int milliseconds) {
    const timespec period{milliseconds / 1000, (milliseconds % 1000) * 1'000'000L};
    const itimerspec due{period, period};
    timerfd_settime(lookTimer, 0, &due, nullptr);
}

void releaseHeld() {
    for (const int fd : held) {
        close(fd);
    }
    held.clear();
}

// Looks once and holds what runs; true when whether one runs changed.
bool look() {
    std::vector<pid_t> found;
    scanForPrograms(wanted, &found);
    releaseHeld();
    for (const pid_t pid : found) {
        if (held.size() == mostHeld) {
            break;  // the others are found again when these have ended
        }
        const long fd = syscall(SYS_pidfd_open, pid, 0);
        pollfd ended{static_cast<int>(fd), POLLIN, 0};
        if (fd >= 0 && poll(&ended, 1, 0) == 0) {
            held.push_back(static_cast<int>(fd));
        } else if (fd >= 0) {
            close(static_cast<int>(fd));  // ended since the look: it runs no more
        } else if (errno == ENOSYS) {
            withoutPidfds = true;
        }
    }
    const bool seen = !held.empty() || (withoutPidfds && !found.empty());
    missedLooks = seen ? 0 : missedLooks + 1;
    const bool now = seen || (running && missedLooks <= graceLooks);
    if (!now) {
        missedLooks = 0;
        armLook(2000);
    } else if (!seen) {
        armLook(250);
    } else if (withoutPidfds) {
        armLook(500);
    } else {
        const itimerspec off{};
        timerfd_settime(lookTimer, 0, &off, nullptr);
    }
    const bool changed = now != running;
    running = now;
    return changed;
}

}  // namespace

bool scanForPrograms(ProgramMatch match, std::vector<pid_t>* found) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    const uid_t user = getuid();
    const pid_t self = getpid();
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        struct stat owner {};
        if (pid <= 0 || *end != '\0' || pid == self || fstatat(dirfd(proc), entry->d_name, &owner, 0) != 0 ||
            owner.st_uid != user) {
            continue;
        }
        if (processMatches(entry->d_name, match)) {
            found->push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(proc);
    return true;
}

void watchPrograms(ProgramMatch match) {
    const char* problem = nullptr;
    if (DIR* proc = opendir("/proc"); proc == nullptr) {
        problem = std::strerror(errno);
    } else if (closedir(proc), false) {
    } else if ((lookTimer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) < 0) {
        problem = "no timer";
    }
    if (problem != nullptr) {
        std::fprintf(stderr,
                     "keepawake: cannot look for running programs (/proc: %s): keeping awake as if one runs.\n",
                     problem);
        running = true;
        return;
    }
    wanted = match;
    look();
}

bool programRuns() {
    return running;
}

void addProgramWaits(pollfd* slots) {
    slots[0] = pollfd{lookTimer, POLLIN, 0};
    for (std::size_t i = 0; i < mostHeld; ++i) {
        slots[i + 1] = pollfd{i < held.size() ? held[i] : -1, POLLIN, 0};
    }
}

bool serveProgramWaits(const pollfd* slots) {
    if (wanted == nullptr) {
        return false;
    }
    if (slots[0].revents != 0) {
        std::uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t got = read(lookTimer, &expirations, sizeof expirations);
        return look();
    }
    bool ended = false;
    for (std::size_t i = 0; i < mostHeld; ++i) {
        if (slots[i + 1].fd >= 0 && slots[i + 1].revents != 0) {
            ended = true;
            for (auto fd = held.begin(); fd != held.end(); ++fd) {
                if (*fd == slots[i + 1].fd) {
                    close(*fd);
                    held.erase(fd);
                    break;
                }
            }
        }
    }
    // The last one gone: whether another has started meanwhile is looked at
    // at once.
    return ended && held.empty() && look();
}
