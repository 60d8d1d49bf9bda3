// The running copy's side: requests from the endpoint act as the menu's keys
// and as a stop request do, on the main thread, inside its one wait.
#include "app/remote_control.h"

#include <ctime>
#include <iostream>

#include "app/conditions/run_conditions.h"
#include "app/control_protocol.h"
#include "app/keep_awake.h"
#include "app/timers/follow_timers.h"

namespace {

std::chrono::system_clock::time_point stateSince = std::chrono::system_clock::now();
std::string runningCommand;  // for the status line: "runs make -j8"

std::string clockTime(std::chrono::system_clock::time_point when) {
    const std::time_t then = std::chrono::system_clock::to_time_t(when);
    char text[16] = {};
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&then));
    return text;
}

// "since 13:02:11, by GNOME's session manager, quits at 17:30:00": the
// status line after its state. How it keeps awake comes right after the
// time, where a client looks for a copy that cannot.
std::string statusDetails() {
    std::string details = "since " + clockTime(stateSince);
    if (keepAwakeState.saverEnabled == 0) {
        const KeepAwakeWay way = describeKeepAwake(keepAwakeState.nudgeIntervalMs);
        std::string words = way.words;
        // Which timer set the pace, right after "every N ms".
        if (const auto every = words.find("zero moves every "); timers::nudgesAtTheInterval(way)) {
            const auto ms = words.find(" ms", every);
            words.insert(ms == std::string::npos ? words.size() : ms + 3, timers::statusWords());
        }
        details += way.keeps ? ", " + words : ", " + std::string(control::cannotKeepAwake) + ": " + words;
    }
    if (!runLimits.quitsBy.empty()) {
        details += ", quits " + runLimits.quitsBy;
    }
    if (!runningCommand.empty()) {
        details += ", runs " + runningCommand;
    }
    // What the run follows of the machine, as it knows it: why it is paused
    // by itself, or that nothing pauses it.
    if ((runLimits.watched & watchPower) != 0) {
        details += pauseReasons.onBattery ? ", on battery" : ", on mains power";
    }
    if ((runLimits.watched & watchLock) != 0) {
        details += pauseReasons.locked ? ", locked" : ", unlocked";
    }
    details += conditions::statusDetails();
    return details;
}

enum class Outcome { none, changed, stop };

// Answers every request waiting; what the wait must do next.
Outcome serveRequests() {
    Outcome outcome = Outcome::none;
    ControlRequest request;
    while (takeControlRequest(&request)) {
        const control::Request parsed = control::parseRequest(request.line);
        if (!parsed.verb) {
            answerControlRequest(request.connection, control::formatError(parsed.problem));
            continue;
        }
        switch (*parsed.verb) {
        case control::Verb::pause:
            pauseByUser();
            outcome = outcome == Outcome::stop ? outcome : Outcome::changed;
            break;
        case control::Verb::resume:
            resumeByUser();
            outcome = outcome == Outcome::stop ? outcome : Outcome::changed;
            break;
        case control::Verb::stop:
            outcome = Outcome::stop;
            break;
        case control::Verb::status:
            break;
        }
        answerControlRequest(request.connection,
                             control::formatReply(keepAwakeState.saverEnabled == 0, statusDetails()));
    }
    return outcome;
}

}  // namespace

void noteStateChanged() {
    stateSince = std::chrono::system_clock::now();
}

void startControl(const CommandLine& options) {
    stateSince = std::chrono::system_clock::now();
    runningCommand.clear();
    for (const std::string& word : options.command) {
        runningCommand += (runningCommand.empty() ? "" : " ") + word;
    }
    if (const std::string problem = openControlEndpoint(control::requestLimit); !problem.empty()) {
        std::cerr << "keepawake: no control endpoint: " << problem << std::endl;
    }
}

Wake waitServingControl(char* byte, std::optional<std::chrono::steady_clock::time_point> deadline) {
    for (;;) {
        const Wake wake = waitForWake(byte, deadline);
        if (wake != Wake::controlRequest) {
            return wake;
        }
        const Outcome outcome = serveRequests();
        if (outcome == Outcome::stop) {
            return Wake::stopRequested;
        }
        if (outcome == Outcome::changed && byte != nullptr) {
            return Wake::controlRequest;
        }
    }
}
