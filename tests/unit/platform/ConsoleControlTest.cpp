// Decisions the platform code takes from what the system said, run on recorded results: when a
// write has stalled, which COM ports the device records name and which are USB adapters, the
// console's live view, its Quick Edit and its control events (Windows paths Wine cannot run).
#include "platform/ConsoleControl.h"
#include "platform/DeviceRecords.h"
#include "unit/ComPortAPI.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Each call's bytes taken and the time it ended (ms from the write's start; the bound 30 s).
TEST(WriteProgress, StallsOnlyAfterTheBoundWithoutAByte) {
    const struct Call {
        DWORD taken;
        long long atMs;
        bool stalled;
    } nothingTaken[] = {{0, 1000, false}, {0, 29999, false}, {0, 30000, true}},
      // 10 KiB a few bytes at a time takes hours (far beyond 30 s plus 1 ms a byte): no stall.
      slowUnit[] = {{100, 29000, false}, {100, 58000, false}, {100, 87000, false}, {0, 116999, false},
                    {0, 117000, true}},
      // A call that took bytes is progress however long it lasted; the bound counts from its end.
      lateBytes[] = {{0, 1000, false}, {5, 30500, false}, {0, 60499, false}, {0, 60500, true}};
    const struct {
        const char *what;
        std::vector<Call> calls;
    } cases[] = {{"nothing taken", {std::begin(nothingTaken), std::end(nothingTaken)}},
                 {"a slow unit", {std::begin(slowUnit), std::end(slowUnit)}},
                 {"bytes late in a call", {std::begin(lateBytes), std::end(lateBytes)}}};
    for (const auto &c : cases) {
        WriteProgress progress{0, 30000};
        for (const Call &call : c.calls)
            EXPECT_EQ(progress.stalled(call.taken, call.atMs), call.stalled) << c.what << " at " << call.atMs;
    }
}

// The records below hold the common names; here the case, and a name that only holds "USB".
TEST(DeviceRecords, UsbAdaptersByTheirBusDriverNamedWhole) {
    const struct {
        const char *enumerator;
        bool usb;
    } cases[] = {{"usb", true}, {"FtdiBus", true}, {"USBPRINT", false}, {"", false}};
    for (const auto &c : cases) EXPECT_EQ(usbEnumerator(c.enumerator), c.usb) << c.enumerator;
}

// Records as SetupAPI gives them on a PC: the ports class, then the modem class.
TEST(DeviceRecords, ComPortsFromThePortsAndTheModemClass) {
    const std::vector<DeviceRecord> records = {
        {"COM1", "ACPI", "Communications Port (COM1)"},
        {"LPT1", "ACPI", "Printer Port (LPT1)"},
        {"COM3", "FTDIBUS", "USB Serial Port (COM3)"},
        {"COM4", "USB", "Silicon Labs CP210x USB to UART Bridge (COM4)"},
        {"COM5", "PCI", "PCIe to High Speed Serial Port (COM5)"},
        {"COM8", "BTHENUM", "Standard Serial over Bluetooth link (COM8)"},
        {"COM12", "USB", ""},
        // Modem class: a CDC ACM adapter, a soft modem without a COM port, one port in both.
        {"COM7", "USB", "USB Modem (COM7)"},
        {"", "HDAUDIO", "HDA Soft Data Fax Modem"},
        {"COM12", "USB", "USB Serial Device (COM12)"},
    };
    const struct {
        int number;
        const char *description;
        bool usb;
    } expected[] = {{1, "Communications Port (COM1)", false},
                    {3, "USB Serial Port (COM3)", true},
                    {4, "Silicon Labs CP210x USB to UART Bridge (COM4)", true},
                    {5, "PCIe to High Speed Serial Port (COM5)", false},
                    {7, "USB Modem (COM7)", true},
                    {8, "Standard Serial over Bluetooth link (COM8)", false},
                    {12, "USB Serial Device (COM12)", true}};
    const std::map<int, PortFacts> ports = portFactsOf(records);
    ASSERT_EQ(ports.size(), std::size(expected));
    for (const auto &e : expected) {
        ASSERT_EQ(ports.count(e.number), 1u) << e.number;
        EXPECT_EQ(ports.at(e.number).description, e.description);
        EXPECT_EQ(ports.at(e.number).usb, e.usb) << e.number;
    }
}

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
