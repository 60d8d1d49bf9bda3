#include "app/control_protocol.h"

#include <array>

namespace control {

namespace {

constexpr std::array verbs{Verb::status, Verb::pause, Verb::resume, Verb::stop};

std::string header() {
    return std::string(magic) + " " + std::to_string(protocolVersion) + " ";
}

std::string_view withoutNewline(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// Takes the next space-separated word off the front.
std::string_view nextWord(std::string_view* rest) {
    const std::size_t space = rest->find(' ');
    const std::string_view word = rest->substr(0, space);
    rest->remove_prefix(space == std::string_view::npos ? rest->size() : space + 1);
    return word;
}

// Printable ASCII only, at most limit bytes: a reply is one line a terminal
// shows as it is.
std::string cleaned(std::string_view text, std::size_t limit) {
    std::string out;
    for (const char c : text.substr(0, limit)) {
        out.push_back(c >= ' ' && c <= '~' ? c : '?');
    }
    return out;
}

}  // namespace

std::string_view verbName(Verb verb) {
    switch (verb) {
    case Verb::status:
        return "status";
    case Verb::pause:
        return "pause";
    case Verb::resume:
        return "resume";
    case Verb::stop:
        return "stop";
    }
    return "status";
}

std::string formatRequest(Verb verb) {
    return header() + std::string(verbName(verb)) + "\n";
}

Request parseRequest(std::string_view line) {
    if (line.size() > requestLimit) {
        return {std::nullopt, "request too long"};
    }
    if (line.empty() || line.back() != '\n') {
        return {std::nullopt, "request incomplete"};
    }
    std::string_view rest = withoutNewline(line);
    if (nextWord(&rest) != magic) {
        return {std::nullopt, "not a keepawake control request"};
    }
    if (nextWord(&rest) != std::to_string(protocolVersion)) {
        return {std::nullopt, "unsupported protocol version (this copy speaks " + std::to_string(protocolVersion) + ")"};
    }
    const std::string_view word = nextWord(&rest);
    if (!rest.empty()) {
        return {std::nullopt, "unexpected words after the request"};
    }
    for (const Verb verb : verbs) {
        if (word == verbName(verb)) {
            return {verb, {}};
        }
    }
    return {std::nullopt, "unknown request '" + cleaned(word, 16) + "'"};
}

std::string formatReply(bool awake, std::string_view details) {
    const std::string state = awake ? "awake" : "paused";
    std::string line = header() + "ok " + state;
    if (!details.empty()) {
        const std::size_t room = replyLimit - line.size() - 2;
        line.push_back(' ');
        line += cleaned(details, room);
    }
    return line + "\n";
}

std::string formatError(std::string_view problem) {
    const std::string line = header() + "error ";
    return line + cleaned(problem, replyLimit - line.size() - 1) + "\n";
}

Reply parseReply(std::string_view line) {
    if (line.empty() || line.back() != '\n' || line.size() > replyLimit) {
        return {false, false, false, "no complete reply"};
    }
    std::string_view rest = withoutNewline(line);
    if (nextWord(&rest) != magic) {
        return {false, false, false, "not a keepawake control reply"};
    }
    const std::string_view version = nextWord(&rest);
    if (version != std::to_string(protocolVersion)) {
        return {false, false, false,
                "it speaks protocol version " + cleaned(version, 8) + ", this one " + std::to_string(protocolVersion)};
    }
    const std::string_view kind = nextWord(&rest);
    if (kind == "error") {
        return {false, false, false, rest.empty() ? "an error without a reason" : cleaned(rest, replyLimit)};
    }
    if (kind != "ok") {
        return {false, false, false, "malformed reply"};
    }
    const std::string_view state = nextWord(&rest);
    if (state != "awake" && state != "paused") {
        return {false, false, false, "malformed reply"};
    }
    std::string text(state);
    if (!rest.empty()) {
        text.push_back(' ');
        text += cleaned(rest, replyLimit);
    }
    // "since HH:MM:SS, cannot keep ...": the words right after the time.
    const std::size_t afterTime = rest.find(", ");
    const bool cannot = afterTime != std::string_view::npos && rest.substr(afterTime + 2).starts_with(cannotKeepAwake);
    return {true, state == "awake", state == "awake" && !cannot, text};
}

}  // namespace control
