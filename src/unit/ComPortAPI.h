#ifndef COMPORTAPI_H_
#define COMPORTAPI_H_

#include "platform/Platform.h"
#include "product/Timing.h"

#include <atomic>

#define RX_SIZE 8192                        // driver input queue requested at every open
#define TX_SIZE 8192                        // driver output queue requested at every open
#define MAX_WAIT_READ TIMEOUT_INITIAL_READ_MS // initial interval and total read time-out, ms
#define BAUD_RATE 9600                      // initial baud rate
#define WRITE_SLICE_MS (TIMEOUT_WRITE_STALL_MS / 30) // longest one WriteFile call of a write lasts

extern COMMTIMEOUTS g_cto; // applied at every open and by the read time-out setter
extern DCB g_dcb;          // applied at every open and by the rate and flow-control setters

// A port held open, and what closing it gives back. The run's one port is the module's own
// (ComPortAPI_port(), g_hCOM its handle); detection holds one for each candidate at once, each
// on its thread.
struct ComPort {
    HANDLE handle = nullptr;
    int number = 0;          // its COM number
    DCB found{};             // its settings when it was opened: given back at close
    bool foundValid = false;
    DWORD openError = 0;     // the system's error of the last open that failed
    // A probe's port, on a thread of its own: once *cancel is set, or a stop comes, its reads and
    // writes end within a slice of the read time-out (never the run itself). Null: the run's port.
    const std::atomic<bool> *cancel = nullptr;
    DWORD readTimeoutMs = 0; // a probe's read time-out, read in slices
};

// The run's one port, which the functions below work on; g_hCOM is its handle (null: none open).
ComPort &ComPortAPI_port();
extern HANDLE &g_hCOM;

// TRUE: port nId open and configured from g_cto and g_dcb. FALSE: no port open, message printed.
BOOL ComPortAPI_OpenCOM(int nId);
// The system's error (GetLastError) of the last open that failed.
DWORD ComPortAPI_LastOpenError();
// Closes the open port, if any; TRUE always.
BOOL ComPortAPI_CloseCOM();
// One read bounded by the read time-out; *pBytesRead gets the bytes placed (not terminated).
BOOL ComPortAPI_ReadCOM(void *buffer, int nBytesToRead, int *pBytesRead);
// One write that returns once every byte is taken; *pBytesWritten gets the count. FALSE on an
// error, a stop, or when the port takes no byte for TIMEOUT_WRITE_STALL_MS, however long it takes.
BOOL ComPortAPI_WriteCOM(void *buffer, int nBytesToWrite, int *pBytesWritten);
// Setters: equal value -> TRUE, no platform call. Otherwise store, then apply the whole
// record to the open port: its result, or FALSE with no port open (the next open applies it).
BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs);
BOOL ComPortAPI_SetBaudRate(int baudrate);
BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable);

// The module's operations on such a port; dcb and cto are applied in full at the open.
BOOL ComPort_open(ComPort &port, int nId, const DCB &dcb, const COMMTIMEOUTS &cto);
void ComPort_close(ComPort &port);
BOOL ComPort_read(ComPort &port, void *buffer, int nBytesToRead, int *pBytesRead);
BOOL ComPort_write(ComPort &port, const void *buffer, int nBytesToWrite, int *pBytesWritten);
// Makes port, open at baudrate, the run's port (g_hCOM, g_dcb's rate); port is left empty.
void ComPortAPI_TakePort(ComPort &port, int baudrate);

// A write as a series of WriteFile calls, each bounded by WRITE_SLICE_MS: it has stalled when the
// port took no byte for stallMs since it began or since the last call that took one. Times in ms.
struct WriteProgress {
    long long lastTakenMs;
    long long stallMs;
    // After a call that took `taken` bytes and ended at nowMs: true when the write has stalled.
    bool stalled(DWORD taken, long long nowMs);
};

#endif
