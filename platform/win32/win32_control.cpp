// The control endpoint on Windows: one named pipe per copy, named by the
// user's SID, the session and the process id. Only this user may open it (a
// protected DACL naming the user alone, the user as owner), never from
// another machine, and no one can create it first. One client at a time,
// each for at most a second; all I/O is overlapped, so the main thread's one
// wait watches it through an event and never blocks on a client.
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>

#include "platform/platform.h"
#include "platform/win32/win32_control.h"
#include "platform/win32/win32_wake.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto connectionTime = std::chrono::seconds(1);
constexpr DWORD bufferSize = 1024;

enum class State { closed, listening, reading, ready, replied };

HANDLE pipe = INVALID_HANDLE_VALUE;
OVERLAPPED overlapped{};
State state = State::closed;
char buffer[256];
std::string received;
std::size_t lineLimit = 64;
Clock::time_point deadline;
std::uint64_t connectionId = 0;
bool requestTaken = false;
// An overlapped operation was started and has not been collected: only then
// may it be cancelled and waited for, which then returns at once.
bool pending = false;

std::string errorText(const char* what, DWORD error) {
    return std::string(what) + " (error " + std::to_string(error) + ")";
}

// This process's user as a SID string, "S-1-5-21-...", and the SID itself.
std::wstring userSid(std::string* sidBytes) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string info(size, '\0');
    std::wstring text;
    if (size > 0 && GetTokenInformation(token, TokenUser, info.data(), size, &size)) {
        const PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
        LPWSTR converted = nullptr;
        if (ConvertSidToStringSidW(sid, &converted)) {
            text = converted;
            LocalFree(converted);
        }
        if (sidBytes != nullptr) {
            sidBytes->assign(static_cast<const char*>(sid), GetLengthSid(sid));
        }
    }
    CloseHandle(token);
    return text;
}

DWORD sessionOf(DWORD pid) {
    DWORD session = 0xFFFFFFFF;
    ProcessIdToSessionId(pid, &session);
    return session;
}

std::wstring pipeName(const std::wstring& sid, DWORD session, DWORD pid) {
    return L"\\\\.\\pipe\\keepawake-control-" + sid + L"-" + std::to_wstring(session) + L"-" + std::to_wstring(pid);
}

void startListening();

// Starts the next overlapped read; what it gives arrives through the event.
void readMore() {
    const DWORD room = static_cast<DWORD>(std::min<std::size_t>(sizeof buffer, lineLimit + 1 - received.size()));
    ResetEvent(overlapped.hEvent);
    pending = ReadFile(pipe, buffer, room, nullptr, &overlapped) || GetLastError() == ERROR_IO_PENDING;
    if (!pending) {
        // Gone at once: whatever came is handed over, or the pipe is freed.
        if (state == State::reading && !received.empty()) {
            state = State::ready;
        } else {
            startListening();
        }
    }
}

void startListening() {
    if (pending) {
        CancelIo(pipe);
        DWORD ignored = 0;
        GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
        pending = false;
    }
    if (state == State::reading || state == State::replied || state == State::ready) {
        DisconnectNamedPipe(pipe);
    }
    received.clear();
    requestTaken = false;
    ResetEvent(overlapped.hEvent);
    state = State::listening;
    if (ConnectNamedPipe(pipe, &overlapped)) {
        pending = true;  // completed at once; collected through the event
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        pending = true;
    } else if (error == ERROR_PIPE_CONNECTED) {
        SetEvent(overlapped.hEvent);  // connected before we asked
    } else if (error == ERROR_NO_DATA) {
        // Came and went: listen again at the next wake.
        state = State::replied;
        deadline = Clock::now();
        SetEvent(overlapped.hEvent);
    } else {
        state = State::closed;
    }
}

void connected() {
    state = State::reading;
    deadline = Clock::now() + connectionTime;
    ++connectionId;
    readMore();
}

void bytesArrived(DWORD got) {
    received.append(buffer, got);
    const std::size_t newline = received.find('\n');
    if (newline != std::string::npos) {
        received.resize(newline + 1);
        state = State::ready;
    } else if (received.size() > lineLimit) {
        state = State::ready;
    } else {
        readMore();
    }
}

void removeEndpoint() {
    if (pipe != INVALID_HANDLE_VALUE) {
        CancelIo(pipe);
        CloseHandle(pipe);
        pipe = INVALID_HANDLE_VALUE;
    }
}

// Reads a handle's overlapped operation to its end within the deadline; false
// when time ran out (the operation is then cancelled).
bool finish(HANDLE handle, OVERLAPPED* operation, DWORD* done, Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (WaitForSingleObject(operation->hEvent, static_cast<DWORD>(std::max<long long>(left, 0))) != WAIT_OBJECT_0) {
        CancelIo(handle);
        GetOverlappedResult(handle, operation, done, TRUE);
        return false;
    }
    return GetOverlappedResult(handle, operation, done, FALSE) != FALSE;
}

}  // namespace

HANDLE controlWaitHandle() {
    return state == State::closed ? nullptr : overlapped.hEvent;
}

DWORD controlTimeout(DWORD timeout) {
    if (state != State::reading && state != State::replied) {
        return timeout;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return std::min(timeout, static_cast<DWORD>(std::max<long long>(left, 0)));
}

bool controlRequestWaiting() {
    return state == State::ready && !requestTaken;
}

bool serveControlWait() {
    if (state == State::closed || state == State::ready) {
        return controlRequestWaiting();
    }
    if (WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0) {
        DWORD got = 0;
        // Set by hand, not by an operation: it is done as far as we know.
        const BOOL done = !pending || GetOverlappedResult(pipe, &overlapped, &got, FALSE);
        pending = false;
        ResetEvent(overlapped.hEvent);
        switch (state) {
        case State::listening:
            if (done) {
                connected();
            } else {
                startListening();
            }
            break;
        case State::reading:
            if (done || GetLastError() == ERROR_MORE_DATA) {
                bytesArrived(got);
            } else if (!received.empty()) {
                state = State::ready;  // ended early: the parser says what is wrong
            } else {
                startListening();
            }
            break;
        case State::replied:
            startListening();  // the client has read its reply and gone
            break;
        default:
            break;
        }
    }
    if ((state == State::reading || state == State::replied) && Clock::now() >= deadline) {
        startListening();  // its second is up
    }
    return controlRequestWaiting();
}

std::string openControlEndpoint(std::size_t requestLimit) {
    lineLimit = requestLimit;
    std::string sidBytes;
    const std::wstring sid = userSid(&sidBytes);
    if (sid.empty()) {
        return errorText("cannot read this user's SID", GetLastError());
    }
    const PSID user = const_cast<char*>(sidBytes.data());
    // The user alone, as owner; protected, so nothing is inherited.
    static char aclBytes[256];
    const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
    auto* acl = reinterpret_cast<ACL*>(aclBytes);
    SECURITY_DESCRIPTOR descriptor;
    if (aclSize > sizeof aclBytes || !InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, user) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorOwner(&descriptor, user, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return errorText("cannot make the pipe's security descriptor", GetLastError());
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    const DWORD self = GetCurrentProcessId();
    const std::wstring name = pipeName(sid, sessionOf(self), self);
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return errorText("cannot make an event", GetLastError());
    }
    pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                            bufferSize, bufferSize, 0, &attributes);
    if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        CloseHandle(overlapped.hEvent);
        overlapped.hEvent = nullptr;
        return errorText(error == ERROR_ACCESS_DENIED ? "the pipe's name is taken" : "cannot make the pipe", error);
    }
    startListening();
    if (state == State::closed) {
        return errorText("cannot listen on the pipe", GetLastError());
    }
    std::atexit(removeEndpoint);
    return {};
}

bool takeControlRequest(ControlRequest* request) {
    if (!controlRequestWaiting()) {
        return false;
    }
    requestTaken = true;
    *request = ControlRequest{connectionId, received};
    return true;
}

void answerControlRequest(std::uint64_t connection, const std::string& reply) {
    if (state != State::ready || connection != connectionId) {
        return;
    }
    // The reply fits the pipe's buffer, so the write completes at once; then
    // a read waits for the client to close its end, within its second, since
    // disconnecting first would discard what it has not read yet.
    ResetEvent(overlapped.hEvent);
    DWORD written = 0;
    state = State::replied;
    if (!WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, &overlapped)) {
        pending = GetLastError() == ERROR_IO_PENDING;
        startListening();  // gone, or not taken at once after all: the client loses it
        return;
    }
    GetOverlappedResult(pipe, &overlapped, &written, FALSE);
    ResetEvent(overlapped.hEvent);
    pending = ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped) || GetLastError() == ERROR_IO_PENDING;
    if (!pending) {
        startListening();
    }
}

std::vector<std::uint32_t> findControlEndpoints(std::string* problem) {
    std::vector<std::uint32_t> pids;
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring own(path, length);
    own = own.substr(own.find_last_of(L"\\/") + 1);
    auto lower = [](std::wstring text) {
        for (wchar_t& c : text) {
            c = static_cast<wchar_t>(std::towlower(c));
        }
        return text;
    };
    own = lower(own);
    // The process list, not a listing of \\.\pipe\, which Wine cannot give.
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        *problem = errorText("cannot list the processes", GetLastError());
        return pids;
    }
    const DWORD self = GetCurrentProcessId();
    const DWORD session = sessionOf(self);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID != self && lower(entry.szExeFile) == own && sessionOf(entry.th32ProcessID) == session) {
            pids.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    std::sort(pids.begin(), pids.end());
    return pids;
}

ControlAnswer askControlEndpoint(std::uint32_t pid, const std::string& request, std::size_t replyLimit,
                                 std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    const std::wstring sid = userSid(nullptr);
    const std::wstring name = pipeName(sid, sessionOf(GetCurrentProcessId()), pid);
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (;;) {
        // Identification only: a server that is not who it claims cannot act as us.
        handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            break;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return {ControlAnswer::gone, {}, {}};  // a copy without an endpoint, or one asking itself
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (error != ERROR_PIPE_BUSY) {
            return {ControlAnswer::refused, {}, errorText("cannot open its pipe", error)};
        }
        if (left <= 0) {
            return {ControlAnswer::silent, {}, "its pipe stayed busy"};
        }
        WaitNamedPipeW(name.c_str(), static_cast<DWORD>(left));
    }
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(handle, &server) || server != pid) {
        CloseHandle(handle);
        return {ControlAnswer::refused, {}, "the pipe is held by process " + std::to_string(server)};
    }
    OVERLAPPED operation{};
    operation.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    ControlAnswer answer{ControlAnswer::silent, {}, "no reply"};
    const BOOL wrote = WriteFile(handle, request.data(), static_cast<DWORD>(request.size()), nullptr, &operation);
    if ((wrote || GetLastError() == ERROR_IO_PENDING) && finish(handle, &operation, &done, until)) {
        std::string reply;
        char part[256];
        for (;;) {
            ResetEvent(operation.hEvent);
            const BOOL read = ReadFile(handle, part, sizeof part, nullptr, &operation);
            if (!read && GetLastError() != ERROR_IO_PENDING) {
                answer.problem = "the reply ended early";
                break;
            }
            if (!finish(handle, &operation, &done, until)) {
                answer.problem = Clock::now() >= until ? "no reply" : "the reply ended early";
                break;
            }
            reply.append(part, done);
            const std::size_t newline = reply.find('\n');
            if (newline != std::string::npos) {
                answer = {ControlAnswer::replied, reply.substr(0, newline + 1), {}};
                break;
            }
            if (reply.size() > replyLimit) {
                answer.problem = "the reply is too long";
                break;
            }
        }
    }
    CloseHandle(operation.hEvent);
    CloseHandle(handle);
    return answer;
}
