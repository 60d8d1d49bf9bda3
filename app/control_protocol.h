// The control protocol: one request line from a client, one reply line from
// the running copy. Plain text, versioned, so that copies of different
// versions can tell each other apart. No system service here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace control {

// Bumped whenever a request or a reply changes meaning.
constexpr int protocolVersion = 1;
constexpr std::string_view magic = "keepawake-control";

// The longest request line, newline included; anything longer is refused.
constexpr std::size_t requestLimit = 64;
// The longest reply line a client reads, newline included.
constexpr std::size_t replyLimit = 512;

enum class Verb { status, pause, resume, stop };

std::string_view verbName(Verb verb);

// "keepawake-control 1 status\n".
std::string formatRequest(Verb verb);

struct Request {
    std::optional<Verb> verb;  // set when the line is a request this version serves
    std::string problem;       // otherwise why not, for the error reply
};

// One request line as received, with or without its newline. Never throws.
Request parseRequest(std::string_view line);

// A running copy that cannot keep the session awake says so right after its
// time: "awake since 13:02:11, cannot keep the session awake: no way
// offered". Clients before this read it as awake; this version does not.
constexpr std::string_view cannotKeepAwake = "cannot keep the session awake";

// "keepawake-control 1 ok awake since 13:02:11, by zero moves every 762
// ms\n": the state and the rest of the status line, which is cut and cleaned
// to stay one printable line.
std::string formatReply(bool awake, std::string_view details);
// "keepawake-control 1 error <problem>\n".
std::string formatError(std::string_view problem);

struct Reply {
    bool ok = false;
    bool awake = false;       // the state: running, not paused
    bool keepsAwake = false;  // awake, and able to keep the session so
    std::string text;  // ok: "awake since ..." or "paused since ..."; otherwise the problem
};

// A reply line as received, with or without its newline.
Reply parseReply(std::string_view line);

}  // namespace control
