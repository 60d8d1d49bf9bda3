// Running a command while keeping awake: found the way the console finds a
// typed command, started with a command line the child splits back into the
// same arguments, and held in a job object that ends it if we are killed.
#include <windows.h>

#include <cwctype>

#include "platform/platform.h"
#include "platform/win32/win32_wake.h"

namespace {

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

std::wstring environmentValue(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

std::vector<std::wstring> split(const std::wstring& list) {
    std::vector<std::wstring> parts;
    std::size_t from = 0;
    while (from <= list.size()) {
        const std::size_t to = std::min(list.find(L';', from), list.size());
        if (to > from) {
            parts.push_back(list.substr(from, to - from));
        }
        from = to + 1;
    }
    return parts;
}

bool isFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring extensionOf(const std::wstring& path) {
    const std::size_t dot = path.find_last_of(L".\\/:");
    return dot != std::wstring::npos && path[dot] == L'.' ? lower(path.substr(dot)) : std::wstring();
}

// The file a typed name runs: as given when it names a path, else from the
// current directory and then each PATH directory; a name without an extension
// tries each of PATHEXT. Empty when there is none.
std::wstring findProgram(const std::wstring& name) {
    std::vector<std::wstring> extensions = split(environmentValue(L"PATHEXT"));
    if (extensions.empty()) {
        extensions = {L".COM", L".EXE", L".BAT", L".CMD"};
    }
    auto tryIn = [&](const std::wstring& base) -> std::wstring {
        if (!extensionOf(base).empty() && isFile(base)) {
            return base;
        }
        for (const std::wstring& extension : extensions) {
            if (isFile(base + extension)) {
                return base + extension;
            }
        }
        return {};
    };
    if (name.find_first_of(L"\\/:") != std::wstring::npos) {
        return tryIn(name);
    }
    std::vector<std::wstring> directories{L"."};
    for (const std::wstring& directory : split(environmentValue(L"PATH"))) {
        directories.push_back(directory);
    }
    for (std::wstring directory : directories) {
        if (directory.size() > 1 && directory.front() == L'"' && directory.back() == L'"') {
            directory = directory.substr(1, directory.size() - 2);
        }
        if (directory.back() != L'\\' && directory.back() != L'/') {
            directory += L'\\';
        }
        if (const std::wstring found = tryIn(directory + name); !found.empty()) {
            return found;
        }
    }
    return {};
}

bool isBatch(const std::wstring& path) {
    const std::wstring extension = extensionOf(path);
    return extension == L".bat" || extension == L".cmd";
}

// One argument as CommandLineToArgvW reads it back: quotes around it when it
// needs them, backslashes doubled only before a quote.
void appendQuoted(std::wstring* line, const std::wstring& argument) {
    if (!line->empty()) {
        *line += L' ';
    }
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        *line += argument;
        return;
    }
    *line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line->append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        *line += c;
    }
    line->append(backslashes * 2, L'\\');
    *line += L'"';
}

HANDLE killOnCloseJob() {
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr) {
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    return job;
}

}  // namespace

std::string commandUsageProblem(const std::vector<std::string>& command) {
    if (!isBatch(findProgram(toWide(command[0])))) {
        return {};
    }
    // cmd.exe reads a batch file's arguments again, whatever the quoting.
    for (std::size_t i = 1; i < command.size(); ++i) {
        if (command[i].find_first_of("%^&|<>\"\r\n") != std::string::npos) {
            return "refusing the argument '" + command[i] + "' of batch file '" + command[0] +
                   "': cmd.exe would interpret its % ^ & | < > \" or line break";
        }
    }
    return {};
}

int startCommand(const std::vector<std::string>& command, std::string* problem) {
    const std::wstring program = findProgram(toWide(command[0]));
    if (program.empty()) {
        *problem = "cannot run '" + command[0] + "': not found";
        return 127;
    }
    std::wstring line;
    std::wstring application = program;
    if (isBatch(program)) {
        // Arguments were checked above: plain quoting is enough for cmd.exe.
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        application = std::wstring(system) + L"\\cmd.exe";
        std::wstring inner = L"\"" + program + L"\"";
        for (std::size_t i = 1; i < command.size(); ++i) {
            inner += command[i].empty() || command[i].find_first_of(" \t") != std::string::npos
                         ? L" \"" + toWide(command[i]) + L"\""
                         : L" " + toWide(command[i]);
        }
        line = L"cmd.exe /d /s /c \"" + inner + L"\"";
    } else {
        for (const std::string& word : command) {
            appendQuoted(&line, toWide(word));
        }
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        const HANDLE handle = GetStdHandle(which);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        }
    }
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    // Started held, so it is in the job before it can start children.
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &started)) {
        const DWORD error = GetLastError();
        *problem = "cannot run '" + command[0] + "' (error " + std::to_string(error) + ")";
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 127 : 126;
    }
    static const HANDLE job = killOnCloseJob();  // closed by the system when we end
    if (job != nullptr) {
        AssignProcessToJobObject(job, started.hProcess);
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    runningCommand = started.hProcess;
    return 0;
}

int commandExitStatus() {
    return static_cast<int>(commandExitCode);
}

void passStopToCommand() {
    // Windows has no request to terminate that a console program must take;
    // the command is ended as the job object would end it.
    if (runningCommand != nullptr) {
        TerminateProcess(runningCommand, 1);
    }
}
