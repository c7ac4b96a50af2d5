#include "platform/PortList.h"

#include "PortName.h"

// COM1 to COM255 that open now; a port held by another program is not listed.
std::vector<PortInfo> PortList_machinePorts() {
    std::vector<PortInfo> ports;
    for (int n = 1; n <= 255; ++n) {
        char path[16];
        comDevicePath(n, path);
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        CloseHandle(h);
        ports.push_back({n, "COM" + std::to_string(n), ""});
    }
    return ports;
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

std::string PortList_openFailure(int nId, DWORD error) {
    const std::string name = "COM" + std::to_string(nId);
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return name + ": no such port on this PC. Is the adapter plugged in? FwUpgrade --list-ports shows the ports.";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return name + ": in use by another program. Close it (a terminal program) and retry.";
    default: return name + ": " + platformErrorText(error) + ".";
    }
}
