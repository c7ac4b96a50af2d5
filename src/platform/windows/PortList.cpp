#include "platform/PortList.h"

#include "platform/PortName.h"

#include "platform/DeviceRecords.h"

#include <initguid.h> // before devguid.h: defines GUID_DEVCLASS_PORTS and _MODEM here
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <map>

namespace {

// A registry property of a device as text; "" when it has none.
std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property) {
    char text[256] = "";
    return SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr, (BYTE *)text, sizeof text - 1, nullptr)
               ? text
               : "";
}

// The present devices of a setup class, as records: PortName from each one's device key.
void readClass(const GUID &deviceClass, std::vector<DeviceRecord> &records) {
    HDEVINFO set = SetupDiGetClassDevsA(&deviceClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        DeviceRecord record;
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key != INVALID_HANDLE_VALUE) {
            char portName[64] = "";
            DWORD size = sizeof portName - 1, type = 0;
            if (RegQueryValueExA(key, "PortName", nullptr, &type, (BYTE *)portName, &size) == ERROR_SUCCESS &&
                type == REG_SZ)
                record.portName = portName;
            RegCloseKey(key);
        }
        record.enumerator = deviceProperty(set, device, SPDRP_ENUMERATOR_NAME);
        record.description = deviceProperty(set, device, SPDRP_FRIENDLYNAME);
        if (record.description.empty()) record.description = deviceProperty(set, device, SPDRP_DEVICEDESC);
        records.push_back(record);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// What the system knows of each port by COM number. USB CDC ACM adapters often install in the
// modem class, with their COM port's name in the same place.
std::map<int, PortFacts> deviceFacts() {
    std::vector<DeviceRecord> records;
    readClass(GUID_DEVCLASS_PORTS, records);
    readClass(GUID_DEVCLASS_MODEM, records);
    return portFactsOf(records);
}

// The COM numbers in the system's serial device map; a port another program holds is there too.
std::vector<int> mappedPorts() {
    std::vector<int> numbers;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return numbers;
    for (DWORD i = 0;; ++i) {
        char name[256], data[64] = "";
        DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, (BYTE *)data, &dataSize) != ERROR_SUCCESS) break;
        int n = 0;
        if (type == REG_SZ && parseComName(data, n) == COM_NAME_VALID) numbers.push_back(n);
    }
    RegCloseKey(key);
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

} // namespace

// The ports of the serial device map with their friendly names; where the system keeps no map
// (Wine), COM1 to COM255 that open now.
std::vector<PortInfo> PortList_machinePorts() {
    std::vector<PortInfo> ports;
    std::vector<int> numbers = mappedPorts();
    const bool mapped = !numbers.empty();
    if (!mapped)
        for (int n = 1; n <= 255; ++n)
            if (PortList_openError(n) == 0) numbers.push_back(n);
    const std::map<int, PortFacts> facts = mapped ? deviceFacts() : std::map<int, PortFacts>();
    for (int n : numbers) {
        const auto fact = facts.find(n);
        ports.push_back({n, "COM" + std::to_string(n), fact != facts.end() ? fact->second.description : "",
                         fact != facts.end() && fact->second.usb});
    }
    return ports;
}

// In the device map, or (where the system keeps none, as Wine) known to the object manager.
bool PortList_present(const std::string &path) {
    int n = 0;
    if (parseComName(path, n) != COM_NAME_VALID) return false;
    const std::vector<int> numbers = mappedPorts();
    if (!numbers.empty()) return std::find(numbers.begin(), numbers.end(), n) != numbers.end();
    char target[1024];
    return QueryDosDeviceA(("COM" + std::to_string(n)).c_str(), target, sizeof target) != 0;
}

// From the device map and what SetupAPI knows: nothing is opened.
std::vector<PortInfo> PortList_usbPorts() {
    std::vector<PortInfo> ports;
    const std::map<int, PortFacts> facts = deviceFacts();
    for (int n : mappedPorts()) {
        const auto fact = facts.find(n);
        if (fact != facts.end() && fact->second.usb) ports.push_back({n, "COM" + std::to_string(n), fact->second.description, true});
    }
    return ports;
}

std::string PortList_status(const PortInfo &port) {
    const DWORD error = PortList_openError(port.number);
    if (error == 0) return "free";
    return PortList_problem(error) == PORT_BUSY ? "in use by another program" : platformErrorText(error);
}

std::string PortList_pathOf(int nId) { return "COM" + std::to_string(nId); }

bool PortList_resolve(const std::vector<std::string> &names, std::vector<int> &numbers, std::string &error) {
    for (const std::string &name : names) {
        int n = 0;
        if (parseComName(name, n) != COM_NAME_VALID) {
            error = "'" + name + "' is not a COM port (use a number or COMn)";
            return false;
        }
        numbers.push_back(n);
    }
    return true;
}

PortProblem PortList_problem(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return PORT_ABSENT;
    // Windows says "access denied" for a port another program holds.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return PORT_BUSY;
    default: return PORT_OTHER;
    }
}

// COM numbers are the system's own: nothing to assign.
void PortList_assign(int, const std::string &) {}

bool PortList_sameDevice(const std::string &a, const std::string &b) {
    int na = 0, nb = 0;
    return parseComName(a, na) == COM_NAME_VALID && parseComName(b, nb) == COM_NAME_VALID ? na == nb : a == b;
}

std::string PortList_openFailure(int nId, DWORD error) {
    const std::string name = "COM" + std::to_string(nId);
    switch (PortList_problem(error)) {
    case PORT_ABSENT:
        return name + ": no such port on this PC. Is the adapter plugged in? FwUpgrade --list-ports shows the ports.";
    case PORT_BUSY: return name + ": in use by another program. Close it (a terminal program) and retry.";
    default: return name + ": " + platformErrorText(error) + ".";
    }
}
