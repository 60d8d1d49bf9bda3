// The local clock written as the program writes it, for the lines the hours
// tests expect.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

inline std::string clockText(const std::tm& local, const char* format) {
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

inline std::string clockText(std::chrono::system_clock::time_point when, const char* format) {
    const std::time_t then = std::chrono::system_clock::to_time_t(when);
    return clockText(*std::localtime(&then), format);
}

// A boundary as the menu shows it: the seconds only when they are not zero.
inline std::string shownAs(const std::tm& local) {
    return clockText(local, local.tm_sec == 0 ? "%H:%M" : "%H:%M:%S");
}

inline std::string shownAs(std::chrono::system_clock::time_point when) {
    const std::time_t then = std::chrono::system_clock::to_time_t(when);
    return shownAs(*std::localtime(&then));
}
