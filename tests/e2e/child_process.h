// Runs a program with its standard streams on pipes, for tests that drive the
// real keepawake binary.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct ChildProcess {
    pid_t pid = -1;
    int input = -1;   // the child's standard input, for writing
    int output = -1;  // its standard output, for reading
    int errors = -1;  // its standard error, for reading
};

// environment: "NAME=value" sets, a bare "NAME" removes. WAYLAND_DISPLAY and
// XDG_SESSION_TYPE are removed unless set here.
ChildProcess startChild(const std::vector<std::string>& command, const std::vector<std::string>& environment);

void typeInto(ChildProcess& child, const std::string& text);
void closeInput(ChildProcess& child);

// Everything the stream gives until end of file, or until the time is up.
std::string readUntilEnd(int fd, std::chrono::milliseconds limit);

// Reads until the text has arrived in what this call reads (true) or the time
// is up (false); appends what was read to seen.
bool readUntilContains(int fd, const std::string& text, std::chrono::milliseconds limit, std::string* seen);

constexpr int timedOut = -1000;

// The exit status as a shell sees it (128 + signal for a signal), or timedOut
// after killing a child that did not end in time.
int waitForExit(ChildProcess& child, std::chrono::milliseconds limit);

// Closes every pipe that is still open.
void releaseChild(ChildProcess& child);
