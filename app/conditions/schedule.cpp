#include "app/conditions/schedule.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "app/durations.h"

namespace conditions {

namespace {

constexpr std::array<std::string_view, 7> dayNames = {"sunday",   "monday", "tuesday", "wednesday",
                                                      "thursday", "friday", "saturday"};

std::optional<int> dayNumber(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (int day = 0; day < 7; ++day) {
        // Three letters or the whole name; nothing in between.
        if (lower == dayNames[day] || lower == dayNames[day].substr(0, 3)) {
            return day;
        }
    }
    return std::nullopt;
}

bool holdsOn(unsigned days, int weekday) {
    return (days >> (((weekday % 7) + 7) % 7) & 1u) != 0;
}

}  // namespace

std::optional<Window> parseWindow(std::string_view text, std::string* problem) {
    const std::size_t dash = text.find('-');
    const auto start = dash == std::string_view::npos ? std::nullopt : parseClockTime(text.substr(0, dash));
    const auto end = dash == std::string_view::npos ? std::nullopt : parseClockTime(text.substr(dash + 1));
    if (!start || !end) {
        *problem = "invalid time window '" + std::string(text) + "' (use HH:MM-HH:MM or HH:MM:SS-HH:MM:SS)";
        return std::nullopt;
    }
    if (*start == *end) {
        *problem = "time window '" + std::string(text) + "' ends where it starts";
        return std::nullopt;
    }
    return Window{static_cast<int>(start->count()), static_cast<int>(end->count())};
}

std::optional<unsigned> parseDays(std::string_view text, std::string* problem) {
    unsigned days = 0;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        const std::string_view item = text.substr(from, comma - from);
        const std::size_t dash = item.find('-');
        const auto first = dayNumber(item.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : dayNumber(item.substr(dash + 1));
        if (!first || !last) {
            *problem = "invalid day list '" + std::string(text) + "' (examples: mon-fri, sat,sun, mon,wed,fri)";
            return std::nullopt;
        }
        for (int day = *first;; day = (day + 1) % 7) {
            days |= 1u << day;
            if (day == *last) {
                break;
            }
        }
        if (comma == text.size()) {
            return days;
        }
        from = comma + 1;
    }
}

bool inside(const Schedule& schedule, LocalMoment at) {
    if (schedule.windows.empty()) {
        return holdsOn(schedule.days, at.weekday);
    }
    for (const Window& window : schedule.windows) {
        if (window.start < window.end) {
            if (holdsOn(schedule.days, at.weekday) && at.second >= window.start && at.second < window.end) {
                return true;
            }
            continue;
        }
        // Past midnight: the evening of a chosen day, or the morning after one.
        if ((holdsOn(schedule.days, at.weekday) && at.second >= window.start) ||
            (holdsOn(schedule.days, at.weekday - 1) && at.second < window.end)) {
            return true;
        }
    }
    return false;
}

std::optional<Boundary> nextBoundary(const Schedule& schedule, LocalMoment at) {
    // Changes can only happen where a window starts or ends, or at midnight;
    // a week and a day ahead covers every pattern that repeats weekly.
    std::vector<int> marks{0};
    for (const Window& window : schedule.windows) {
        marks.push_back(window.start);
        marks.push_back(window.end % secondsPerDay);
    }
    std::sort(marks.begin(), marks.end());
    marks.erase(std::unique(marks.begin(), marks.end()), marks.end());
    const bool now = inside(schedule, at);
    for (int day = 0; day <= 8; ++day) {
        for (const int mark : marks) {
            if (day == 0 && mark <= at.second) {
                continue;
            }
            if (inside(schedule, LocalMoment{(at.weekday + day) % 7, mark}) != now) {
                return Boundary{day, mark};
            }
        }
    }
    return std::nullopt;
}

std::string describeBoundary(const Boundary& boundary, int todayWeekday) {
    const int h = boundary.second / 3600;
    const int m = boundary.second / 60 % 60;
    const int s = boundary.second % 60;
    char text[16];
    if (s != 0) {
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", h, m, s);
    } else {
        std::snprintf(text, sizeof text, "%02d:%02d", h, m);
    }
    std::string described = text;
    if (boundary.daysAhead != 0) {
        std::string day(dayNames[(todayWeekday + boundary.daysAhead) % 7]);
        day[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(day[0])));
        // A week ahead falls on today's own name.
        described += " on " + day + (boundary.daysAhead == 7 ? " next week" : "");
    }
    return described;
}

}  // namespace conditions
