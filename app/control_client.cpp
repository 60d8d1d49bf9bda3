// The client's side: --status, --pause, --resume, --toggle and --stop ask
// every running copy of this user in turn, each within its own second.
#include <ostream>
#include <vector>

#include "app/control_protocol.h"
#include "app/remote_control.h"

namespace {

using namespace std::chrono_literals;

struct Asked {
    std::uint32_t pid;
    control::Reply reply;
};

// Asks each copy; reports those that did not answer. False when one did not.
bool askAll(const std::vector<std::uint32_t>& pids, control::Verb verb, std::vector<Asked>* answered,
            std::ostream& err) {
    bool allAnswered = true;
    for (const std::uint32_t pid : pids) {
        const ControlAnswer answer =
            askControlEndpoint(pid, control::formatRequest(verb), control::replyLimit, 1000ms);
        if (answer.outcome == ControlAnswer::gone) {
            continue;  // ended meanwhile
        }
        if (answer.outcome == ControlAnswer::silent) {
            err << "keepawake: copy " << pid << " did not answer within 1 s (" << answer.problem << ")" << std::endl;
            allAnswered = false;
            continue;
        }
        if (answer.outcome == ControlAnswer::refused) {
            err << "keepawake: copy " << pid << " cannot be reached: " << answer.problem << std::endl;
            allAnswered = false;
            continue;
        }
        const control::Reply reply = control::parseReply(answer.reply);
        if (!reply.ok) {
            err << "keepawake: copy " << pid << " refused: " << reply.text << std::endl;
            allAnswered = false;
            continue;
        }
        answered->push_back({pid, reply});
    }
    return allAnswered;
}

}  // namespace

int runControlClient(ControlAction action, std::ostream& out, std::ostream& err) {
    std::string problem;
    const std::vector<std::uint32_t> pids = findControlEndpoints(&problem);
    if (!problem.empty()) {
        err << "keepawake: cannot look for running copies: " << problem << std::endl;
        return controlNoCopy;
    }
    std::vector<Asked> answered;
    bool allAnswered = true;
    control::Verb verb = control::Verb::status;
    switch (action) {
    case ControlAction::status:
    case ControlAction::toggle:
        verb = control::Verb::status;
        break;
    case ControlAction::pause:
        verb = control::Verb::pause;
        break;
    case ControlAction::resume:
        verb = control::Verb::resume;
        break;
    case ControlAction::stop:
        verb = control::Verb::stop;
        break;
    }
    allAnswered = askAll(pids, verb, &answered, err);

    if (action == ControlAction::toggle && !answered.empty()) {
        bool anyAwake = false;
        std::vector<std::uint32_t> toChange;
        for (const Asked& asked : answered) {
            anyAwake = anyAwake || asked.reply.awake;
            toChange.push_back(asked.pid);
        }
        answered.clear();
        allAnswered = askAll(toChange, anyAwake ? control::Verb::pause : control::Verb::resume, &answered, err) &&
                      allAnswered;
    }

    if (answered.empty() && allAnswered) {
        err << "keepawake: no running copy of keepawake" << std::endl;
        return controlNoCopy;
    }
    if (action != ControlAction::status) {
        return allAnswered ? 0 : controlNotAllDone;
    }
    // 0 only where a copy really keeps the session awake: one that runs but
    // cannot does not count.
    bool anyKeeps = false;
    for (const Asked& asked : answered) {
        out << asked.pid << " " << asked.reply.text << "\n";
        anyKeeps = anyKeeps || asked.reply.keepsAwake;
    }
    out << std::flush;
    return allAnswered && anyKeeps ? 0 : controlNotAllDone;
}
