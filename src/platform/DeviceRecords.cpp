#include "platform/DeviceRecords.h"

#include "platform/PortName.h"

#include <algorithm>
#include <cctype>
#include <cstring>

bool usbEnumerator(const std::string &enumerator) {
    auto is = [&](const char *name) {
        return enumerator.size() == std::strlen(name) &&
               std::equal(enumerator.begin(), enumerator.end(), name,
                          [](char a, char b) { return std::toupper((unsigned char)a) == b; });
    };
    return is("USB") || is("FTDIBUS");
}

std::map<int, PortFacts> portFactsOf(const std::vector<DeviceRecord> &records) {
    std::map<int, PortFacts> ports;
    for (const DeviceRecord &record : records) {
        int n = 0;
        if (parseComName(record.portName, n) != COM_NAME_VALID) continue;
        PortFacts &facts = ports[n]; // one port in both classes: what either says of it
        if (facts.description.empty()) facts.description = record.description;
        facts.usb = facts.usb || usbEnumerator(record.enumerator);
    }
    return ports;
}
