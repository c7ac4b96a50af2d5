#include "unit/ComPortAPI.h"

#include "base/Console.h"
#include "platform/PortList.h"
#include "platform/PortName.h"
#include "record/Record.h"

#include <chrono>

HANDLE g_hCOM = nullptr;

// A write fails when the port takes nothing for TIMEOUT_WRITE_STALL_MS: a unit that stops
// taking data cannot hold the program in the middle of an image, and one that pauses the line
// (CTS) for less, however often, never fails it. Windows bounds each WriteFile call as a whole,
// so one call lasts at most WRITE_SLICE_MS and the write goes on while calls take bytes.
COMMTIMEOUTS g_cto = {MAX_WAIT_READ, 0, MAX_WAIT_READ, 0, WRITE_SLICE_MS};

static DCB initialDcb() {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = BAUD_RATE;
    d.fBinary = 1;
    d.fOutxCtsFlow = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.XonLim = 256;
    d.XoffLim = 256;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.ErrorChar = 0x3F;
    d.EofChar = 0x1A;
    d.EvtChar = 0x10;
    return d;
}

DCB g_dcb = initialDcb();

// The settings the open port had, given back at close: the port is left as it was found.
static DCB gFoundDcb;
static bool gFoundDcbValid = false;
static int gOpenNumber = 0; // the COM number of the open port
static DWORD gOpenError = 0;

DWORD ComPortAPI_LastOpenError() { return gOpenError; }

static bool portIsOpen() { return g_hCOM != nullptr && g_hCOM != INVALID_HANDLE_VALUE; }

BOOL ComPortAPI_OpenCOM(int nId) {
    char szCOM[16];
    if (!comDevicePath(nId, szCOM)) { // a number that does not fit is refused, not cut
        gOpenError = ERROR_FILE_NOT_FOUND;
        consolePrintf("ERROR: COM%d is not a valid port number !", nId);
        return FALSE;
    }
    g_hCOM = CreateFileA(szCOM, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_SYSTEM, nullptr);
    if (g_hCOM == INVALID_HANDLE_VALUE) {
        const DWORD error = gOpenError = GetLastError();
        const std::string reason = PortList_openFailure(nId, error);
        g_hCOM = nullptr;
        consolePrintf("ERROR: Opening COM%d failed !", nId);
        consolePrint("\r\n");
        consolePrint(reason.c_str());
        recordPortOpen(nId, (int)g_dcb.BaudRate, false, error, reason);
        return FALSE;
    }
    gFoundDcbValid = GetCommState(g_hCOM, &gFoundDcb) != FALSE;
    SetupComm(g_hCOM, RX_SIZE, TX_SIZE);
    if (!SetCommTimeouts(g_hCOM, &g_cto) || !SetCommState(g_hCOM, &g_dcb)) {
        const DWORD error = gOpenError = GetLastError();
        consolePrintf("ERROR: COM%d configuration failed !", nId);
        recordPortOpen(nId, (int)g_dcb.BaudRate, false, error, "the driver refused its settings");
        if (gFoundDcbValid) SetCommState(g_hCOM, &gFoundDcb);
        CloseHandle(g_hCOM);
        g_hCOM = nullptr;
        return FALSE;
    }
    PurgeComm(g_hCOM, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    EscapeCommFunction(g_hCOM, SETDTR);
    gOpenNumber = nId;
    recordPortOpen(nId, (int)g_dcb.BaudRate, true, 0, "");
    return TRUE;
}

BOOL ComPortAPI_CloseCOM() {
    if (!portIsOpen()) {
        g_hCOM = nullptr;
        return TRUE;
    }
    if (gFoundDcbValid) SetCommState(g_hCOM, &gFoundDcb);
    CloseHandle(g_hCOM);
    g_hCOM = nullptr;
    recordPortClose(gOpenNumber);
    return TRUE;
}

BOOL ComPortAPI_ReadCOM(void *buffer, int nBytesToRead, int *pBytesRead) {
    DWORD n = 0;
    BOOL ok = FALSE;
    if (portIsOpen() && nBytesToRead >= 0) {
        ok = TRUE; // a stop that came before the read: nothing read, the stop follows below
        if (platformCancellableBegin()) ok = ReadFile(g_hCOM, buffer, (DWORD)nBytesToRead, &n, nullptr);
        platformCancellableEnd();
    }
    *pBytesRead = ok ? (int)n : 0;
    if (!ok) recordPortFailure("read", GetLastError());
    platformStopCheck();
    return ok;
}

bool WriteProgress::stalled(DWORD taken, long long nowMs) {
    if (taken > 0) lastTakenMs = nowMs;
    return nowMs - lastTakenMs >= stallMs;
}

static long long steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

BOOL ComPortAPI_WriteCOM(void *buffer, int nBytesToWrite, int *pBytesWritten) {
    const DWORD count = nBytesToWrite > 0 ? (DWORD)nBytesToWrite : 0;
    DWORD total = 0;
    BOOL ok = portIsOpen() && nBytesToWrite >= 0 ? TRUE : FALSE;
    bool stalled = false;
    WriteProgress progress{steadyMs(), TIMEOUT_WRITE_STALL_MS};
    // A call that times out reports success with the bytes it took (Windows and POSIX alike).
    while (ok && total < count && !stalled) {
        DWORD n = 0;
        ok = platformCancellableBegin() && WriteFile(g_hCOM, (const char *)buffer + total, count - total, &n, nullptr);
        platformCancellableEnd();
        total += n;
        stalled = ok && progress.stalled(n, steadyMs());
    }
    *pBytesWritten = (int)total;
    recordPortWritten((int)total);
    const std::string what = "write of " + std::to_string(count) + " bytes (" + std::to_string(total) + " taken)";
    if (stalled) {
        ok = FALSE;
        recordPortFailure(what + ": the port took nothing for the write time-out", 0);
    } else if (!ok) {
        recordPortFailure(what, GetLastError());
    }
    platformStopCheck();
    return ok;
}

// Applies a changed record to the open port; the outcome goes to the record.
static BOOL applied(const std::string &setting, bool ok) {
    const bool open = portIsOpen();
    recordPortSetting(setting, !open ? "stored for the next open" : ok ? "applied" : "refused");
    return open && ok ? TRUE : FALSE;
}

BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs) {
    if (g_cto.ReadIntervalTimeout == (DWORD)timeoutInMs) return TRUE;
    g_cto.ReadIntervalTimeout = (DWORD)timeoutInMs;
    g_cto.ReadTotalTimeoutConstant = (DWORD)timeoutInMs;
    return applied("read time-out " + std::to_string(timeoutInMs) + " ms",
                   portIsOpen() && SetCommTimeouts(g_hCOM, &g_cto));
}

BOOL ComPortAPI_SetBaudRate(int baudrate) {
    if (g_dcb.BaudRate == (DWORD)baudrate) return TRUE;
    g_dcb.BaudRate = (DWORD)baudrate;
    return applied("baud rate " + std::to_string(baudrate), portIsOpen() && SetCommState(g_hCOM, &g_dcb));
}

BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable) {
    if (g_dcb.fOutxCtsFlow == (DWORD)(isEnable & 1)) return TRUE;
    g_dcb.fOutxCtsFlow = (DWORD)(isEnable & 1);
    return applied(isEnable & 1 ? "CTS flow control on" : "CTS flow control off",
                   portIsOpen() && SetCommState(g_hCOM, &g_dcb));
}
