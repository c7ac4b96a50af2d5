#ifndef DEVICERECORDS_H_
#define DEVICERECORDS_H_

#include <map>
#include <string>
#include <vector>

// What the system's device records (SetupAPI, on Windows) say of its COM ports, decided from
// the records alone so that it runs on recorded ones too.

struct DeviceRecord {
    std::string portName;    // PortName in its device key: "COM3"; a printer port's "LPT1"; "" for none
    std::string enumerator;  // the bus driver that found it: "USB", "FTDIBUS", "ACPI", "PCI"...
    std::string description; // its friendly name, else its device description
};

struct PortFacts {
    std::string description; // "USB Serial Port (COM3)"
    bool usb = false;        // a USB serial adapter (plugged in and out)
};

// True for the bus drivers of USB serial adapters: USB (usbser's CDC ACM, CP210x, PL2303,
// CH340...) and FTDIBUS (FTDI's driver), the name compared whole in any case.
bool usbEnumerator(const std::string &enumerator);
// Each COM port the records name, by number, from the ports and the modem classes alike: a
// record whose PortName is no COM port (a printer port, a modem without one) names none.
std::map<int, PortFacts> portFactsOf(const std::vector<DeviceRecord> &records);

#endif
