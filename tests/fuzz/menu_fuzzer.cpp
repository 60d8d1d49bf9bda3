// Drives the whole program, menu and exit processing, with arbitrary input
// against the recording platform, and checks on every input what must hold
// whatever the user types.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "app/keep_awake.h"
#include "tests/support/fake_platform.h"
#include "tests/support/screens.h"

namespace {

void require(bool holds, const char* what, const std::string& input) {
    if (holds) {
        return;
    }
    std::fprintf(stderr, "broken: %s\ninput (%zu bytes)\n", what, input.size());
    std::abort();
}

bool isCommandSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// How many commands the menu takes from the input: every character that is
// not white space, up to and including the first "q".
std::size_t commandsRead(const std::string& input, bool* quits) {
    std::size_t count = 0;
    *quits = false;
    for (char c : input) {
        if (isCommandSpace(c)) {
            continue;
        }
        ++count;
        if (c == 'q') {
            *quits = true;
            break;
        }
    }
    return count;
}

int count(const char* name) {
    int seen = 0;
    for (const auto& call : fake::calls) {
        seen += call.rfind(name, 0) == 0 ? 1 : 0;
    }
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    fake::reset();
    keepAwakeState = KeepAwakeState{0, nullptr, 0, 0};

    std::istringstream typed(input);
    std::ostringstream written;
    std::streambuf* savedIn = std::cin.rdbuf(typed.rdbuf());
    std::streambuf* savedOut = std::cout.rdbuf(written.rdbuf());
    std::cin.clear();

    const int status = runKeepAwake();
    const bool heldAtExit = keepAwakeState.saverEnabled == 1;
    const std::size_t callsBeforeExit = fake::calls.size();
    require(fake::exitHook != nullptr, "exit hook registered", input);
    fake::exitHook();

    std::cin.rdbuf(savedIn);
    std::cout.rdbuf(savedOut);
    std::cin.clear();

    require(status == 0, "exit status 0", input);
    require(fake::deepestSuspend <= 1, "worker held at most one level deep", input);
    require(fake::suspendCount == 0, "worker released at exit", input);
    require(count("postQuitMessage") == 1 && count("waitForThread") == 1 && count("closeThreadHandle") == 1,
            "one stop, one wait, one close", input);

    // The exit processing: a release only if held, then stop, wait, close,
    // and the display let go of.
    std::size_t at = callsBeforeExit;
    if (heldAtExit) {
        require(fake::calls[at++] == "resumeThread worker", "held worker released first", input);
    }
    require(fake::calls.size() == at + 4 && fake::calls[at] == "postQuitMessage 4242" &&
                fake::calls[at + 1] == "waitForThread worker" && fake::calls[at + 2] == "closeThreadHandle worker" &&
                fake::calls[at + 3] == "closeDisplay",
            "stop, wait, close and let go of the display in order at exit", input);

    // The output: one whole screen per command read (one more when the input
    // ran out), the first one offering "e", then the quit lines.
    const std::string output = written.str();
    bool quits = false;
    const std::size_t expectedScreens = commandsRead(input, &quits) + (quits ? 0 : 1);
    std::size_t pos = 0;
    std::size_t screens = 0;
    for (;;) {
        if (output.compare(pos, screens::heldOff.size(), screens::heldOff) == 0) {
            pos += screens::heldOff.size();
        } else if (screens != 0 && output.compare(pos, screens::allowed.size(), screens::allowed) == 0) {
            pos += screens::allowed.size();
        } else {
            break;
        }
        ++screens;
    }
    require(screens == expectedScreens, "one screen per command", input);
    require(output.compare(pos, std::string::npos, screens::quitting + screens::cleanedUp) == 0,
            "quit lines close the output", input);
    require(count("clearConsole") == static_cast<int>(screens), "console cleared before every screen", input);
    return 0;
}
