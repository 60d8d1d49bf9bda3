// One finding of `keepawake --diagnose`: what a reader of the system found,
// as plain data the report and its verdict are made from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// Which of the two ways keeps a timer off.
constexpr unsigned heldByNudge = 1;      // synthetic input counts as activity there
constexpr unsigned heldByInhibitor = 2;  // an idle inhibitor holds it

struct Finding {
    // The report's parts, in the order it prints them.
    enum Part { session, timeout, timers, live, others };
    enum Kind {
        fact,     // plain information
        way,      // a way of keeping this session awake; ok: it is there now; heldBy: what it is
        saverTimeout,  // the timeout keepawake takes its interval from; seconds
        timer,    // blanks, locks or sleeps after seconds (0: never) unless heldBy holds it off
        policy,   // a timer an administrator set: a timer, and worth knowing
        remote,   // ok: this is a remote session
        check,    // the live check; ok: it counted
        holder,   // someone else holding the screen awake
        interval, // the nudge interval keepawake would use; value in milliseconds
    };
    Part part = session;
    Kind kind = fact;
    std::string what;
    std::string value;
    std::string unit;
    std::string source;
    std::string unreadable;  // not empty: it cannot be read here, and why
    std::optional<std::uint32_t> seconds;
    unsigned heldBy = 0;
    bool ok = false;
    std::string advice;  // what to do when this keeps the screen from staying awake
};

inline Finding readFinding(Finding::Part part, Finding::Kind kind, std::string what, std::string value,
                           std::string unit, std::string source) {
    Finding finding;
    finding.part = part;
    finding.kind = kind;
    finding.what = std::move(what);
    finding.value = std::move(value);
    finding.unit = std::move(unit);
    finding.source = std::move(source);
    return finding;
}

inline Finding unreadableFinding(Finding::Part part, Finding::Kind kind, std::string what, std::string why) {
    Finding finding;
    finding.part = part;
    finding.kind = kind;
    finding.what = std::move(what);
    finding.unreadable = std::move(why);
    return finding;
}

// A timer read in seconds: 0 means never.
inline Finding timerFinding(Finding::Kind kind, std::string what, std::uint32_t seconds, std::string source,
                            unsigned heldBy) {
    Finding finding = readFinding(Finding::timers, kind, std::move(what), seconds == 0 ? "never" : std::to_string(seconds),
                                  seconds == 0 ? "" : "s", std::move(source));
    finding.seconds = seconds;
    finding.heldBy = heldBy;
    return finding;
}
