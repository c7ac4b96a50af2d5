#ifndef CONSOLECONTROL_H_
#define CONSOLECONTROL_H_

#include "platform/Platform.h"

#include <functional>

// The Windows console's decisions, apart from the calls they act on: the calls come in as
// functions, so the decisions also run on results recorded from a console (the tests).

// Console mode flags, as Windows defines them.
constexpr DWORD kConsoleVirtualTerminal = 0x0004; // ENABLE_VIRTUAL_TERMINAL_PROCESSING (output)
constexpr DWORD kConsoleQuickEdit = 0x0040;       // ENABLE_QUICK_EDIT_MODE (input)
constexpr DWORD kConsoleExtendedFlags = 0x0080;   // ENABLE_EXTENDED_FLAGS (input)

// GetConsoleMode and SetConsoleMode on one console handle.
struct ConsoleModeCalls {
    std::function<bool(DWORD &mode)> get;
    std::function<bool(DWORD mode)> set;
};

// A console mode changed for the program's time: `restore` is put back at exit when `changed`.
struct ConsoleModeChange {
    bool changed = false;
    DWORD restore = 0;
};

// Whether the console takes cursor moves for the live view: virtual-terminal processing on
// (switched on when off, which `change` records) and a trial move that moved the cursor (a
// console may take the mode and still print the escapes).
bool consoleViewTakesCursorMoves(const ConsoleModeCalls &calls, const std::function<bool()> &cursorMoved,
                                 ConsoleModeChange &change);
// Switches Quick Edit off when it is on. Quick Edit changes only with ENABLE_EXTENDED_FLAGS in
// the mode set, the restore included.
ConsoleModeChange consoleQuickEditOff(const ConsoleModeCalls &calls);

// Console control events, as Windows numbers them, and the stop a parent station asks for.
constexpr DWORD kCtrlC = 0, kCtrlBreak = 1, kCtrlClose = 2, kCtrlLogoff = 5, kCtrlShutdown = 6;
constexpr DWORD kParentStop = 100;

// The console closes, the user logs off or the system shuts down: the system ends the process
// about five seconds after the event, or at once when the handler returns.
bool consoleEventEndsSoon(DWORD event);
// What the control handler does with an event, once it has woken the main thread for a first stop.
struct ControlStep {
    bool endNow;  // return FALSE: the default handler ends the process at once
    DWORD holdMs; // else wait this long, then return TRUE (after a closing event the process ends then)
};
// `first`: no stop came before it; `secondEndsNow`: platformStopSecondEndsNow(true) was asked.
ControlStep consoleControlStep(DWORD event, bool first, bool secondEndsNow);
// The POSIX signal a stop by this event reports: Ctrl-C and Ctrl-Break SIGINT (2), a parent's
// stop SIGTERM (15), a closing console or session SIGHUP (1).
int consoleEventSignal(DWORD event);

#endif
