// Finds the port and baud rate where a unit answers the help probe.
#include "unit/Detection.h"

#include "platform/PortName.h"
#include "product/Product.h"
#include "unit/ComPortAPI.h"
#include "unit/Exchange.h"

static const int kProbeRates[] = {115200, 9600, 57600, 4800, 2400, 1200};

static std::vector<int> defaultPorts() {
    std::vector<int> ports;
    for (int i = 1; i <= 32; ++i) ports.push_back(i);
    return ports;
}

int gComPortNumber = 0;
int gBaudRate = 0;
std::vector<int> gDetectionPorts = defaultPorts();
std::vector<int> gDetectionProbed;
std::vector<std::pair<int, DWORD>> gDetectionUnopened;

// Opens and closes the port at once: 0 when it exists and nobody holds it, else the error.
static DWORD portOpenError(int i) {
    char szCOM[16];
    if (!comDevicePath(i, szCOM)) return ERROR_FILE_NOT_FOUND;
    HANDLE h = CreateFileA(szCOM, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_SYSTEM, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() != 0 ? GetLastError() : ERROR_FILE_NOT_FOUND;
    CloseHandle(h);
    return 0;
}

BOOL detectComPortAndBaudrate() {
    const char *ResponseExpected = DETECTION_EXPECTED_RESPONSE;
    gDetectionProbed.clear();
    gDetectionUnopened.clear();
    for (int i : gDetectionPorts) {
        if (const DWORD error = portOpenError(i); error != 0) {
            gDetectionUnopened.emplace_back(i, error);
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
