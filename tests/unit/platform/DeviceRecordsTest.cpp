// Which COM ports the device records name and which are USB adapters, run on records as
// SetupAPI gives them (Windows paths Wine cannot run).
#include "platform/DeviceRecords.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

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

} // namespace
