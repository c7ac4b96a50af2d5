// Decisions the platform code takes from what the system said, run on recorded results: when a
// write has stalled, and which COM ports the device records name and which are USB adapters.
#include "ComPortAPI.h"
#include "platform/DeviceRecords.h"

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

TEST(DeviceRecords, UsbAdaptersByTheirBusDriverNamedWhole) {
    const struct {
        const char *enumerator;
        bool usb;
    } cases[] = {{"USB", true},   {"usb", true},      {"FTDIBUS", true},  {"FtdiBus", true}, {"ACPI", false},
                 {"PCI", false},  {"BTHENUM", false}, {"ROOT", false},    {"USBPRINT", false}, {"", false}};
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

} // namespace
