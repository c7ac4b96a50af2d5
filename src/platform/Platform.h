#ifndef PLATFORM_H_
#define PLATFORM_H_

// The kernel32 names the serial module is written against. On Windows they are the
// real calls; elsewhere src/platform/posix implements them on termios with the
// semantics the program relies on and nothing more.

#include <cstddef>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef void *HANDLE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define ERROR_FILE_NOT_FOUND 2 // ENOENT: GetLastError gives errno values here
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_SYSTEM 4
#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008
#define SETDTR 5
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_ENABLE 1
#define NOPARITY 0
#define ONESTOPBIT 0

typedef struct {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB;

typedef struct {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS;

// "\\.\COMn" opens entry n of the port list (PortList.h); any other name opens that path.
// Exclusive: a port already open here or elsewhere gives INVALID_HANDLE_VALUE.
HANDLE CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
// Only the total constant matters: a read ends at the count or that many ms after it began.
BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS *cto);
// Applies rate, 8N1 raw, CTS flow control; FALSE when the driver does not take the rate.
BOOL SetCommState(HANDLE h, const DCB *dcb);
// The port's rate, character format and CTS flow control as a DCB.
BOOL GetCommState(HANDLE h, DCB *dcb);
// Empties both queues.
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL EscapeCommFunction(HANDLE h, DWORD func);
// TRUE with what arrived before the deadline (maybe nothing); FALSE on hang-up or error.
BOOL ReadFile(HANDLE h, void *buffer, DWORD count, DWORD *read, void *overlapped);
// Blocks until every byte is taken or the port takes no byte for the write time-out
// (WriteTotalTimeoutConstant ms; 0: none): TRUE with the count taken, as a Windows write
// time-out ends. FALSE on error, hang-up or a stop.
BOOL WriteFile(HANDLE h, const void *buffer, DWORD count, DWORD *written, void *overlapped);
// Restores the line settings found at open and releases the port.
BOOL CloseHandle(HANDLE h);
// The reads, writes and Sleep end early when a stop comes (platformStopInit).
void Sleep(DWORD ms);
// The errno of the last call of this layer that failed.
DWORD GetLastError();
#endif

// Stopping on a signal: SIGINT, SIGTERM, SIGHUP (on Windows the console control events).
// Installs the handlers and ignores SIGPIPE, so a closed output pipe never ends a run.
// From then on every blocking wait (serial reads and writes, Sleep, the key and line reads
// below) ends early when a stop comes; platformStopCheck then calls onStop, on the thread
// that waited, with the signal's number. onStop must not return.
void platformStopInit(void (*onStop)(int signal));
// Calls onStop when a stop has come.
void platformStopCheck();
// The signal of the stop that came (SIGINT is 2, SIGHUP 1), or 0.
int platformStopSignal();
// How many stop signals came in all, and how far apart the first and the last came (ms): a
// station tells a second stop from the same one sent twice at once (to it and its group).
int platformStopCount();
int platformStopSpanMs();
// True when the stop came from the console closing, a log-off or a shut-down (Windows): the
// system ends the process about five seconds later, so there is no time to let work finish.
bool platformStopEndsSoon();
// With endsNow, a second Ctrl-C ends the program at once: for a person at the console who
// will not wait for the clean stop. Otherwise (the default) every signal after the first is
// part of the stop under way, which always finishes.
void platformStopSecondEndsNow(bool endsNow);
// Bracket a serial read or write that a stop must cut short (Windows cancels it from the
// console control handler). Begin is false when a stop has come: skip the call.
bool platformCancellableBegin();
void platformCancellableEnd();
// The system's text for an error code (errno, or GetLastError on Windows).
std::string platformErrorText(DWORD error);

// Console: every text reaches the screen at once; stdout carries the bytes unchanged.
void platformConsoleInit();
// True when stdout is an interactive console that takes cursor movement (ANSI escapes; on
// Windows virtual-terminal processing, switched on here and off again at exit).
bool platformConsoleTakesCursorMoves();
// The console's width in columns now (it follows a resize); 0 when stdout is no console.
int platformConsoleColumns();
// Its height in lines now; 0 when stdout is no console.
int platformConsoleRows();
// Switches the console's Quick Edit off until the program ends: a click in the window would
// otherwise hold every write (and a station's views with them) until the selection ends.
// Windows only; elsewhere nothing to do.
void platformConsoleNoQuickEdit();
// TRUE when a person can press a key on stdin.
bool platformStdinIsInteractive();
// One key press without echo; the console's mode is restored before anything else.
int platformGetch();
// One line of stdin without its line end (at most 255 characters kept); false at its end.
bool platformReadLine(std::string &line);
// The console's keys for a program that draws while it reads them (a station taking the scans
// of a barcode reader, which types like a keyboard): no echo, no line editing, never a wait.
// Begin: false when stdin is no console this process may read (a service, a pipe, a background
// job). Typed: what was typed since the last call ("\r" or "\n" for Enter, "\t" for Tab); the
// console set for the keys again once back from a stop (Ctrl-Z, fg). End: the console as it was
// (also at exit).
bool platformKeysBegin();
std::string platformKeysTyped();
void platformKeysEnd();
// Lowers this process's scheduling priority, for work that must never slow a station's updates.
void platformLowerPriority();
// This process's id and the machine's name, to say who holds a file.
unsigned long platformProcessId();
std::string platformHostName();
// Holds path (created if missing) for as long as this process lives, with text in it, so that
// no other process can hold it. HOLD_BY_ANOTHER with what its holder wrote there in `why`;
// HOLD_FAILED with why it cannot be held (a link, a FIFO, another user's file).
enum HoldResult { HOLD_TAKEN, HOLD_BY_ANOTHER, HOLD_FAILED };
HoldResult platformHoldFile(const std::string &path, const std::string &text, std::string &why);
// Whether the file this process holds at path is still the one named there: false once its
// folder was removed (and perhaps made again), when the hold keeps nobody out any more.
bool platformStillHolding(const std::string &path);
// Memory for the multi-megabyte buffers (not zeroed; release with free), on huge pages where
// the system offers them: a few page faults instead of thousands. Null when out of memory.
void *platformAllocateLarge(size_t bytes);
// Renames from over to (replacing it, whose permissions from takes) in one step; "" on
// success, else the reason.
std::string platformReplaceFile(const char *from, const char *to);
// Puts what was written to file on disk; "" on success, else the reason.
std::string platformSyncFile(FILE *file);
// Puts a folder's entries (a file created or renamed there) on disk; "" or the reason.
std::string platformSyncFolder(const std::string &folder);
// Cuts an open file back to size bytes (a write that failed half-way undone); "" or the reason.
std::string platformTruncateFile(FILE *file, long long size);
// True while path still names the open file (not removed, not replaced by another).
bool platformStillNamed(FILE *file, const std::string &path);
// Creates path for binary writing: a new file, never an existing one nor through a link.
// Null with reason set, and `exists` when the name is taken.
FILE *platformCreateNewFile(const char *path, bool &exists, std::string &reason);
// "" when only the open file's owner may change it; else why not, with what to do: its group
// or others may write it. On Windows "" always: a file's rights there are an ACL, not read here.
std::string platformOthersMayWrite(FILE *file, const std::string &path);
// The environment variable name's value ("" when unset), taken out of the environment: no
// process started after this gets it, and no other process of the user reads it in this one's
// environment (Linux's /proc/PID/environ shows the block the process started with).
std::string platformTakeEnvironment(const char *name);
// "" when path does not exist or is a regular file; else why a file cannot take its place
// ("it is a directory").
std::string platformNotARegularFile(const char *path);
// Opens path to append to, created if missing: a regular file only, never through a link and
// without waiting (a FIFO or a device is refused, not opened). Null with reason set.
FILE *platformOpenToAppend(const char *path, std::string &reason);
// Opens path to read, on the same terms: an existing regular file only.
FILE *platformOpenToRead(const char *path, std::string &reason);
// Where the bytes of an open file that the file system keeps begin, at or after offset: past a
// hole of a sparse file (zeros never written, read as zeros), size when only a hole follows;
// offset itself where there is no hole or the system does not say.
unsigned long long platformDataFrom(FILE *file, unsigned long long offset, unsigned long long size);

#endif
