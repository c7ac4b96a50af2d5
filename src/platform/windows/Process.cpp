// Child processes on Windows: CreateProcess with the output on an anonymous pipe.
#include "platform/Process.h"
#include "platform/Platform.h"

#include <vector>

struct ChildProcess {
    HANDLE process;
    HANDLE output; // read end of the child's stdout and stderr
};

// This program's own path, however long and in whatever characters.
static std::wstring ownPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), (DWORD)path.size());
        if (n == 0) return L"";
        if (n < path.size()) return path.substr(0, n);
        if (path.size() >= 32768) return L"";
        path.resize(path.size() * 2);
    }
}

// The arguments came in the ANSI code page (argv): widened the same way.
static std::wstring widened(const std::string &text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring wide((size_t)n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), wide.data(), n);
    return wide;
}

// One argument as the child's command-line parser reads it back (quotes, and the backslashes
// in front of them, escaped).
static std::wstring quoted(const std::wstring &arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring text = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        text.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        text += c;
    }
    return text.append(backslashes * 2, L'\\') + L"\"";
}

// Starts the child with exactly these handles to inherit: its own pipe end and the null device.
static bool createChild(std::wstring program, std::wstring commandLine, HANDLE output, HANDLE input,
                        PROCESS_INFORMATION &info) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> storage(size);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
    HANDLE inherited[2] = {output, input};
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    const bool started =
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                  nullptr, nullptr) &&
        CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT,
                       nullptr, nullptr, &startup.StartupInfo, &info);
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return started;
}

ChildProcess *processStartSelf(const std::vector<std::string> &args, std::string &error) {
    const std::wstring program = ownPath();
    if (program.empty()) {
        error = "cannot find this program's own file";
        return nullptr;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        error = platformErrorText(GetLastError());
        return nullptr;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);
    std::wstring commandLine = quoted(program);
    for (const std::string &arg : args) commandLine += L" " + quoted(widened(arg));
    PROCESS_INFORMATION info{};
    const bool started = nul != INVALID_HANDLE_VALUE && createChild(program, commandLine, writeEnd, nul, info);
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
