#include "platform/PortList.h"
#include "platform/Platform.h"

#include <cstdio>

// COM1 to COM255 that open now; a port held by another program is not listed.
std::vector<PortInfo> PortList_machinePorts() {
    std::vector<PortInfo> ports;
    for (int n = 1; n <= 255; ++n) {
        char path[16];
        std::snprintf(path, sizeof path, "\\\\.\\COM%d", n);
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        CloseHandle(h);
        ports.push_back({"COM" + std::to_string(n), ""});
    }
    return ports;
}

std::string PortList_pathOf(int nId) { return "COM" + std::to_string(nId); }

void PortList_setOverride(const std::vector<std::string> &) {}
