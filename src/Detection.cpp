// Finds the port and baud rate where a unit answers the help probe.
#include "ComPortAPI.h"
#include "FwUpgrade.h"
#include "PortName.h"

static const int kProbeRates[] = {115200, 9600, 57600, 4800, 2400, 1200};

static std::vector<int> defaultPorts() {
    std::vector<int> ports;
    for (int i = 1; i <= 32; ++i) ports.push_back(i);
    return ports;
}

std::vector<int> gDetectionPorts = defaultPorts();
std::vector<int> gDetectionProbed;

// Opens and closes the port at once: it exists and nobody holds it.
static bool portIsFree(int i) {
    char szCOM[16];
    if (!comDevicePath(i, szCOM)) return false;
    HANDLE h = CreateFileA(szCOM, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_SYSTEM, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

BOOL detectComPortAndBaudrate() {
    const char *ResponseExpected = DETECTION_EXPECTED_RESPONSE;
    gDetectionProbed.clear();
    for (int i : gDetectionPorts) {
        if (!portIsFree(i)) {
            gComPortNumber = 0;
            gBaudRate = 0;
            continue;
        }
        gComPortNumber = i;
        gDetectionProbed.push_back(i);
        for (int b : kProbeRates) {
            ComPortAPI_SetBaudRate(b); // no port open: only stored for the open below
            // A fresh open per rate purges what an earlier rate left in the queues.
            if (!ComPortAPI_OpenCOM(i)) continue;
            gBaudRate = b;
            if (sendCommand(DETECTION_PROBE_COMMAND, FALSE, TRUE, ResponseExpected)) return TRUE;
            if (sendCommand(DETECTION_PROBE_COMMAND, FALSE, TRUE, ResponseExpected)) return TRUE;
            ComPortAPI_CloseCOM();
        }
    }
    return FALSE;
}
