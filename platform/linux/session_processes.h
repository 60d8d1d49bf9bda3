// This user's processes found by the names people know them by, and whether
// each runs in this session: read from /proc, asking nothing of them.
#pragma once

#include <string>
#include <vector>

// The names process pid goes by, any one of which finds it: its process name
// (/proc/PID/comm, which `pgrep -x` matches and the kernel cuts to 15
// characters), its executable's base name and its first argument's base
// name; where the process name was cut and its second argument's base name
// begins with it (a script started through "#!"), that one too. Those that
// cannot be read are left out: a process that has ended has only its process
// name left.
std::vector<std::string> processNames(const std::string& pid);

// This user's running processes whose process name (comm), executable base
// name or first argument's base name is one of names, with their arguments
// and whether they belong to this session.
struct SessionProcess {
    std::string pid;
    std::string name;                    // which of names it matched
    std::vector<std::string> arguments;  // from /proc/PID/cmdline
    bool thisSession = true;             // see below
};
std::vector<SessionProcess> findSessionProcesses(const std::vector<std::string>& names);

// Whether process pid runs in this session: its WAYLAND_DISPLAY (where this
// process has one) or else its DISPLAY, and its XDG_RUNTIME_DIR, read from
// /proc/PID/environ, equal this process's own. Where environ cannot be read,
// true (cannot tell: count it).
bool processInThisSession(const std::string& pid);
