// Durations and clock times as people type them on the command line.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

// The longest duration accepted anywhere; beyond it a typo is likelier than
// intent, and deadlines stay far from the clock's range.
constexpr std::chrono::milliseconds longestDuration = std::chrono::hours(24 * 9999);

// "90" (a bare number is seconds), "90s", "45m", "2h", "1d", "250ms", or
// units combined largest first without spaces, each at most once: "1h30m".
// Nothing for anything else, including an empty text, a sign, a number left
// without its unit after another ("1h30") and anything over longestDuration.
std::optional<std::chrono::milliseconds> parseDuration(std::string_view text);

// "HH:MM" or "HH:MM:SS" on a 24-hour clock, 00:00 to 23:59:59 (one-digit
// hours too); the time after midnight. Nothing for anything else.
std::optional<std::chrono::seconds> parseClockTime(std::string_view text);
