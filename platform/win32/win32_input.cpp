// The screen-saver setting and input injection, straight onto Win32.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

// SendInput is told the record's size; it must be what the system expects.
static_assert(sizeof(INPUT) == (sizeof(void*) == 4 ? 28 : 40), "unexpected INPUT layout");

std::uint32_t readScreenSaverTimeout() {
    // Stays 0 when the setting cannot be read.
    int timeout = 0;
    SystemParametersInfoA(SPI_GETSCREENSAVETIMEOUT, 0, &timeout, 0);
    return static_cast<std::uint32_t>(timeout);
}

void sendMouseInput(const MouseInput& input) {
    INPUT record{};
    record.type = INPUT_MOUSE;
    record.mi.dx = input.dx;
    record.mi.dy = input.dy;
    record.mi.mouseData = input.mouseData;
    record.mi.dwFlags = input.dwFlags;
    record.mi.time = input.time;
    record.mi.dwExtraInfo = input.dwExtraInfo;
    // Windows inserts nothing while a secure desktop or a window of higher
    // integrity has the input. Say so once when that starts and once when it
    // ends, on standard error, so the console menu stays as it is. Only the
    // worker nudges, so the state needs no lock.
    static bool accepted = true;
    const bool inserted = SendInput(1, &record, sizeof(INPUT)) == 1;
    if (inserted != accepted) {
        accepted = inserted;
        std::fputs(inserted ? "keepawake: Windows accepts the nudges again.\n"
                            : "keepawake: Windows stopped accepting the nudges (a secure desktop or a window of "
                              "higher integrity has the input); the screen saver may start.\n",
                   stderr);
        std::fflush(stderr);
    }
}

std::uint32_t keepAwakePeriod(std::uint32_t nudgeIntervalMs) {
    return nudgeIntervalMs;
}

namespace {

bool onlyWhenIdle = false;  // main thread only

}  // namespace

// Windows tells nothing when the session goes idle: the worker reads the
// last input's time (readInputTimes) when a nudge is due instead.
std::string watchSessionIdle(std::uint32_t) {
    onlyWhenIdle = true;
    return {};
}

KeepAwakeWay describeKeepAwake(std::uint32_t nudgeIntervalMs) {
    return {true, "by zero moves every " + std::to_string(nudgeIntervalMs) + " ms" + (onlyWhenIdle ? ", while idle" : "")};
}

std::optional<InputTimes> readInputTimes() {
    LASTINPUTINFO info{sizeof(LASTINPUTINFO), 0};
    const DWORD now = GetTickCount();
    if (!GetLastInputInfo(&info)) {
        return std::nullopt;
    }
    return InputTimes{now, info.dwTime};
}

// Nudges are all Windows needs: there is nothing held to let go of.
void pauseDisplayKeepAwake() {}
void resumeDisplayKeepAwake() {}
void closeDisplay() {}
