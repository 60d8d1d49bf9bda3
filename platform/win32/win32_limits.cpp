// The run's limits as waitable timers with an absolute due time on the system
// clock (UTC). A relative timer's count stops while the machine sleeps
// (Windows 8 and later); an absolute one fires at once on waking when its
// time passed meanwhile, and follows the system time when that is set. That
// is why no Wake::clockSet comes from here: the timer keeps to the clock by
// itself. What it cannot follow is a change of time zone, which moves the
// local time an --until stands for; its only notice, WM_TIMECHANGE, is
// broadcast to top-level windows, and this program has none.
#include <windows.h>

#include <algorithm>
#include <climits>

#include "platform/platform.h"
#include "platform/win32/win32_wake.h"

HANDLE wallDeadlineTimer = nullptr;
HANDLE elapsedDeadlineTimer = nullptr;
std::optional<std::chrono::steady_clock::time_point> fallbackDeadline;
HANDLE windowBoundaryTimer = nullptr;
std::optional<std::chrono::steady_clock::time_point> fallbackBoundary;

namespace {

using FileTimeTicks = std::chrono::duration<long long, std::ratio<1, 10'000'000>>;
// FILETIME counts 100 ns from 1601; system_clock here counts from 1970.
constexpr long long unixEpochAsFileTime = 116444736000000000LL;

// When the elapsed limit is due on the tick count, which goes on while the
// machine sleeps and is never set: a clock set forward must not end --for
// early. A clock set back holds it back as far; only a wake-up of its own
// could tell, and the timer costs none.
ULONGLONG elapsedDueTick = 0;

long long fileTimeNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return static_cast<long long>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

// A due time of zero or less would be taken as relative.
bool arm(HANDLE* timer, long long dueFileTime) {
    if (*timer == nullptr) {
        *timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    }
    LARGE_INTEGER due;
    due.QuadPart = std::max(dueFileTime, 1LL);
    return *timer != nullptr && SetWaitableTimer(*timer, &due, 0, nullptr, nullptr, FALSE) != FALSE;
}

void fallBack(std::chrono::steady_clock::time_point when) {
    fallbackDeadline = fallbackDeadline ? std::min(*fallbackDeadline, when) : when;
}

// Absolute, so that it counts time asleep: the system time then plus the rest.
bool armElapsedFromNow(std::chrono::milliseconds fromNow) {
    const long long ticks = std::chrono::duration_cast<FileTimeTicks>(fromNow).count();
    const long long now = fileTimeNow();
    return arm(&elapsedDeadlineTimer, ticks > LLONG_MAX - now ? LLONG_MAX : now + std::max(ticks, 0LL));
}

}  // namespace

void armWallDeadline(std::chrono::system_clock::time_point when) {
    const long long since1970 = std::chrono::ceil<FileTimeTicks>(when.time_since_epoch()).count();
    if (!arm(&wallDeadlineTimer, since1970 + unixEpochAsFileTime)) {
        fallBack(std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(when - std::chrono::system_clock::now()));
    }
}

void armWindowBoundary(std::chrono::system_clock::time_point when) {
    fallbackBoundary.reset();
    const long long since1970 = std::chrono::ceil<FileTimeTicks>(when.time_since_epoch()).count();
    if (!arm(&windowBoundaryTimer, since1970 + unixEpochAsFileTime)) {
        fallbackBoundary = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                                  when - std::chrono::system_clock::now());
    }
}

void armElapsedDeadline(std::chrono::milliseconds fromNow) {
    elapsedDueTick = GetTickCount64() + static_cast<ULONGLONG>(std::max<long long>(fromNow.count(), 0));
    if (!armElapsedFromNow(fromNow)) {
        fallBack(std::chrono::steady_clock::now() + fromNow);
    }
}

bool elapsedDeadlineDue() {
    // The tick count moves in steps of the system timer (up to 16 ms); a
    // clock set forward shows as far more than that.
    constexpr ULONGLONG slackMs = 100;
    const ULONGLONG now = GetTickCount64();
    if (now + slackMs >= elapsedDueTick) {
        return true;
    }
    const auto rest = std::chrono::milliseconds(static_cast<long long>(elapsedDueTick - now));
    if (!armElapsedFromNow(rest)) {
        fallBack(std::chrono::steady_clock::now() + rest);
    }
    return false;
}
