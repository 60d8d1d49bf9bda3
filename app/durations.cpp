#include "app/durations.h"

#include <cstdint>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads the digits at text[*at...] into *value; false when there are none or
// the number is already far beyond any accepted value.
bool readNumber(std::string_view text, std::size_t* at, std::uint64_t* value) {
    const std::size_t start = *at;
    *value = 0;
    while (*at < text.size() && isDigit(text[*at])) {
        *value = *value * 10 + static_cast<std::uint64_t>(text[*at] - '0');
        if (*value > 1'000'000'000'000'000ull) {
            return false;
        }
        ++*at;
    }
    return *at > start;
}

struct Unit {
    std::string_view name;
    std::uint64_t ms;
    int rank;  // larger units rank higher
};

// Largest first: a duration must name them in this order. "ms" comes before
// "m" so that the longer name wins.
constexpr Unit units[] = {
    {"d", 86'400'000, 5}, {"h", 3'600'000, 4}, {"ms", 1, 1}, {"m", 60'000, 3}, {"s", 1'000, 2}};

}  // namespace

std::optional<std::chrono::milliseconds> parseDuration(std::string_view text) {
    const std::uint64_t longest = static_cast<std::uint64_t>(longestDuration.count());
    std::size_t at = 0;
    std::uint64_t number = 0;
    if (!readNumber(text, &at, &number)) {
        return std::nullopt;
    }
    if (at == text.size()) {
        if (number > longest / 1000) {
            return std::nullopt;
        }
        return std::chrono::milliseconds(number * 1000);
    }

    std::uint64_t total = 0;
    int lastRank = 6;
    for (;;) {
        const Unit* unit = nullptr;
        for (const Unit& candidate : units) {
            if (text.substr(at, candidate.name.size()) == candidate.name) {
                unit = &candidate;
                break;
            }
        }
        if (unit == nullptr || unit->rank >= lastRank || number > longest / unit->ms) {
            return std::nullopt;
        }
        lastRank = unit->rank;
        total += number * unit->ms;
        if (total > longest) {
            return std::nullopt;
        }
        at += unit->name.size();
        if (at == text.size()) {
            return std::chrono::milliseconds(total);
        }
        if (!readNumber(text, &at, &number) || at == text.size()) {
            return std::nullopt;  // junk, or a number without its unit
        }
    }
}

std::optional<std::chrono::seconds> parseClockTime(std::string_view text) {
    // Two-digit fields after the hour; the hour may have one digit.
    auto field = [&](std::size_t from, std::size_t length, int limit) -> int {
        if (from + length > text.size()) {
            return -1;
        }
        int value = 0;
        for (std::size_t i = from; i < from + length; ++i) {
            if (!isDigit(text[i])) {
                return -1;
            }
            value = value * 10 + (text[i] - '0');
        }
        return value < limit ? value : -1;
    };
    const std::size_t colon = text.find(':');
    if (colon != 1 && colon != 2) {
        return std::nullopt;
    }
    const int hours = field(0, colon, 24);
    const int minutes = field(colon + 1, 2, 60);
    int seconds = 0;
    const std::size_t afterMinutes = colon + 3;
    if (afterMinutes != text.size()) {
        if (afterMinutes + 3 != text.size() || text[afterMinutes] != ':') {
            return std::nullopt;
        }
        seconds = field(afterMinutes + 1, 2, 60);
    }
    if (hours < 0 || minutes < 0 || seconds < 0) {
        return std::nullopt;
    }
    return std::chrono::seconds(hours * 3600 + minutes * 60 + seconds);
}
