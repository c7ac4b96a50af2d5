// The console's live view, its Quick Edit and its control events, decided on recorded results
// (Windows paths Wine cannot run).
#include "platform/ConsoleControl.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A console as recorded: what GetConsoleMode gave (or that it failed), whether SetConsoleMode
// took the mode, and the modes the decision asked it to set.
struct RecordedConsole {
    bool got;
    DWORD mode;
    bool setTaken;
    std::vector<DWORD> sets;
    ConsoleModeCalls calls() {
        return {[this](DWORD &m) {
                    m = mode;
                    return got;
                },
                [this](DWORD m) {
                    sets.push_back(m);
                    return setTaken;
                }};
    }
};

TEST(ConsoleControl, TheLiveViewOnlyWhereTheCursorMoves) {
    const struct {
        const char *what;
        RecordedConsole console;
        bool cursorMoves;
        bool takes;
        std::vector<DWORD> sets;
        bool tried, changed;
    } cases[] = {
        {"output to a file or a pipe", {false, 0, true, {}}, true, false, {}, false, false},
        {"Windows Terminal: already on", {true, 0x7, true, {}}, true, true, {}, true, false},
        {"conhost: switched on", {true, 0x3, true, {}}, true, true, {0x7}, true, true},
        {"an older console refuses it", {true, 0x3, false, {}}, true, false, {0x7}, false, false},
        {"Wine on a terminal: taken, yet escapes print", {true, 0x3, true, {}}, false, false, {0x7}, true, true},
    };
    for (auto c : cases) {
        bool tried = false;
        ConsoleModeChange change;
        const bool takes = consoleViewTakesCursorMoves(
            c.console.calls(),
            [&] {
                tried = true;
                return c.cursorMoves;
            },
            change);
        EXPECT_EQ(takes, c.takes) << c.what;
        EXPECT_EQ(c.console.sets, c.sets) << c.what;
        EXPECT_EQ(tried, c.tried) << c.what;
        EXPECT_EQ(change.changed, c.changed) << c.what;
        EXPECT_EQ(change.restore, c.changed ? 0x3u : 0u) << c.what; // the mode found, put back at exit
    }
}

TEST(ConsoleControl, QuickEditOffOnlyWhenOnAndBackAtExit) {
    const struct {
        const char *what;
        RecordedConsole console;
        std::vector<DWORD> sets;
        bool changed;
        DWORD restore;
    } cases[] = {
        {"no console input", {false, 0, true, {}}, {}, false, 0},
        {"the default input mode", {true, 0x1F7, true, {}}, {0x1B7}, true, 0x1F7},
        {"read without the extended flags", {true, 0x67, true, {}}, {0xA7}, true, 0xE7},
        {"already off", {true, 0x1B7, true, {}}, {}, false, 0},
        {"the console refuses", {true, 0x1F7, false, {}}, {0x1B7}, false, 0},
    };
    for (auto c : cases) {
        const ConsoleModeChange change = consoleQuickEditOff(c.console.calls());
        EXPECT_EQ(c.console.sets, c.sets) << c.what;
        EXPECT_EQ(change.changed, c.changed) << c.what;
        EXPECT_EQ(change.restore, c.restore) << c.what;
    }
}

TEST(ConsoleControl, EachEventStopsAsItsSignalAndClosingHoldsTheProcess) {
    const struct {
        DWORD event;
        bool first, secondEndsNow;
        bool endNow;
        DWORD holdMs;
        bool endsSoon;
        int signal;
    } cases[] = {
        {kCtrlC, true, true, false, 0, false, 2},
        {kCtrlC, false, true, true, 0, false, 2},   // a person's second Ctrl-C at a single run
        {kCtrlC, false, false, false, 0, false, 2}, // at a station: part of the stop under way
        {kCtrlBreak, true, false, false, 0, false, 2},
        {kCtrlClose, true, false, false, 5000, true, 1},
        {kCtrlClose, false, true, false, 5000, true, 1}, // never cut: the stop has its seconds
        {kCtrlLogoff, true, false, false, 5000, true, 1},
        {kCtrlShutdown, true, false, false, 5000, true, 1},
        {kParentStop, true, false, false, 0, false, 15},
        {kParentStop, false, false, false, 0, false, 15},
    };
    for (const auto &c : cases) {
        const ControlStep step = consoleControlStep(c.event, c.first, c.secondEndsNow);
        EXPECT_EQ(step.endNow, c.endNow) << c.event << " first " << c.first;
        EXPECT_EQ(step.holdMs, c.holdMs) << c.event;
        EXPECT_EQ(consoleEventEndsSoon(c.event), c.endsSoon) << c.event;
        EXPECT_EQ(consoleEventSignal(c.event), c.signal) << c.event;
    }
}

} // namespace
