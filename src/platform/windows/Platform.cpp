// Console, stops and memory on Windows: what Platform.h promises beyond kernel32 serial calls and files.
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

void *platformAllocateLarge(size_t bytes) { return std::malloc(bytes); }

// Windows has no /proc: another process reads this one's environment only by reading its
// memory. Taken out of the C runtime's copy (getenv) and of the process's own block
// (SetEnvironmentVariable), which is what a child is given (GetEnvironmentStrings), is enough.
std::string platformTakeEnvironment(const char *name) {
    const char *text = std::getenv(name);
    const std::string value = text != nullptr ? text : "";
    _putenv((std::string(name) + "=").c_str());
    SetEnvironmentVariableA(name, nullptr);
    return value;
}
