// The control endpoint on POSIX: one Unix socket per copy, named by its
// process id, in a folder of the user's own (0700). Both sides check owners:
// the folder and the socket by their files, the peer by SO_PEERCRED. Never
// in the abstract namespace, which no file permission protects.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/posix_control.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto connectionTime = std::chrono::seconds(1);
constexpr std::size_t connectionLimit = controlWaitSlots - 1;

struct Connection {
    int fd = -1;
    std::uint64_t id = 0;
    std::string received;
    Clock::time_point deadline;
    bool complete = false;  // handed over, waiting for its answer
};

int listener = -1;
std::string socketPath;
std::size_t lineLimit = 64;
Connection connections[connectionLimit];
std::uint64_t nextId = 1;
std::deque<std::uint64_t> ready;
// Out of descriptors, accept fails and the listener stays readable: it is
// left out of the wait for a second rather than woken on at once, forever.
std::optional<Clock::time_point> acceptResumes;

std::string describeError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The folder every copy of this user puts its socket in; a copy makes it
// 0700 when missing, a client never does. Empty, with *problem set when it
// is not safely the user's (a client's missing folder is no problem).
std::string controlFolder(bool create, std::string* problem) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = runtime != nullptr && runtime[0] == '/'
                             ? std::string(runtime) + "/keepawake-control"
                             : "/tmp/keepawake-control-" + std::to_string(getuid());
    if (create && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        *problem = describeError("cannot make " + folder);
        return {};
    }
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) {
        if (create || errno != ENOENT) {
            *problem = describeError("cannot read " + folder);
        }
        return {};
    }
    if (!S_ISDIR(info.st_mode)) {
        *problem = folder + " is not a folder";
        return {};
    }
    if (info.st_uid != getuid()) {
        *problem = folder + " belongs to user " + std::to_string(info.st_uid) + ", not to this user";
        return {};
    }
    if ((info.st_mode & 022) != 0) {
        *problem = folder + " can be written by other users";
        return {};
    }
    return folder;
}

bool fillAddress(const std::string& path, sockaddr_un* address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) {
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool processGone(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

// The copy's process id from its socket's name, "4242.sock"; 0 otherwise.
pid_t pidOfName(const char* name) {
    char* end = nullptr;
    const long pid = std::strtol(name, &end, 10);
    return name[0] >= '1' && name[0] <= '9' && std::strcmp(end, ".sock") == 0 && pid > 0 && pid < 0x7fffffff
               ? static_cast<pid_t>(pid)
               : 0;
}

// Connects without waiting: 0 when connected, otherwise the error.
int connectTo(const std::string& path, int* fd) {
    sockaddr_un address;
    if (!fillAddress(path, &address)) {
        return ENAMETOOLONG;
    }
    *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (*fd < 0) {
        return errno;
    }
    if (connect(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int failure = errno;
        close(*fd);
        *fd = -1;
        return failure;
    }
    return 0;
}

// A socket nobody listens on, left by a process that is gone (kill -9).
bool removeIfStale(const std::string& path, pid_t pid) {
    if (!processGone(pid)) {
        return false;
    }
    int fd = -1;
    const int failure = connectTo(path, &fd);
    if (failure == 0) {
        close(fd);
        return false;
    }
    if (failure == ECONNREFUSED || failure == ENOENT) {
        unlink(path.c_str());
        return true;
    }
    return false;
}

std::vector<pid_t> socketsIn(const std::string& folder) {
    std::vector<pid_t> pids;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (const pid_t pid = pidOfName(entry->d_name)) {
                pids.push_back(pid);
            }
        }
        closedir(dir);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::string socketName(const std::string& folder, pid_t pid) {
    return folder + "/" + std::to_string(pid) + ".sock";
}

void closeConnection(Connection& connection) {
    if (connection.fd >= 0) {
        close(connection.fd);
    }
    connection = Connection{};
}

void removeEndpoint() {
    if (listener >= 0) {
        unlink(socketPath.c_str());
        close(listener);
        listener = -1;
    }
}

// Refused without a word beyond a fixed line: another user, or too many.
void refuse(int fd, const char* reply) {
    [[maybe_unused]] const ssize_t sent = send(fd, reply, std::strlen(reply), MSG_NOSIGNAL | MSG_DONTWAIT);
    close(fd);
}

void acceptAll() {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                acceptResumes = Clock::now() + connectionTime;
            }
            return;
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != getuid()) {
            refuse(fd, "keepawake-control 1 error permission denied\n");
            continue;
        }
        Connection* free = std::find_if(std::begin(connections), std::end(connections),
                                        [](const Connection& c) { return c.fd < 0; });
        if (free == std::end(connections)) {
            refuse(fd, "keepawake-control 1 error busy\n");
            continue;
        }
        *free = Connection{fd, nextId++, {}, Clock::now() + connectionTime, false};
    }
}

// Reads what has come; hands the line over once it is whole, too long, or
// its sender is done.
void readFrom(Connection& connection) {
    char buffer[256];
    for (;;) {
        const std::size_t room = lineLimit + 1 - connection.received.size();
        const ssize_t got = recv(connection.fd, buffer, std::min(room, sizeof buffer), 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (got <= 0) {
            if (connection.received.empty()) {
                closeConnection(connection);  // gone without a word
                return;
            }
            break;  // ended early: the parser says what is wrong
        }
        connection.received.append(buffer, static_cast<std::size_t>(got));
        const std::size_t newline = connection.received.find('\n');
        if (newline != std::string::npos) {
            connection.received.resize(newline + 1);
            break;
        }
        if (connection.received.size() > lineLimit) {
            break;
        }
    }
    connection.complete = true;
    ready.push_back(connection.id);
}

}  // namespace

void addControlWaits(pollfd* waits, int* timeout) {
    const auto now = Clock::now();
    if (acceptResumes && now >= *acceptResumes) {
        acceptResumes.reset();
    }
    waits[0] = pollfd{acceptResumes ? -1 : listener, POLLIN, 0};
    if (acceptResumes) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*acceptResumes - now).count();
        *timeout = *timeout < 0 ? static_cast<int>(left) : std::min(*timeout, static_cast<int>(left));
    }
    for (std::size_t i = 0; i < connectionLimit; ++i) {
        const Connection& connection = connections[i];
        waits[1 + i] = pollfd{connection.complete ? -1 : connection.fd, POLLIN, 0};
        if (connection.fd >= 0 && !connection.complete) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(connection.deadline - now).count();
            const int ms = static_cast<int>(std::max<long long>(0, left));
            *timeout = *timeout < 0 ? ms : std::min(*timeout, ms);
        }
    }
}

bool serveControlWaits(const pollfd* waits) {
    if (listener < 0) {
        return false;
    }
    const auto now = Clock::now();
    for (std::size_t i = 0; i < connectionLimit; ++i) {
        Connection& connection = connections[i];
        if (connection.fd < 0 || connection.complete) {
            continue;
        }
        if (waits[1 + i].fd == connection.fd && waits[1 + i].revents != 0) {
            readFrom(connection);
        }
        if (connection.fd >= 0 && !connection.complete && now >= connection.deadline) {
            closeConnection(connection);  // a silent client's second is up
        }
    }
    if (waits[0].fd >= 0 && waits[0].revents != 0) {
        acceptAll();
    }
    return !ready.empty();
}

bool controlRequestWaiting() {
    return !ready.empty();
}

std::string openControlEndpoint(std::size_t requestLimit) {
    lineLimit = requestLimit;
    std::string problem;
    const std::string folder = controlFolder(true, &problem);
    if (folder.empty()) {
        return problem;
    }
    const pid_t self = getpid();
    for (const pid_t pid : socketsIn(folder)) {
        if (pid != self) {
            removeIfStale(socketName(folder, pid), pid);
        }
    }
    // Bound and listening under a name no client looks for, then renamed into
    // place: a client never finds a socket that does not listen yet, and one
    // left by an earlier process of the same id is replaced in one step.
    const std::string path = socketName(folder, self);
    const std::string fresh = folder + "/." + std::to_string(self) + ".new";
    sockaddr_un address;
    if (!fillAddress(fresh, &address)) {
        return "socket path too long: " + fresh;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return describeError("cannot make a socket");
    }
    unlink(fresh.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || chmod(fresh.c_str(), 0600) != 0 ||
        listen(fd, 128) != 0 || rename(fresh.c_str(), path.c_str()) != 0) {
        problem = describeError("cannot listen on " + path);
        unlink(fresh.c_str());
        close(fd);
        return problem;
    }
    listener = fd;
    socketPath = path;
    std::atexit(removeEndpoint);
    return {};
}

bool takeControlRequest(ControlRequest* request) {
    while (!ready.empty()) {
        const std::uint64_t id = ready.front();
        ready.pop_front();
        for (Connection& connection : connections) {
            if (connection.fd >= 0 && connection.id == id) {
                *request = ControlRequest{id, connection.received};
                return true;
            }
        }
    }
    return false;
}

void answerControlRequest(std::uint64_t id, const std::string& reply) {
    for (Connection& connection : connections) {
        if (connection.fd >= 0 && connection.id == id) {
            // A reply is far smaller than a socket's buffer; a client that
            // has gone or reads nothing simply loses it.
            [[maybe_unused]] const ssize_t sent =
                send(connection.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            closeConnection(connection);
        }
    }
}

std::vector<std::uint32_t> findControlEndpoints(std::string* problem) {
    const std::string folder = controlFolder(false, problem);
    std::vector<std::uint32_t> pids;
    if (folder.empty()) {
        return pids;
    }
    const pid_t self = getpid();
    for (const pid_t pid : socketsIn(folder)) {
        if (pid != self && !removeIfStale(socketName(folder, pid), pid)) {
            pids.push_back(static_cast<std::uint32_t>(pid));
        }
    }
    return pids;
}

ControlAnswer askControlEndpoint(std::uint32_t pid, const std::string& request, std::size_t replyLimit,
                                 std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::string problem;
    const std::string folder = controlFolder(false, &problem);
    if (folder.empty()) {
        return {problem.empty() ? ControlAnswer::gone : ControlAnswer::refused, {}, problem};
    }
    const std::string path = socketName(folder, static_cast<pid_t>(pid));
    // The socket file must be ours before we say a word to it.
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return {ControlAnswer::gone, {}, {}};
    }
    if (!S_ISSOCK(info.st_mode) || info.st_uid != getuid()) {
        return {ControlAnswer::refused, {}, path + " is not a socket of this user"};
    }
    int fd = -1;
    for (;;) {
        const int failure = connectTo(path, &fd);
        if (failure == 0) {
            break;
        }
        if ((failure == ECONNREFUSED || failure == ENOENT) && removeIfStale(path, static_cast<pid_t>(pid))) {
            return {ControlAnswer::gone, {}, {}};
        }
        if (failure != EAGAIN) {
            errno = failure;
            return {ControlAnswer::refused, {}, describeError("connect")};
        }
        // Its queue of connections is full: try again within our time.
        if (Clock::now() + std::chrono::milliseconds(10) >= deadline) {
            return {ControlAnswer::silent, {}, "its queue of connections stayed full"};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // And the one listening must be this user's process of that id.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != getuid() ||
        static_cast<std::uint32_t>(peer.pid) != pid) {
        close(fd);
        return {ControlAnswer::refused, {}, "the socket is held by another process or user"};
    }
    std::size_t sent = 0;
    std::string reply;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            close(fd);
            return {ControlAnswer::silent, {}, "no reply"};
        }
        pollfd wait{fd, static_cast<short>(sent < request.size() ? POLLOUT : POLLIN), 0};
        if (poll(&wait, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        if (sent < request.size()) {
            const ssize_t wrote = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
                close(fd);
                return {ControlAnswer::silent, {}, describeError("send")};
            }
            sent += static_cast<std::size_t>(std::max<ssize_t>(wrote, 0));
            continue;
        }
        char buffer[256];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (got > 0) {
            reply.append(buffer, static_cast<std::size_t>(got));
        }
        const std::size_t newline = reply.find('\n');
        if (newline != std::string::npos || reply.size() > replyLimit || got <= 0) {
            close(fd);
            if (newline == std::string::npos) {
                return {ControlAnswer::silent, {}, "the reply ended early"};
            }
            return {ControlAnswer::replied, reply.substr(0, newline + 1), {}};
        }
    }
}
