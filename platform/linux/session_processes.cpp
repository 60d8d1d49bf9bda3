#include "platform/linux/session_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace {

// A whole /proc file; false where it cannot be opened or read.
bool readProc(const std::string& path, std::string* text) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    text->clear();
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        text->append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return got == 0;
}

std::string baseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::vector<std::string> splitAtNul(const std::string& text) {
    std::vector<std::string> words;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\0', start), text.size());
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

// A variable of an environment as /proc/PID/environ holds it; empty when unset.
std::string variable(const std::vector<std::string>& environment, const std::string& name) {
    for (const std::string& entry : environment) {
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=') {
            return entry.substr(name.size() + 1);
        }
    }
    return {};
}

std::string ownVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A Wayland display as the socket it names: a bare name is in the runtime
// folder, and a client without one connects to wayland-0.
std::string waylandSocket(std::string display, const std::string& runtimeDir) {
    if (display.empty()) {
        display = "wayland-0";
    }
    return display[0] == '/' ? display : runtimeDir + "/" + display;
}

// An X display without its screen: ":0.0" and ":0" are the same display.
std::string xDisplay(const std::string& display) {
    const std::size_t colon = display.rfind(':');
    const std::size_t dot = display.rfind('.');
    return colon != std::string::npos && dot != std::string::npos && dot > colon ? display.substr(0, dot) : display;
}

}  // namespace

std::vector<std::string> processNames(const std::string& pid) {
    std::vector<std::string> names;
    const std::string folder = "/proc/" + pid;
    std::string text;
    if (readProc(folder + "/comm", &text) && !text.empty()) {
        names.push_back(text.substr(0, text.find('\n')));
    }
    char target[4096];
    const ssize_t length = readlink((folder + "/exe").c_str(), target, sizeof target);
    if (length > 0) {
        std::string_view exe(target, static_cast<std::size_t>(length));
        // A program replaced or removed on disk since it started still runs.
        constexpr std::string_view deleted = " (deleted)";
        if (exe.size() > deleted.size() && exe.substr(exe.size() - deleted.size()) == deleted) {
            exe.remove_suffix(deleted.size());
        }
        names.push_back(baseName(exe));
    }
    const std::string comm = names.empty() ? "" : names[0];
    const std::vector<std::string> arguments =
        readProc(folder + "/cmdline", &text) ? splitAtNul(text) : std::vector<std::string>{};
    if (!arguments.empty() && !arguments[0].empty()) {
        names.push_back(baseName(arguments[0]));
    }
    // A script started through "#!" has the interpreter as its executable
    // and first argument, and its own path second: where the kernel cut its
    // name, that path's base name is the whole of it.
    if (comm.size() == 15 && arguments.size() > 1 && baseName(arguments[1]).rfind(comm, 0) == 0) {
        names.push_back(baseName(arguments[1]));
    }
    return names;
}

std::vector<SessionProcess> findSessionProcesses(const std::vector<std::string>& names) {
    std::vector<SessionProcess> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    const uid_t user = getuid();
    while (const dirent* entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        struct stat owner {};
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            fstatat(dirfd(proc), entry->d_name, &owner, 0) != 0 || owner.st_uid != user) {
            continue;
        }
        const std::vector<std::string> known = processNames(pid);
        const auto name = std::find_first_of(known.begin(), known.end(), names.begin(), names.end());
        std::string arguments;
        // A process that has ended (a zombie) has no arguments left.
        if (name == known.end() || !readProc("/proc/" + pid + "/cmdline", &arguments) || arguments.empty()) {
            continue;
        }
        found.push_back({pid, *name, splitAtNul(arguments), processInThisSession(pid)});
    }
    closedir(proc);
    return found;
}

bool processInThisSession(const std::string& pid) {
    std::string text;
    if (!readProc("/proc/" + pid + "/environ", &text)) {
        return true;
    }
    const std::vector<std::string> theirs = splitAtNul(text);
    const std::string runtimeDir = ownVariable("XDG_RUNTIME_DIR");
    if (variable(theirs, "XDG_RUNTIME_DIR") != runtimeDir) {
        return false;
    }
    if (const std::string wayland = ownVariable("WAYLAND_DISPLAY"); !wayland.empty()) {
        return waylandSocket(variable(theirs, "WAYLAND_DISPLAY"), runtimeDir) == waylandSocket(wayland, runtimeDir);
    }
    // Without DISPLAY a process reaches no X display, ours included; where we
    // have no display either, nothing tells the sessions apart.
    const std::string display = ownVariable("DISPLAY");
    return display.empty() || xDisplay(variable(theirs, "DISPLAY")) == xDisplay(display);
}
