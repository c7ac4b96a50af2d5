// Child processes on Windows: CreateProcess with the output on an anonymous pipe.
#include "platform/Platform.h"
#include "platform/Process.h"

#include <algorithm>
#include <cwchar>
#include <vector>

struct ChildProcess {
    HANDLE process;
    HANDLE output;    // read end of the child's stdout and stderr
    HANDLE stopEvent; // set: the child stops (its console may not carry a Ctrl-C to it)
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

// This process's environment with the child's stop event and a handle to this process (the
// child stops when either is signalled), sorted by name as CreateProcess wants it.
static std::vector<wchar_t> environmentWith(HANDLE stopEvent, HANDLE parent) {
    std::vector<std::wstring> entries;
    if (wchar_t *block = GetEnvironmentStringsW()) {
        for (const wchar_t *p = block; *p != L'\0'; p += wcslen(p) + 1)
            if (_wcsnicmp(p, L"FWUPGRADE_STOP_EVENT=", 21) != 0 && _wcsnicmp(p, L"FWUPGRADE_PARENT=", 17) != 0)
                entries.emplace_back(p);
        FreeEnvironmentStringsW(block);
    }
    entries.push_back(L"FWUPGRADE_STOP_EVENT=" + std::to_wstring((uintptr_t)stopEvent));
    entries.push_back(L"FWUPGRADE_PARENT=" + std::to_wstring((uintptr_t)parent));
    std::sort(entries.begin(), entries.end(), [](const std::wstring &a, const std::wstring &b) {
        return _wcsicmp(a.substr(0, a.find(L'=', 1)).c_str(), b.substr(0, b.find(L'=', 1)).c_str()) < 0;
    });
    std::vector<wchar_t> text;
    for (const std::wstring &entry : entries) text.insert(text.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    text.push_back(L'\0');
    return text;
}

// Starts the child with exactly these handles to inherit: its own pipe end, the null device, its
// stop event and this process. A child of its own group gets no console at all: Ctrl-Break and a
// closing console reach every process on the console, and only the station decides its stops.
static bool createChild(const std::wstring &program, std::wstring commandLine, HANDLE output, HANDLE input,
                        HANDLE stopEvent, HANDLE parent, bool ownGroup, PROCESS_INFORMATION &info) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> storage(size);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
    HANDLE inherited[4] = {output, input, stopEvent, parent};
    std::vector<wchar_t> environment = environmentWith(stopEvent, parent);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    const bool started =
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                  nullptr, nullptr) &&
        CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT |
                           (ownGroup ? CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS : 0),
                       environment.data(), nullptr, &startup.StartupInfo, &info);
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return started;
}

// An inheritable handle to this process, for the children to wait on; made once.
static HANDLE selfForChildren() {
    static HANDLE self = [] {
        HANDLE h = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &h, SYNCHRONIZE, TRUE, 0);
        return h;
    }();
    return self;
}

ChildProcess *processStartSelf(const std::vector<std::string> &args, bool ownGroup, std::string &error) {
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
    HANDLE stopEvent = CreateEventW(&inherit, TRUE, FALSE, nullptr);
    std::wstring commandLine = quoted(program);
    for (const std::string &arg : args) commandLine += L" " + quoted(widened(arg));
    PROCESS_INFORMATION info{};
    const bool started = nul != INVALID_HANDLE_VALUE && stopEvent != nullptr && selfForChildren() != nullptr &&
                         createChild(program, commandLine, writeEnd, nul, stopEvent, selfForChildren(), ownGroup, info);
    const DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) {
        error = platformErrorText(startError);
        CloseHandle(readEnd);
        if (stopEvent != nullptr) CloseHandle(stopEvent);
        return nullptr;
    }
    CloseHandle(info.hThread);
    return new ChildProcess{info.hProcess, readEnd, stopEvent};
}

int processRead(ChildProcess *child, char *buffer, int size) {
    DWORD n = 0;
    return ReadFile(child->output, buffer, (DWORD)size, &n, nullptr) ? (int)n : 0;
}

void processStop(ChildProcess *child) { SetEvent(child->stopEvent); }

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
    CloseHandle(child->stopEvent);
    CloseHandle(child->process);
    delete child;
}
