#include "app/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <string_view>
#include <tuple>
#include <utility>
#include <ostream>

#include "app/conditions/program_names.h"
#include "app/durations.h"
#include "app/hotkey/hotkey_keys.h"

namespace {

constexpr const char* programName = "keepawake";

constexpr const char* helpText =
    "Usage: keepawake [OPTION]... [-- COMMAND [ARG]...]\n"
    "Keeps the screen saver from starting, from a menu or for a set time.\n"
    "\n"
    "  -t, --for DURATION       keep awake for DURATION, then quit\n"
    "  -u, --until TIME         keep awake until the local clock time HH:MM or HH:MM:SS,\n"
    "                           then quit (today, or tomorrow if that time has passed)\n"
    "  -w, --while-pid PID      keep awake while process PID runs, then quit\n"
    "  -n, --no-menu            no menu and no console clearing: keep awake until a\n"
    "                           limit above, Ctrl+C, or a request to terminate\n"
    "  -i, --interval DURATION  nudge every DURATION (10ms to 24h) instead of the\n"
    "                           interval the screen-saver timeout gives\n"
    "      --only-on-ac         keep awake only while the machine runs on mains power:\n"
    "                           on battery it pauses by itself and resumes when power\n"
    "                           comes back\n"
    "      --pause-when-locked  pause by itself while the session is locked; resume on\n"
    "                           unlock\n"
    "      --only-when-idle     nudge only once nobody has used the session for a whole\n"
    "                           interval; never while someone works\n"
    "      --while-running NAME keep awake only while a program NAME of this user runs:\n"
    "                           paused while none does (repeatable: any of them)\n"
    "      --during HH:MM-HH:MM keep awake only between these local times (repeatable;\n"
    "                           HH:MM:SS too); one that ends before it starts runs\n"
    "                           past midnight and belongs to the day it starts\n"
    "      --days LIST          keep awake only on these days: mon-fri, sat,sun,\n"
    "                           mon,wed,fri; without --during, the whole day\n"
    "      --hotkey KEYS        pressing KEYS anywhere in the session pauses or resumes,\n"
    "                           as --toggle does; KEYS like ctrl+alt+k or super+shift+f9\n"
    "      --status             one line per running copy of this user: process id,\n"
    "                           awake or paused, since when, its limit or command\n"
    "      --pause              pause every running copy, as its \"e\" does\n"
    "      --resume             resume every running copy, as its \"d\" does\n"
    "      --toggle             pause them all if one keeps awake, else resume them all\n"
    "      --stop               end every running copy in order, as its \"q\" does\n"
    "      --diagnose           report what keeps this screen awake and what will still\n"
    "                           blank, lock or sleep it; exit 0 when it can be kept\n"
    "                           awake, 1 when not\n"
    "      --version            print the version and exit\n"
    "  -h, --help               print this help and exit\n"
    "\n"
    "The first limit to arrive ends the program. With -- COMMAND, keep awake while\n"
    "COMMAND runs, then exit with its status (127: not found, 126: not runnable).\n"
    "DURATION is seconds, or numbers with units ms, s, m, h, d: 90, 45m, 1h30m, 250ms.\n"
    "A control option is given alone; it exits 0 when every copy did as asked\n"
    "(--status: when one keeps awake), 1 when one did not answer within 1 s\n"
    "(--status: or all are paused), 3 when none runs.\n";

struct ControlOption {
    const char* name;
    ControlAction action;
    const char* help;
};

constexpr ControlOption controlOptions[] = {
    {"--status", ControlAction::status, "one line per running copy of this user; exit 0 if one keeps awake"},
    {"--pause", ControlAction::pause, "pause every running copy, as its \"e\" does"},
    {"--resume", ControlAction::resume, "resume every running copy, as its \"d\" does"},
    {"--toggle", ControlAction::toggle, "pause them all if one keeps awake, otherwise resume them all"},
    {"--stop", ControlAction::stop, "end every running copy in order, as its \"q\" does"},
};

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// Digits only, 1 to the largest 32-bit value.
std::optional<std::uint32_t> parsePid(const std::string& text) {
    if (text.empty() || text.size() > 10 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const unsigned long long pid = std::stoull(text);
    if (pid == 0 || pid > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(pid);
}

// What each option's value is, for the line that says it is empty.
constexpr std::pair<std::string_view, const char*> valueNames[] = {
    {"--for", "duration"},          {"--interval", "duration"},          {"--until", "clock time"},
    {"--while-pid", "process id"},  {"--while-running", "program name"}, {"--during", "time window"},
    {"--days", "list of days"},     {"--hotkey", "key combination"},
};

std::string emptyValueProblem(std::string_view option) {
    for (const auto& [name, value] : valueNames) {
        if (name == option) {
            return std::string(option) + ": empty " + value;
        }
    }
    return std::string(option) + ": empty value";
}

}  // namespace

void reportUsageError(std::ostream& err, const std::string& problem) {
    err << programName << ": " << oneLine(problem) << '\n'
        << "Try '" << programName << " --help' for more information." << std::endl;
}

std::optional<int> parseCommandLine(const std::vector<std::string>& arguments, CommandLine* options,
                                    std::ostream& out, std::ostream& err) {
    *options = CommandLine{};
    // Everything after the first "--" is the command, untouched.
    const auto dashes = std::find(arguments.begin(), arguments.end(), "--");
    std::vector<std::string> own(arguments.begin(), dashes);
    if (dashes != arguments.end()) {
        options->command.assign(dashes + 1, arguments.end());
        if (options->command.empty()) {
            reportUsageError(err, "missing COMMAND after '--'");
            return usageErrorStatus;
        }
    }

    CLI::App app(helpText, programName);
    std::string forText;
    std::string untilText;
    std::string pidText;
    std::string intervalText;
    CLI::Option* forOption =
        app.add_option("-t,--for", forText, "keep awake for DURATION, then quit")->type_name("DURATION");
    CLI::Option* untilOption =
        app.add_option("-u,--until", untilText, "keep awake until the local clock time (today or tomorrow), then quit")
            ->type_name("HH:MM[:SS]");
    CLI::Option* pidOption =
        app.add_option("-w,--while-pid", pidText, "keep awake while process PID runs, then quit")->type_name("PID");
    app.add_flag("-n,--no-menu", options->noMenu,
                 "no menu and no console clearing: keep awake until a limit, Ctrl+C or a request to terminate");
    CLI::Option* intervalOption =
        app.add_option("-i,--interval", intervalText, "nudge every DURATION (10ms to 24h) instead of the timeout's")
            ->type_name("DURATION");
    app.add_flag("--only-on-ac", options->onlyOnAc, "keep awake only while on mains power");
    app.add_flag("--pause-when-locked", options->pauseWhenLocked, "pause by itself while the session is locked");
    app.add_flag("--only-when-idle", options->onlyWhenIdle, "nudge only once the session was idle an interval");
    std::vector<std::string> runningTexts;
    std::vector<std::string> duringTexts;
    std::vector<std::string> daysTexts;
    // Each takes one value per use and may be used again.
    for (auto [name, texts, type, help] :
         {std::tuple{"--while-running", &runningTexts, "NAME", "keep awake only while a program NAME runs"},
          std::tuple{"--during", &duringTexts, "HH:MM-HH:MM", "keep awake only between these local times"},
          std::tuple{"--days", &daysTexts, "LIST", "keep awake only on these days"}}) {
        app.add_option(name, *texts, help)
            ->type_name(type)
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }
    std::string hotkeyText;
    CLI::Option* hotkeyOption =
        app.add_option("--hotkey", hotkeyText, "pressing KEYS anywhere pauses or resumes, as --toggle does")
            ->type_name("KEYS");
    std::vector<std::pair<CLI::Option*, ControlAction>> controls;
    for (const ControlOption& control : controlOptions) {
        controls.emplace_back(app.add_flag(control.name, control.help), control.action);
    }
    CLI::Option* diagnoseOption = 
        app.add_flag("--diagnose", options->diagnose, "report what keeps this screen awake and what will not");
    app.set_version_flag("--version", std::string(programName) + " " + KEEPAWAKE_VERSION);

    // CLI11 takes "--no-menu=3" and "--no-menu=" as the flag itself; a value
    // given to a flag is bad usage. It takes "--for=" as "--for" alone, with
    // the next word as its value; as getopt_long reads it, the value is
    // empty, which no option takes.
    for (const std::string& word : own) {
        const std::size_t equals = word.find('=');
        if (word.rfind("--", 0) != 0 || equals == std::string::npos) {
            continue;
        }
        const std::string name = word.substr(0, equals);
        const CLI::Option* option = app.get_option_no_throw(name);
        if (option != nullptr && option->get_expected_max() == 0) {
            reportUsageError(err, "option '" + name + "' takes no value");
            return usageErrorStatus;
        }
        if (option != nullptr && equals + 1 == word.size()) {
            reportUsageError(err, emptyValueProblem(name));
            return usageErrorStatus;
        }
    }

    try {
        // CLI11 takes the words in reverse order.
        std::vector<std::string> reversed(own.rbegin(), own.rend());
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        out << helpText << std::flush;
        return 0;
    } catch (const CLI::CallForVersion&) {
        out << programName << " " << KEEPAWAKE_VERSION << std::endl;
        return 0;
    } catch (const CLI::ParseError& error) {
        reportUsageError(err, error.what());
        return usageErrorStatus;
    }

    auto fail = [&](const std::string& problem) {
        reportUsageError(err, problem);
        return usageErrorStatus;
    };
    for (const auto& [option, action] : controls) {
        if (option->count() == 0) {
            continue;
        }
        // Exactly the option's own word, alone: no value, no other option.
        if (arguments.size() != 1 || arguments[0] != option->get_name()) {
            return fail(option->get_name() + " combines with no other option");
        }
        options->control = action;
        return std::nullopt;
    }
    if (diagnoseOption->count() > 0) {
        if (arguments.size() != 1 || arguments[0] != "--diagnose") {
            return fail("--diagnose combines with no other option");
        }
        options->diagnose = true;
        return std::nullopt;
    }
    const std::string durationExamples = "' (examples: 90, 45m, 1h30m, 250ms)";
    if (forOption->count() > 0 && !(options->forDuration = parseDuration(forText))) {
        return fail("invalid duration '" + forText + durationExamples);
    }
    if (untilOption->count() > 0 && !(options->untilTime = parseClockTime(untilText))) {
        return fail("invalid clock time '" + untilText + "' (use HH:MM or HH:MM:SS, 00:00 to 23:59:59)");
    }
    if (pidOption->count() > 0 && !(options->whilePid = parsePid(pidText))) {
        return fail("invalid process id '" + pidText + "'");
    }
    if (intervalOption->count() > 0) {
        const auto interval = parseDuration(intervalText);
        if (!interval) {
            return fail("invalid duration '" + intervalText + durationExamples);
        }
        if (*interval < std::chrono::milliseconds(shortestIntervalMs) ||
            *interval > std::chrono::milliseconds(longestIntervalMs)) {
            return fail("interval '" + intervalText + "' out of range (10ms to 24h)");
        }
        options->intervalMs = static_cast<std::uint32_t>(interval->count());
    }
    std::string problem;
    for (const std::string& name : runningTexts) {
        if (problem = conditions::programNameProblem(name); !problem.empty()) {
            return fail(problem);
        }
        if (std::find(options->whileRunning.begin(), options->whileRunning.end(), name) ==
            options->whileRunning.end()) {
            options->whileRunning.push_back(name);
        }
    }
    for (const std::string& text : duringTexts) {
        const auto window = conditions::parseWindow(text, &problem);
        if (!window) {
            return fail(problem);
        }
        options->during.push_back(*window);
    }
    for (const std::string& text : daysTexts) {
        const auto days = conditions::parseDays(text, &problem);
        if (!days) {
            return fail(problem);
        }
        options->days = options->days.value_or(0) | *days;
    }
    if (hotkeyOption->count() > 0) {
        if (!(options->hotkey = parseHotkey(hotkeyText, &problem))) {
            return fail(problem);
        }
    }
    if (!options->command.empty()) {
        if (options->forDuration || options->untilTime || options->whilePid) {
            return fail("-- COMMAND does not combine with --for, --until or --while-pid");
        }
        options->noMenu = true;
    }
    return std::nullopt;
}
