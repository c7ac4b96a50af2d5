// Console, files and memory on Windows: what Platform.h promises beyond kernel32 serial calls.
#include "platform/ConsoleControl.h"
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <map>

namespace {

std::atomic<long> gStop{0}; // the console control event + 1
std::atomic<int> gStops{0};
std::atomic<bool> gEndsSoon{false}; // the console closes, or the session ends: five seconds left
std::atomic<long long> gFirstStopMs{0}, gLastStopMs{0}; // when the stops came
std::atomic<bool> gSecondEndsNow{false};
std::atomic<bool> gStopTaken{false}; // the main thread is stopping the run
HANDLE gStopEvent = nullptr;
HANDLE gMainThread = nullptr;
void (*gOnStop)(int) = nullptr;
// A serial read or write of the main thread that a stop must cut short. The handler cancels
// I/O only while one is under way (checked under the lock), never the port's restore or a
// record's write that follows it.
SRWLOCK gWaitLock = SRWLOCK_INIT; // usable before any set-up: the tests call the serial module alone
bool gInWait = false;

static_assert(kCtrlC == CTRL_C_EVENT && kCtrlBreak == CTRL_BREAK_EVENT && kCtrlClose == CTRL_CLOSE_EVENT &&
              kCtrlLogoff == CTRL_LOGOFF_EVENT && kCtrlShutdown == CTRL_SHUTDOWN_EVENT);
static_assert(kConsoleVirtualTerminal == ENABLE_VIRTUAL_TERMINAL_PROCESSING &&
              kConsoleQuickEdit == ENABLE_QUICK_EDIT_MODE && kConsoleExtendedFlags == ENABLE_EXTENDED_FLAGS);

// Runs on a thread of its own: wakes the main thread, which stops the run. A stop the parent
// station asks for (kParentStop, through the event it handed down) comes here too: consoles are
// not always there to carry one (output to a pipe, children in groups of their own).
BOOL WINAPI onConsoleControl(DWORD type) {
    if (consoleEventEndsSoon(type)) gEndsSoon = true; // before the stop shows: the run reads it then
    ++gStops;
    const long long now = (long long)GetTickCount64();
    long long never = 0;
    gFirstStopMs.compare_exchange_strong(never, now);
    gLastStopMs = now;
    long none = 0;
    const bool first = gStop.compare_exchange_strong(none, (long)type + 1);
    const ControlStep step = consoleControlStep(type, first, gSecondEndsNow);
    if (step.endNow) return FALSE;
    if (first) {
        SetEvent(gStopEvent);
        // Until the main thread takes the stop, a read or write it is in is cut short.
        for (int i = 0; i < 50 && !gStopTaken; ++i) {
            AcquireSRWLockExclusive(&gWaitLock);
            if (gInWait) CancelSynchronousIo(gMainThread);
            ReleaseSRWLockExclusive(&gWaitLock);
            Sleep(100);
        }
    }
    if (step.holdMs > 0) Sleep(step.holdMs);
    return TRUE;
}

// A console process that has loaded user32 (SetupAPI does) is sent no CTRL_LOGOFF_EVENT or
// CTRL_SHUTDOWN_EVENT: it hears the session end as a top-level window does. A hidden one, on a
// thread of its own, takes the session's end as those events, and holds it as they do.
LRESULT CALLBACK onSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_QUERYENDSESSION) return TRUE;
    if (message == WM_ENDSESSION) {
        if (wParam) onConsoleControl((lParam & ENDSESSION_LOGOFF) ? CTRL_LOGOFF_EVENT : CTRL_SHUTDOWN_EVENT);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI watchSession(void *) {
    WNDCLASSA type{};
    type.lpfnWndProc = onSessionMessage;
    type.hInstance = GetModuleHandleA(nullptr);
    type.lpszClassName = "FwUpgradeSessionEnd";
    if (!RegisterClassA(&type)) return 0;
    HWND window = CreateWindowExA(0, type.lpszClassName, "FwUpgrade", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  type.hInstance, nullptr); // never shown
    if (window == nullptr) return 0;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}

// The station's stop event, or the station itself ending, however it ends.
DWORD WINAPI watchParent(void *) {
    HANDLE waits[2] = {nullptr, nullptr};
    DWORD count = 0;
    for (const char *name : {"FWUPGRADE_STOP_EVENT", "FWUPGRADE_PARENT"})
        if (const char *text = std::getenv(name)) waits[count++] = (HANDLE)(uintptr_t)std::strtoull(text, nullptr, 10);
    if (count > 0 && WaitForMultipleObjects(count, waits, FALSE, INFINITE) < WAIT_OBJECT_0 + count)
        onConsoleControl(kParentStop);
    return 0;
}

} // namespace

// Binary stdout: the bytes written are exactly the texts, "\n" is not widened to "\r\n".
void platformConsoleInit() {
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IONBF, 0);
}

void platformStopInit(void (*onStop)(int)) {
    gOnStop = onStop;
    if (gStopEvent != nullptr) return; // set up once; a station only changes what a stop does
    gStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &gMainThread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    CloseHandle(CreateThread(nullptr, 0, watchSession, nullptr, 0, nullptr));
    if (std::getenv("FWUPGRADE_STOP_EVENT") != nullptr)
        CloseHandle(CreateThread(nullptr, 0, watchParent, nullptr, 0, nullptr));
}

int platformStopCount() { return gStops; }

int platformStopSpanMs() { return (int)(gLastStopMs - gFirstStopMs); }

bool platformStopEndsSoon() { return gEndsSoon; }

void platformStopSecondEndsNow(bool endsNow) { gSecondEndsNow = endsNow; }

bool platformCancellableBegin() {
    AcquireSRWLockExclusive(&gWaitLock);
    gInWait = gStop == 0;
    const bool begin = gInWait;
    ReleaseSRWLockExclusive(&gWaitLock);
    return begin;
}

void platformCancellableEnd() {
    AcquireSRWLockExclusive(&gWaitLock);
    gInWait = false;
    ReleaseSRWLockExclusive(&gWaitLock);
}

int platformStopSignal() {
    const LONG stop = gStop;
    return stop == 0 ? 0 : consoleEventSignal((DWORD)(stop - 1));
}

void platformStopCheck() {
    // The signal numbers of POSIX, so both builds report a stop alike.
    const int signal = platformStopSignal();
    if (signal == 0 || gOnStop == nullptr) return;
    gStopTaken = true;
    gOnStop(signal);
}

// A console, not merely a character device: _isatty also says yes for NUL.
static DWORD gConsoleMode = 0;

static void restoreConsoleMode() { SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), gConsoleMode); }

static ConsoleModeCalls modeCalls(HANDLE console) {
    return {[console](DWORD &mode) { return GetConsoleMode(console, &mode) != 0; },
            [console](DWORD mode) { return SetConsoleMode(console, mode) != 0; }};
}

// Tried, not assumed: a console that says it takes escapes may still print them (Wine's, on a
// terminal). A cursor move one column right must move the cursor exactly that far.
static bool cursorMoveWorks(HANDLE out) {
    CONSOLE_SCREEN_BUFFER_INFO before{}, after{};
    if (!GetConsoleScreenBufferInfo(out, &before)) return false;
    std::fputs("\x1b[1C", stdout);
    const bool works = GetConsoleScreenBufferInfo(out, &after) && after.dwCursorPosition.Y == before.dwCursorPosition.Y &&
                       after.dwCursorPosition.X == before.dwCursorPosition.X + 1;
    std::fputs(works ? "\r" : "\r      \r", stdout); // whatever it printed is wiped
    return works;
}

bool platformConsoleTakesCursorMoves() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    ConsoleModeChange change;
    const bool takes = consoleViewTakesCursorMoves(modeCalls(out), [out] { return cursorMoveWorks(out); }, change);
    if (change.changed) {
        gConsoleMode = change.restore;
        std::atexit(restoreConsoleMode);
    }
    return takes;
}

static HANDLE gConsoleInput = INVALID_HANDLE_VALUE;
static DWORD gInputMode = 0;

static void restoreInputMode() { SetConsoleMode(gConsoleInput, gInputMode); }

// The console's own input buffer (CONIN$), whatever stdin is: a click selects in the window
// even when stdin is redirected.
void platformConsoleNoQuickEdit() {
    if (gConsoleInput != INVALID_HANDLE_VALUE) return;
    HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) return;
    const ConsoleModeChange change = consoleQuickEditOff(modeCalls(in));
    if (!change.changed) {
        CloseHandle(in);
        return;
    }
    gConsoleInput = in; // kept open for the restore at exit
    gInputMode = change.restore;
    std::atexit(restoreInputMode);
}

bool platformStdinIsInteractive() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// One key from the console's input, without line input or echo, so that one key ends the wait
// on every console (a console in line mode would wait for Enter); a stop ends it too.
int platformGetch() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode)) return -1;
    SetConsoleMode(in, mode & ~(DWORD)(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
    int key = -1;
    HANDLE waits[2] = {in, gStopEvent};
    while (key < 0 && WaitForMultipleObjects(gStopEvent != nullptr ? 2 : 1, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        INPUT_RECORD record{};
        DWORD n = 0;
        if (!ReadConsoleInputA(in, &record, 1, &n)) break;
        const KEY_EVENT_RECORD &k = record.Event.KeyEvent;
        const bool modifier = k.wVirtualKeyCode == VK_SHIFT || k.wVirtualKeyCode == VK_CONTROL ||
                              k.wVirtualKeyCode == VK_MENU || k.wVirtualKeyCode == VK_CAPITAL;
        if (n == 1 && record.EventType == KEY_EVENT && k.bKeyDown && !modifier)
            key = k.uChar.AsciiChar != 0 ? (unsigned char)k.uChar.AsciiChar : k.wVirtualKeyCode;
    }
    SetConsoleMode(in, mode); // the console as it was, before anything else
    platformStopCheck();
    return key;
}

namespace {
DWORD gKeysMode = 0;
bool gKeysTaken = false;
} // namespace

bool platformKeysBegin() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(in, &gKeysMode)) return false; // no console: a service, a pipe
    // Ctrl-C stays a control event (processed input); no line editing, no echo into the view.
    if (!SetConsoleMode(in, gKeysMode & ~(DWORD)(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT))) return false;
    if (!gKeysTaken) std::atexit(platformKeysEnd);
    gKeysTaken = true;
    return true;
}

std::string platformKeysTyped() {
    std::string typed;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    // The console's input records, each key pressed once (a record may repeat it); the mouse,
    // focus and size records are not keys. Bounded: a stuck key cannot keep the caller here.
    for (int n = 0; gKeysTaken && n < 4096 && WaitForSingleObject(in, 0) == WAIT_OBJECT_0; ++n) {
        INPUT_RECORD record{};
        DWORD read = 0;
        if (!ReadConsoleInputA(in, &record, 1, &read) || read != 1) break;
        const KEY_EVENT_RECORD &k = record.Event.KeyEvent;
        if (record.EventType == KEY_EVENT && k.bKeyDown && k.uChar.AsciiChar != 0)
            typed.append(std::max<WORD>(k.wRepeatCount, 1), k.uChar.AsciiChar);
    }
    return typed;
}

void platformKeysEnd() {
    if (gKeysTaken) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), gKeysMode);
}

bool platformReadLine(std::string &line) {
    char text[256];
    const bool got = std::fgets(text, sizeof text, stdin) != nullptr;
    platformStopCheck();
    if (!got) return false;
    line = text;
    if (line.find('\n') == std::string::npos) { // drop the rest of a long line
        int c;
        while ((c = std::fgetc(stdin)) != '\n' && c != EOF) {
        }
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return true;
}

std::string platformErrorText(DWORD error) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text,
                   nullptr);
    std::string reason = text;
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n' || reason.back() == ' ' ||
                               reason.back() == '.'))
        reason.pop_back();
    return reason.empty() ? "error " + std::to_string(error) : reason;
}

std::string platformReplaceFile(const char *from, const char *to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return "";
    return platformErrorText(GetLastError());
}

// NTFS keeps its folders' entries in its own journal: a rename with MOVEFILE_WRITE_THROUGH is
// on disk when it returns.
std::string platformSyncFolder(const std::string &) { return ""; }

std::string platformTruncateFile(FILE *file, long long size) {
    return _chsize_s(_fileno(file), size) == 0 ? "" : "cannot cut it back";
}

// An open file cannot be removed here (it is not shared for deletion), nor its folder.
bool platformStillNamed(FILE *, const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string platformSyncFile(FILE *file) {
    if (std::fflush(file) != 0) return "cannot write it";
    HANDLE h = (HANDLE)_get_osfhandle(_fileno(file));
    return FlushFileBuffers(h) ? "" : platformErrorText(GetLastError());
}

FILE *platformCreateNewFile(const char *path, bool &exists, std::string &reason) {
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        reason = platformErrorText(error);
        return nullptr;
    }
    exists = false;
    const int fd = _open_osfhandle((intptr_t)h, _O_WRONLY | _O_BINARY);
    FILE *file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (file == nullptr) {
        reason = "cannot open it for writing";
        if (fd >= 0) _close(fd);
        else CloseHandle(h);
        DeleteFileA(path);
    }
    return file;
}

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, with any extension and in any folder,
// name devices, not files: "COM3.log" is the serial port COM3.
static bool reservedDeviceName(const char *path) {
    std::string name = path;
    name = name.substr(name.find_last_of("\\/:") == std::string::npos ? 0 : name.find_last_of("\\/:") + 1);
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char &c : name) c = (char)toupper((unsigned char)c);
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL") return true;
    return name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0) && name[3] >= '1' &&
           name[3] <= '9';
}

// Opens path as a regular disk file only, never through a link: "\\.\COM12", a pipe or a
// console are refused. Null with reason set.
static FILE *openRegular(const char *path, DWORD access, DWORD disposition, int flags, const char *mode,
                         std::string &reason) {
    if (reservedDeviceName(path)) {
        reason = "it names a device (CON, NUL, COM1...), not a file";
        return nullptr;
    }
    // A reader shares everything, so that the writer may append to the file or rename another
    // over it meanwhile (the station's live state); a writer lets others read it.
    const DWORD share = access == GENERIC_READ ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ;
    HANDLE h = CreateFileA(path, access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        reason = platformErrorText(GetLastError());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        reason = "it is not a regular file";
        CloseHandle(h);
        return nullptr;
    }
    const int fd = _open_osfhandle((intptr_t)h, flags | _O_BINARY);
    FILE *file = fd < 0 ? nullptr : _fdopen(fd, mode);
    if (file == nullptr) {
        reason = "cannot open it";
        if (fd >= 0) _close(fd);
        else CloseHandle(h);
    }
    return file;
}

FILE *platformOpenToAppend(const char *path, std::string &reason) {
    // Write access, not only appending: a line a full disk cut is cut back (SetEndOfFile).
    return openRegular(path, GENERIC_WRITE, OPEN_ALWAYS, _O_WRONLY | _O_APPEND, "ab", reason);
}

FILE *platformOpenToRead(const char *path, std::string &reason) {
    return openRegular(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY, "rb", reason);
}

// NTFS keeps a file sparse only when it was marked so (FSCTL_SET_SPARSE): a file written and
// extended as ours are holds its zeros, and is read as it is.
unsigned long long platformDataFrom(FILE *, unsigned long long offset, unsigned long long) { return offset; }

int platformConsoleRows() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

int platformConsoleColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

std::string platformNotARegularFile(const char *path) {
    if (reservedDeviceName(path)) return "it names a device (CON, NUL, COM1...), not a file";
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return "";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "it is a folder";
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return "it is a link";
    if (attributes & FILE_ATTRIBUTE_DEVICE) return "it is a device";
    return "";
}

void platformLowerPriority() { SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS); }

unsigned long platformProcessId() { return GetCurrentProcessId(); }

std::string platformHostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? name : "this PC";
}

// The files this process holds, with the handle that holds each.
static std::map<std::string, HANDLE> gHeld;

// What the holder of the file r reads wrote in it. It writes just after it takes the hold: a
// file still empty (two programs started together) is read again for a few seconds.
static std::string heldBy(HANDLE r) {
    char buffer[512];
    for (int tries = 0; tries < 150; ++tries, Sleep(20)) {
        DWORD n = 0;
        if (SetFilePointer(r, 0, nullptr, FILE_BEGIN) != 0 || !ReadFile(r, buffer, sizeof buffer - 1, &n, nullptr)) return "";
        std::string text(buffer, n);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (!text.empty()) return text;
    }
    return "";
}

HoldResult platformHoldFile(const std::string &path, const std::string &text, std::string &holder) {
    if (!(holder = platformNotARegularFile(path.c_str())).empty()) return HOLD_FAILED;
    // Others may read it (to say who holds it), none may write or hold it while this handle lives.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION) {
            holder = "it cannot be opened: " + platformErrorText(error);
            return HOLD_FAILED;
        }
        HANDLE r = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        holder = r != INVALID_HANDLE_VALUE ? heldBy(r) : "";
        if (holder.empty()) holder = "it cannot be opened: " + platformErrorText(error);
        if (r != INVALID_HANDLE_VALUE) CloseHandle(r);
        return HOLD_BY_ANOTHER;
    }
    DWORD written = 0;
    if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) != 0 || !SetEndOfFile(h) ||
        !WriteFile(h, text.data(), (DWORD)text.size(), &written, nullptr) || written != text.size()) {
        holder = "it cannot be written: " + platformErrorText(GetLastError());
        CloseHandle(h);
        return HOLD_FAILED;
    }
    HANDLE &held = gHeld[path];
    if (held != nullptr) CloseHandle(held); // held again: the file held before is named here no more
    held = h;
    return HOLD_TAKEN; // the handle stays open: the hold lasts as long as the process
}

// The held file cannot be removed (it is not shared for deletion), but its folder can be renamed
// and made again. A look that cannot tell (a sharing violation, an antivirus holding the file a
// moment) leaves the hold as it was: only another file at the path, or none, ends it, or the
// station would take its own lock for another station's.
bool platformStillHolding(const std::string &path) {
    const auto held = gHeld.find(path);
    if (held == gHeld.end()) return false;
    // Only its attributes are asked for: no sharing mode of another's handle can refuse that.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE named = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    BY_HANDLE_FILE_INFORMATION ours{}, there{};
    const bool told = GetFileInformationByHandle(held->second, &ours) && GetFileInformationByHandle(named, &there);
    CloseHandle(named);
    return !told || (ours.dwVolumeSerialNumber == there.dwVolumeSerialNumber &&
                     ours.nFileIndexHigh == there.nFileIndexHigh && ours.nFileIndexLow == there.nFileIndexLow);
}

void *platformAllocateLarge(size_t bytes) { return std::malloc(bytes); }
