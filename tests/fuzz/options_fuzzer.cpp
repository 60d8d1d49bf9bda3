// Any argument list, split from the input at NUL bytes, must give either a
// configuration that holds together, or status 0 with the help or version on
// standard output, or status 2 with exactly one line naming the problem and
// the hint on standard error; never a crash, a hang or a sanitizer report.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.emplace_back();
        } else {
            words.back().push_back(static_cast<char>(data[i]));
        }
    }
    if (size == 0) {
        words.clear();
    }

    CommandLine options;
    std::ostringstream out;
    std::ostringstream err;
    const auto status = parseCommandLine(words, &options, out, err);
    const std::string printed = out.str();
    const std::string reported = err.str();

    if (!status) {
        require(printed.empty() && reported.empty(), "a run prints nothing while reading its options");
        require(!options.intervalMs || (*options.intervalMs >= shortestIntervalMs &&
                                        *options.intervalMs <= longestIntervalMs),
                "interval within 10 ms to 24 h");
        require(!options.whilePid || *options.whilePid != 0, "no process 0");
        require(!options.untilTime || options.untilTime->count() < 86400, "clock time within the day");
        for (const std::string& name : options.whileRunning) {
            require(!name.empty() && name.find('/') == std::string::npos, "a program name without a folder");
        }
        for (const conditions::Window& window : options.during) {
            require(window.start != window.end && window.start >= 0 && window.start < 86400 && window.end >= 0 &&
                        window.end < 86400,
                    "a window of some length within the day");
        }
        require(!options.days || (*options.days != 0 && *options.days <= conditions::everyDay), "some days");
        require(options.command.empty() || (options.noMenu && !options.forDuration && !options.untilTime &&
                                            !options.whilePid),
                "a command runs alone and without the menu");
        return 0;
    }
    if (*status == 0) {
        require(!printed.empty() && reported.empty(), "help and version go to standard output alone");
        return 0;
    }
    const std::string hint = "Try 'keepawake --help' for more information.\n";
    require(*status == usageErrorStatus, "bad usage exits 2");
    require(printed.empty(), "nothing on standard output after bad usage");
    require(reported.size() > hint.size() && reported.rfind("keepawake: ", 0) == 0, "the problem is named");
    require(reported.compare(reported.size() - hint.size(), hint.size(), hint) == 0, "the hint comes last");
    require(reported.find('\n') == reported.size() - hint.size() - 1, "the problem takes exactly one line");
    return 0;
}
