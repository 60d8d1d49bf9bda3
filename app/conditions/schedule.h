// Windows of local time on days of the week: reading --during and --days,
// and where a moment stands in them. Pure: the caller supplies the local
// clock, so that daylight saving and clock changes stay its business.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace conditions {

constexpr int secondsPerDay = 24 * 3600;

// From start to end in seconds after local midnight. An end at or before
// the start runs past midnight into the next day, and the window belongs to
// the day it starts.
struct Window {
    int start = 0;
    int end = secondsPerDay;
};

// Bit N for weekday N, Sunday = 0 as std::tm counts them.
constexpr unsigned everyDay = 0x7F;

struct Schedule {
    std::vector<Window> windows;  // empty: whole days
    unsigned days = everyDay;
};

// "HH:MM[:SS]-HH:MM[:SS]". Nothing, and *problem says why, for anything else.
std::optional<Window> parseWindow(std::string_view text, std::string* problem);

// "mon-fri", "sat,sun", "mon,wed,fri", full names too, any case; a range may
// wrap ("fri-mon"). Nothing, and *problem says why, for anything else.
std::optional<unsigned> parseDays(std::string_view text, std::string* problem);

// A local moment: the weekday (Sunday = 0) and the seconds after midnight.
struct LocalMoment {
    int weekday = 0;
    int second = 0;
};

bool inside(const Schedule& schedule, LocalMoment at);

// The next moment after at where inside changes: how many days ahead and at
// what second of that day; nothing when it never changes (every day, whole).
struct Boundary {
    int daysAhead = 0;
    int second = 0;
};
std::optional<Boundary> nextBoundary(const Schedule& schedule, LocalMoment at);

// "09:00", "09:00:30" (seconds only when there are some), and " on Monday"
// for any day but today.
std::string describeBoundary(const Boundary& boundary, int todayWeekday);

}  // namespace conditions
