// Child processes on Windows: CreateProcess with the output on an anonymous pipe.
#include "platform/Process.h"
#include "platform/Platform.h"

#include <mutex>

struct ChildProcess {
    HANDLE process;
    HANDLE output; // read end of the child's stdout and stderr
};

std::string processOwnPath() {
    char path[MAX_PATH] = "";
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : "";
}

// One argument as the child's command-line parser reads it back (quotes, and the backslashes
// in front of them, escaped).
static std::string quoted(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string text = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        text.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        text += c;
    }
    return text.append(backslashes * 2, '\\') + "\"";
}

ChildProcess *processStart(const std::vector<std::string> &args, std::string &error) {
    // One start at a time: a child inherits only its own pipe end, never another's.
    static std::mutex starting;
    std::lock_guard<std::mutex> guard(starting);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        error = platformErrorText(GetLastError());
        return nullptr;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::string commandLine;
    for (const std::string &arg : args) {
        if (!commandLine.empty()) commandLine += ' ';
        commandLine += quoted(arg);
    }
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessA(args[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &info);
    const DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) {
        error = platformErrorText(startError);
        CloseHandle(readEnd);
        return nullptr;
    }
    CloseHandle(info.hThread);
    return new ChildProcess{info.hProcess, readEnd};
}

int processRead(ChildProcess *child, char *buffer, int size) {
    DWORD n = 0;
    return ReadFile(child->output, buffer, (DWORD)size, &n, nullptr) ? (int)n : 0;
}

// The children share the console: a Ctrl-C there reaches each of them by itself. A stop that
// came otherwise (the console closing) reaches them the same way.
void processStop(ChildProcess *) {}

bool processWait(ChildProcess *child, int timeoutMs, int &status) {
    if (WaitForSingleObject(child->process, (DWORD)timeoutMs) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(child->process, &code);
    status = (int)(code & 0xFF);
    return true;
}

void processKill(ChildProcess *child) { TerminateProcess(child->process, 1); }

void processRelease(ChildProcess *child) {
    CloseHandle(child->output);
    CloseHandle(child->process);
    delete child;
}
