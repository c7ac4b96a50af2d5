#include "unit/ComPortAPI.h"

#include "base/Console.h"
#include "platform/PortList.h"
#include "platform/PortName.h"
#include "record/Record.h"

#include <algorithm>
#include <chrono>

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

static ComPort gPort;
HANDLE &g_hCOM = gPort.handle;

ComPort &ComPortAPI_port() { return gPort; }

DWORD ComPortAPI_LastOpenError() { return gPort.openError; }

static bool isOpen(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

// A stop ends a wait: on the run's thread it ends the run there (platformStopCheck); on a
// probe's thread it only ends the call, and the probe's owner sees the stop.
static bool waitBegins(const ComPort &port) {
    return port.cancel ? !*port.cancel && platformStopSignal() == 0 : platformCancellableBegin();
}

static void waitEnds(const ComPort &port) {
    if (port.cancel) return;
    platformCancellableEnd();
    platformStopCheck();
}

static long long steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A probe reads in slices of this: it ends this soon after it is no longer needed.
static const DWORD kProbeReadSliceMs = 50;

BOOL ComPort_open(ComPort &port, int nId, const DCB &dcb, const COMMTIMEOUTS &cto) {
    char szCOM[16];
    port.handle = nullptr;
    if (!comDevicePath(nId, szCOM)) { // a number that does not fit is refused, not cut
        port.openError = ERROR_FILE_NOT_FOUND;
        consolePrintf("ERROR: COM%d is not a valid port number !", nId);
        return FALSE;
    }
    HANDLE h = CreateFileA(szCOM, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_SYSTEM, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = port.openError = GetLastError();
        const std::string reason = PortList_openFailure(nId, error);
        consolePrintf("ERROR: Opening COM%d failed !", nId);
        consolePrint("\r\n");
        consolePrint(reason.c_str());
        recordPortOpen(nId, (int)dcb.BaudRate, false, error, reason);
        return FALSE;
    }
    port.foundValid = GetCommState(h, &port.found) != FALSE;
    SetupComm(h, RX_SIZE, TX_SIZE);
    COMMTIMEOUTS timeouts = cto;
    DCB settings = dcb; // kernel32 takes them as writable records
    port.readTimeoutMs = cto.ReadTotalTimeoutConstant;
    if (port.cancel) timeouts.ReadIntervalTimeout = timeouts.ReadTotalTimeoutConstant =
                         std::min(kProbeReadSliceMs, cto.ReadTotalTimeoutConstant);
    if (!SetCommTimeouts(h, &timeouts) || !SetCommState(h, &settings)) {
        const DWORD error = port.openError = GetLastError();
        consolePrintf("ERROR: COM%d configuration failed !", nId);
        recordPortOpen(nId, (int)dcb.BaudRate, false, error, "the driver refused its settings");
        if (port.foundValid) SetCommState(h, &port.found);
        CloseHandle(h);
        return FALSE;
    }
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    EscapeCommFunction(h, SETDTR);
    port.handle = h;
    port.number = nId;
    recordPortOpen(nId, (int)dcb.BaudRate, true, 0, "");
    return TRUE;
}

void ComPort_close(ComPort &port) {
    if (isOpen(port.handle)) {
        if (port.foundValid) SetCommState(port.handle, &port.found);
        CloseHandle(port.handle);
        recordPortClose(port.number);
    }
    port.handle = nullptr;
}

// One read of the read time-out, as slices that each end on a cancel or a stop.
static BOOL readInSlices(ComPort &port, void *buffer, DWORD count, DWORD &got) {
    const long long deadline = steadyMs() + port.readTimeoutMs;
    while (got < count && waitBegins(port)) {
        DWORD n = 0;
        if (!ReadFile(port.handle, (char *)buffer + got, count - got, &n, nullptr)) return FALSE;
        got += n;
        if (steadyMs() >= deadline) break;
    }
    return TRUE;
}

BOOL ComPort_read(ComPort &port, void *buffer, int nBytesToRead, int *pBytesRead) {
    DWORD n = 0;
    BOOL ok = FALSE;
    if (isOpen(port.handle) && nBytesToRead >= 0) {
        ok = TRUE; // a stop that came before the read: nothing read, the stop follows below
        if (port.cancel) ok = readInSlices(port, buffer, (DWORD)nBytesToRead, n);
        else if (waitBegins(port)) ok = ReadFile(port.handle, buffer, (DWORD)nBytesToRead, &n, nullptr);
    }
    *pBytesRead = ok ? (int)n : 0;
    if (!ok) recordPortFailure("read", GetLastError());
    waitEnds(port);
    return ok;
}

bool WriteProgress::stalled(DWORD taken, long long nowMs) {
    if (taken > 0) lastTakenMs = nowMs;
    return nowMs - lastTakenMs >= stallMs;
}

BOOL ComPort_write(ComPort &port, const void *buffer, int nBytesToWrite, int *pBytesWritten) {
    const DWORD count = nBytesToWrite > 0 ? (DWORD)nBytesToWrite : 0;
    DWORD total = 0;
    BOOL ok = isOpen(port.handle) && nBytesToWrite >= 0 ? TRUE : FALSE;
    bool stalled = false;
    WriteProgress progress{steadyMs(), TIMEOUT_WRITE_STALL_MS};
    // A call that times out reports success with the bytes it took (Windows and POSIX alike).
    while (ok && total < count && !stalled) {
        DWORD n = 0;
        ok = waitBegins(port) && WriteFile(port.handle, (const char *)buffer + total, count - total, &n, nullptr);
        if (!port.cancel) platformCancellableEnd();
        total += n;
        stalled = ok && progress.stalled(n, steadyMs());
    }
    *pBytesWritten = (int)total;
    recordPortWritten((int)total);
    const std::string what = "write of " + std::to_string(count) + " bytes (" + std::to_string(total) + " taken)";
    if (stalled) {
        ok = FALSE;
        recordPortFailure(what + ": the port took nothing for the write time-out", 0);
    } else if (!ok && !(port.cancel && *port.cancel)) { // a probe ended at the pick failed nothing
        recordPortFailure(what, GetLastError());
    }
    if (!port.cancel) platformStopCheck();
    return ok;
}

// The run's port: the module's names, on gPort.
BOOL ComPortAPI_OpenCOM(int nId) { return ComPort_open(gPort, nId, g_dcb, g_cto); }

BOOL ComPortAPI_CloseCOM() {
    ComPort_close(gPort);
    return TRUE;
}

BOOL ComPortAPI_ReadCOM(void *buffer, int nBytesToRead, int *pBytesRead) {
    return ComPort_read(gPort, buffer, nBytesToRead, pBytesRead);
}

BOOL ComPortAPI_WriteCOM(void *buffer, int nBytesToWrite, int *pBytesWritten) {
    return ComPort_write(gPort, buffer, nBytesToWrite, pBytesWritten);
}

void ComPortAPI_TakePort(ComPort &port, int baudrate) {
    ComPortAPI_CloseCOM();
    gPort = port;
    gPort.cancel = nullptr;
    g_dcb.BaudRate = (DWORD)baudrate;
    SetCommTimeouts(g_hCOM, &g_cto); // the whole read time-out again, not a probe's slices
    port.handle = nullptr;
}

// Applies a changed record to the open port; the outcome goes to the record.
static BOOL applied(const std::string &setting, bool ok) {
    const bool open = isOpen(g_hCOM);
    recordPortSetting(setting, !open ? "stored for the next open" : ok ? "applied" : "refused");
    return open && ok ? TRUE : FALSE;
}

BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs) {
    if (g_cto.ReadIntervalTimeout == (DWORD)timeoutInMs) return TRUE;
    g_cto.ReadIntervalTimeout = (DWORD)timeoutInMs;
    g_cto.ReadTotalTimeoutConstant = (DWORD)timeoutInMs;
    return applied("read time-out " + std::to_string(timeoutInMs) + " ms",
                   isOpen(g_hCOM) && SetCommTimeouts(g_hCOM, &g_cto));
}

BOOL ComPortAPI_SetBaudRate(int baudrate) {
    if (g_dcb.BaudRate == (DWORD)baudrate) return TRUE;
    g_dcb.BaudRate = (DWORD)baudrate;
    return applied("baud rate " + std::to_string(baudrate), isOpen(g_hCOM) && SetCommState(g_hCOM, &g_dcb));
}

BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable) {
    if (g_dcb.fOutxCtsFlow == (DWORD)(isEnable & 1)) return TRUE;
    g_dcb.fOutxCtsFlow = (DWORD)(isEnable & 1);
    return applied(isEnable & 1 ? "CTS flow control on" : "CTS flow control off",
                   isOpen(g_hCOM) && SetCommState(g_hCOM, &g_dcb));
}
