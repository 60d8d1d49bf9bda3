// Reading the command line: durations, clock times, option combinations, and
// what each bad usage leaves behind (nothing but two lines on stderr).
#include <gtest/gtest.h>

#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/durations.h"
#include "app/keep_awake.h"
#include "tests/support/fake_platform.h"

namespace {

using namespace std::chrono;
using Words = std::vector<std::string>;

TEST(Duration, ReadsEveryFormAndRefusesTheEdges) {
    const struct {
        const char* text;
        long long ms;  // -1: refused
    } cases[] = {
        {"90", 90'000},       {"90s", 90'000},       {"45m", 2'700'000},  {"2h", 7'200'000},
        {"1d", 86'400'000},   {"250ms", 250},        {"1h30m", 5'400'000}, {"1h0m0s1ms", 3'600'001},
        {"0", 0},             {"0ms", 0},            {"007s", 7'000},      {"9999d", 863'913'600'000},
        {"", -1},             {"1h30", -1},          {"+5", -1},           {"-5", -1},
        {"5 s", -1},          {" 5", -1},            {"1m1h", -1},         {"1h1h", -1},
        {"1.5h", -1},         {"s", -1},             {"5x", -1},           {"5S", -1},
        {"10000d", -1},       {"864000000", -1},     {"99999999999999999999999", -1},
        {"9999d1ms", -1},     {"1hm", -1},           {"1h30m ", -1},
    };
    for (const auto& c : cases) {
        const auto parsed = parseDuration(c.text);
        if (c.ms < 0) {
            EXPECT_FALSE(parsed) << '"' << c.text << "\" gave " << parsed->count();
        } else {
            ASSERT_TRUE(parsed) << '"' << c.text << '"';
            EXPECT_EQ(parsed->count(), c.ms) << '"' << c.text << '"';
        }
    }
}

TEST(ClockTime, ReadsTheDayAndRefusesTheEdges) {
    const struct {
        const char* text;
        long long seconds;  // -1: refused
    } cases[] = {
        {"00:00", 0},     {"23:59:59", 86'399}, {"9:05", 32'700}, {"17:30", 63'000}, {"07:00:01", 25'201},
        {"24:00", -1},    {"12:60", -1},        {"12:00:60", -1}, {"", -1},          {"+1:00", -1},
        {"12:5", -1},     {"123:00", -1},       {"12:00:", -1},   {"12:00:5", -1},   {":30", -1},
        {"12-30", -1},    {"12:30:00:00", -1},  {"1230", -1},     {"-1:00", -1},     {"12:3a", -1},
    };
    for (const auto& c : cases) {
        const auto parsed = parseClockTime(c.text);
        if (c.seconds < 0) {
            EXPECT_FALSE(parsed) << '"' << c.text << '"';
        } else {
            ASSERT_TRUE(parsed) << '"' << c.text << '"';
            EXPECT_EQ(parsed->count(), c.seconds) << '"' << c.text << '"';
        }
    }
}

struct Parsed {
    std::optional<int> status;
    CommandLine options;
    std::string out;
    std::string err;
};

Parsed parse(const Words& words) {
    Parsed parsed;
    std::ostringstream out;
    std::ostringstream err;
    parsed.status = parseCommandLine(words, &parsed.options, out, err);
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}

TEST(Options, GoodCombinationsGiveTheirSettings) {
    Parsed p = parse({});
    EXPECT_FALSE(p.status);
    EXPECT_FALSE(p.options.forDuration || p.options.untilTime || p.options.whilePid || p.options.intervalMs);
    EXPECT_FALSE(p.options.noMenu);

    p = parse({"--for=2h", "-u", "17:30", "-w", "4242", "-n", "--interval", "250ms"});
    ASSERT_FALSE(p.status) << p.err;
    EXPECT_EQ(*p.options.forDuration, hours(2));
    EXPECT_EQ(*p.options.untilTime, hours(17) + minutes(30));
    EXPECT_EQ(*p.options.whilePid, 4242u);
    EXPECT_TRUE(p.options.noMenu);
    EXPECT_EQ(*p.options.intervalMs, 250u);

    // The command is taken as it is, options of its own included; it implies
    // no menu.
    p = parse({"-i", "10ms", "--", "make", "--for", "--", "-j2"});
    ASSERT_FALSE(p.status) << p.err;
    EXPECT_EQ(p.options.command, (Words{"make", "--for", "--", "-j2"}));
    EXPECT_TRUE(p.options.noMenu);
    EXPECT_EQ(*p.options.intervalMs, 10u);
    EXPECT_EQ(*parse({"-i", "24h"}).options.intervalMs, 86'400'000u);
    EXPECT_EQ(*parse({"-w", "4294967295"}).options.whilePid, 4294967295u);

    EXPECT_FALSE(p.options.onlyWhenIdle);
    EXPECT_TRUE(parse({"--only-when-idle", "-n", "--", "make"}).options.onlyWhenIdle);

    p = parse({"--diagnose"});
    ASSERT_FALSE(p.status) << p.err;
    EXPECT_TRUE(p.options.diagnose);

    for (const char* asked : {"--help", "-h", "--version"}) {
        p = parse({"--for", "1h", asked});
        EXPECT_EQ(p.status, 0) << asked;
        EXPECT_TRUE(p.err.empty()) << asked;
        EXPECT_NE(p.out.find(std::string(asked) == "--version" ? "keepawake " KEEPAWAKE_VERSION "\n" : "--while-pid PID"),
                  std::string::npos)
            << asked << ": " << p.out;
    }
}

TEST(Options, BadUsageIsOneLineNamingTheProblemThenTheHint) {
    const struct {
        Words words;
        const char* named;  // part of the one line
    } cases[] = {
        {{"--bogus"}, "--bogus"},
        {{"make"}, "make"},
        {{"--for"}, "--for"},
        {{"--for="}, "--for"},
        // "--name=" is an empty value, never a way to take the next word.
        {{"--while-running=", "--no-menu"}, "--while-running: empty program name"},
        {{"--for=", "--no-menu"}, "--for: empty duration"},
        {{"--until=", "17:30"}, "--until: empty clock time"},
        {{"--while-pid=", "42"}, "--while-pid: empty process id"},
        {{"-n", "--interval="}, "--interval: empty duration"},
        {{"--during=", "09:00-17:00"}, "--during: empty time window"},
        {{"--days=", "mon-fri"}, "--days: empty list of days"},
        {{"--hotkey=", "ctrl+alt+k"}, "--hotkey: empty key combination"},
        {{"-t", "1h30"}, "'1h30'"},
        {{"--for", "-5"}, "-5"},
        {{"--until", "24:00"}, "'24:00'"},
        {{"-u", "7pm"}, "'7pm'"},
        {{"-w", "0"}, "'0'"},
        {{"-w", "4294967296"}, "'4294967296'"},
        {{"-w", "12ab"}, "'12ab'"},
        {{"-i", "9ms"}, "'9ms'"},
        {{"-i", "24h1ms"}, "'24h1ms'"},
        {{"-i", "0"}, "'0'"},
        {{"--for", "1h", "--for", "2h"}, "--for"},
        {{"--"}, "COMMAND"},
        {{"-n", "--"}, "COMMAND"},
        {{"--for", "1h", "--", "make"}, "does not combine"},
        {{"--until", "17:30", "--", "make"}, "does not combine"},
        {{"-w", "1", "--", "make"}, "does not combine"},
        {{"--for", "1h\nsecond line"}, "second line"},
        {{"--no-menu=3"}, "'--no-menu' takes no value"},
        {{"--no-menu=true"}, "'--no-menu' takes no value"},
        {{"--no-menu="}, "'--no-menu' takes no value"},
        {{"-t", "1h", "--version=2"}, "'--version' takes no value"},
        {{"--help=x"}, "'--help' takes no value"},
        {{"-n3"}, "-3"},
        {{"--diagnose", "-n"}, "--diagnose combines with no other option"},
        {{"--for", "1h", "--diagnose"}, "--diagnose combines with no other option"},
        {{"--diagnose", "--diagnose"}, "--diagnose"},
        {{"--diagnose=yes"}, "'--diagnose' takes no value"},
        {{"--only-when-idle=1"}, "'--only-when-idle' takes no value"},
        {{"--only-when-idle", "--status"}, "--status combines with no other option"},
        {{"--diagnose", "--", "make"}, "--diagnose combines with no other option"},
        {{"--hotkey"}, "--hotkey"},
        {{"--hotkey", "ctrl+alt+kk"}, "unknown key 'kk' in hotkey 'ctrl+alt+kk'"},
        {{"--hotkey", "ctrl+alt"}, "hotkey 'ctrl+alt' has no key"},
        {{"--hotkey", "k"}, "typing key"},
        {{"--hotkey", "ctrl+alt+k\nsecond line"}, "second line"},
        {{"--hotkey", "ctrl+alt+k", "--hotkey", "ctrl+alt+j"}, "--hotkey"},
        {{"--hotkey", "ctrl+alt+k", "--toggle"}, "--toggle combines with no other option"},
        {{"--hotkey=ctrl+alt+k", "--status"}, "--status combines with no other option"},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.words);
        const std::string shown = c.words.empty() ? "" : c.words[0] + " ...";
        EXPECT_EQ(p.status, usageErrorStatus) << shown;
        EXPECT_TRUE(p.out.empty()) << shown;
        const std::string hint = "Try 'keepawake --help' for more information.\n";
        ASSERT_GT(p.err.size(), hint.size()) << shown;
        const std::string first = p.err.substr(0, p.err.size() - hint.size());
        EXPECT_EQ(p.err.substr(first.size()), hint) << shown;
        EXPECT_EQ(first.rfind("keepawake: ", 0), 0u) << first;
        EXPECT_EQ(first.find('\n'), first.size() - 1) << "one line: " << first;
        EXPECT_NE(first.find(c.named), std::string::npos) << first;
    }
}

// Noon today, local time: the clock times below are then the same distance
// away in every time zone.
system_clock::time_point noonToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local = *std::localtime(&now);
    local.tm_hour = 12;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    return system_clock::from_time_t(std::mktime(&local));
}

TEST(LimitTimes, FirstLimitWinsAndTheMenuLineSaysWhen) {
    const struct {
        Words words;
        seconds away;  // from noon; 0: no deadline
        const char* quitsBy;
    } cases[] = {
        {{"--for", "90"}, seconds(90), "at 12:01:30"},
        {{"--until", "12:00:01"}, seconds(1), "at 12:00:01"},
        {{"--until", "12:00"}, hours(24), "at 12:00:00 on "},  // now has passed: tomorrow
        {{"--until", "11:59"}, hours(24) - minutes(1), "at 11:59:00 on "},
        {{"--for", "2h", "--until", "13:00"}, hours(1), "at 13:00:00"},
        {{"--for", "30m", "--until", "13:00"}, minutes(30), "at 12:30:00"},
        {{"--for", "2h", "-w", "42"}, hours(2), "at 14:00:00 or when process 42 ends"},
        {{"-w", "42"}, seconds(0), "when process 42 ends"},
        {{"-n"}, seconds(0), ""},
    };
    for (const auto& c : cases) {
        runLimits = RunLimits{};
        fake::reset();
        const Parsed p = parse(c.words);
        ASSERT_FALSE(p.status) << p.err;
        const auto noon = noonToday();
        EXPECT_EQ(prepareLimits(p.options, noon), "");
        armLimits(p.options);
        EXPECT_EQ(runLimits.quitsBy.rfind(c.quitsBy, 0), 0u) << c.words[0] << ": " << runLimits.quitsBy;
        if (c.away == seconds(0)) {
            EXPECT_FALSE(fake::wallDeadline || fake::elapsedDeadline) << c.words[0];
            continue;
        }
        // --for on the clock that counts sleep, --until on the system clock;
        // the first to come ends the run.
        std::optional<system_clock::time_point> first;
        if (fake::elapsedDeadline) {
            first = noon + *fake::elapsedDeadline;
        }
        if (fake::wallDeadline) {
            first = first ? std::min(*first, *fake::wallDeadline) : *fake::wallDeadline;
        }
        ASSERT_TRUE(first) << c.words[0];
        // A daylight-saving change tonight moves "tomorrow" by up to an hour.
        const auto slack = c.away >= hours(23) ? hours(1) : seconds(1);
        EXPECT_NEAR(duration_cast<seconds>(*first - noon).count(), c.away.count(), slack.count()) << c.words[0];
    }
    runLimits = RunLimits{};
}

}  // namespace
