// The console text the program writes, as a user sees it in a pipe.
#pragma once

#include <string>

namespace screens {

inline const std::string heldOff =
    "Screen saver is currently disabled\n\nPlease select from the following options...\n\n"
    "e = Enabled screen saver\nq = Quit the application\n\n";
inline const std::string allowed =
    "Screen saver is currently enabled\n\nPlease select from the following options...\n\n"
    "d = Disable screen saver\nq = Quit the application\n\n";
inline const std::string quitting = "Waiting to exit...\n";
inline const std::string cleanedUp = "Thread closed and cleaned up.\n\n";

// A menu screen with a line under the status line (why it is paused).
inline std::string withLine(const std::string& screen, const std::string& line) {
    const auto firstLineEnd = screen.find('\n') + 1;
    return screen.substr(0, firstLineEnd) + line + "\n" + screen.substr(firstLineEnd);
}

}  // namespace screens
