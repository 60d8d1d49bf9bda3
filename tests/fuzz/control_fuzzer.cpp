// Any bytes as a request line, and as a reply line, must give a verb or a
// one-line problem, and every line the copy could send back must stay one
// short printable line that a client reads as it was meant; never a crash, a
// hang or a sanitizer report.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/control_protocol.h"

namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

bool oneShortLine(const std::string& line) {
    if (line.empty() || line.size() > control::replyLimit || line.back() != '\n') {
        return false;
    }
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if (line[i] < ' ' || line[i] > '~') {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const control::Request request = control::parseRequest(bytes);
    if (request.verb) {
        require(request.problem.empty(), "a verb comes without a problem");
        require(size <= control::requestLimit && bytes.back() == '\n', "only a whole line within the limit");
        require(control::parseRequest(control::formatRequest(*request.verb)).verb == request.verb,
                "the verb's own request reads back the same");
        const std::string reply = control::formatReply(size % 2 == 0, bytes);
        require(oneShortLine(reply), "an answer is one short printable line");
        const control::Reply read = control::parseReply(reply);
        require(read.ok && read.awake == (size % 2 == 0), "a client reads the state sent");
    } else {
        require(!request.problem.empty(), "a refusal says why");
        const std::string error = control::formatError(request.problem);
        require(oneShortLine(error), "an error is one short printable line");
        const control::Reply read = control::parseReply(error);
        require(!read.ok && !read.text.empty(), "a client reads an error as one");
    }

    const control::Reply reply = control::parseReply(bytes);
    require(reply.ok || !reply.text.empty(), "a reply that is not taken says why");
    if (reply.ok) {
        require(reply.text.rfind(reply.awake ? "awake" : "paused", 0) == 0, "the text starts with the state");
    }
    for (const char c : reply.text) {
        require(c >= ' ' && c <= '~', "what a client prints is printable");
    }
    return 0;
}
