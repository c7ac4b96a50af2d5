#include "platform/ConsoleControl.h"

bool consoleViewTakesCursorMoves(const ConsoleModeCalls &calls, const std::function<bool()> &cursorMoved,
                                 ConsoleModeChange &change) {
    change = ConsoleModeChange();
    DWORD mode = 0;
    if (!calls.get(mode)) return false; // no console
    if (!(mode & kConsoleVirtualTerminal)) {
        if (!calls.set(mode | kConsoleVirtualTerminal)) return false; // older consoles
        change = {true, mode};
    }
    return cursorMoved();
}

ConsoleModeChange consoleQuickEditOff(const ConsoleModeCalls &calls) {
    DWORD mode = 0;
    if (!calls.get(mode) || !(mode & kConsoleQuickEdit) ||
        !calls.set((mode | kConsoleExtendedFlags) & ~kConsoleQuickEdit))
        return {};
    return {true, mode | kConsoleExtendedFlags};
}

bool consoleEventEndsSoon(DWORD event) { return event == kCtrlClose || event == kCtrlLogoff || event == kCtrlShutdown; }

ControlStep consoleControlStep(DWORD event, bool first, bool secondEndsNow) {
    const bool endsSoon = consoleEventEndsSoon(event);
    ControlStep step{};
    // A person's second Ctrl-C ends the program at once; any other repeat is part of the stop
    // under way.
    step.endNow = !first && secondEndsNow && !endsSoon;
    // Returning from a closing event ends the process at once: the stop has these seconds.
    step.holdMs = endsSoon ? 5000 : 0;
    return step;
}

int consoleEventSignal(DWORD event) {
    if (event == kParentStop) return 15;
    return event == kCtrlC || event == kCtrlBreak ? 2 : 1;
}
