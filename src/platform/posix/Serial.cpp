// kernel32 serial calls on termios, each on the port its handle names: the run's port, and during
// detection every candidate's at once, each on its own thread.
#include "platform/Platform.h"
#include "platform/PortList.h"
#include "platform/PortName.h"
#include "platform/posix/Stop.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

bool posixSetCustomBaud(int fd, unsigned baud); // SerialBaud.cpp
unsigned posixGetBaud(int fd);

namespace {

struct PosixPort {
    int fd;
    termios saved;
    DWORD readTimeoutMs;
    DWORD writeTimeoutMs;
    bool stalled; // the last write timed out: what it left queued is dropped at close, never waited for
};

thread_local DWORD gLastError = 0; // per thread, as Windows keeps it

BOOL failWith(int error) {
    gLastError = (DWORD)error;
    return FALSE;
}

PosixPort *portOf(HANDLE h) {
    return (h == nullptr || h == INVALID_HANDLE_VALUE) ? nullptr : static_cast<PosixPort *>(h);
}

std::string devicePath(const char *name) {
    int n = 0;
    switch (parseComName(name, n)) {
    case COM_NAME_VALID: return PortList_pathOf(n);
    case COM_NAME_INVALID: return "";
    default: return name;
    }
}

speed_t standardSpeed(DWORD baud) {
    switch (baud) {
    case 50: return B50; case 75: return B75; case 110: return B110; case 134: return B134;
    case 150: return B150; case 200: return B200; case 300: return B300; case 600: return B600;
    case 1200: return B1200; case 1800: return B1800; case 2400: return B2400;
    case 4800: return B4800; case 9600: return B9600; case 19200: return B19200;
    case 38400: return B38400; case 57600: return B57600; case 115200: return B115200;
    case 230400: return B230400;
#ifdef B460800
    case 460800: return B460800; case 921600: return B921600;
#endif
    default: return B0;
    }
}

} // namespace

HANDLE CreateFileA(const char *name, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
    std::string path = devicePath(name);
    if (path.empty()) {
        gLastError = ENOENT;
        return INVALID_HANDLE_VALUE;
    }
    // Non-blocking so a modem device never hangs the open waiting for carrier.
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        gLastError = (DWORD)errno;
        return INVALID_HANDLE_VALUE;
    }
    // Share mode 0: flock keeps out every other open (root too); TIOCEXCL keeps out
    // programs that do not use flock (the kernel lets root past it). TIOCEXCL stays on the
    // device after close unless cleared (CloseHandle does), which would lock out every later
    // open but root's. Set last: a failure before it leaves another holder's TIOCEXCL alone.
    termios saved{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &saved) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        gLastError = (DWORD)errno;
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return new PosixPort{fd, saved, 0, 0, false};
}

BOOL SetupComm(HANDLE h, DWORD, DWORD) { return portOf(h) ? TRUE : FALSE; }

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS *cto) {
    PosixPort *p = portOf(h);
    if (!p) return FALSE;
    p->readTimeoutMs = cto->ReadTotalTimeoutConstant;
    p->writeTimeoutMs = cto->WriteTotalTimeoutConstant;
    return TRUE;
}

BOOL SetCommState(HANDLE h, const DCB *dcb) {
    PosixPort *p = portOf(h);
    if (!p || dcb->BaudRate == 0) return FALSE; // rate 0 would mean "hang up" to termios
    termios t{};
    if (tcgetattr(p->fd, &t) != 0) return FALSE;
    cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
    if (dcb->fOutxCtsFlow) t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = standardSpeed(dcb->BaudRate);
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    if (tcsetattr(p->fd, TCSANOW, &t) != 0) return FALSE;
    if (speed == B0 && !posixSetCustomBaud(p->fd, dcb->BaudRate)) return FALSE;
    // Read back: a driver may silently keep another rate or drop the handshake.
    termios back{};
    if (tcgetattr(p->fd, &back) != 0) return FALSE;
    if (posixGetBaud(p->fd) != dcb->BaudRate) return FALSE;
    if (((back.c_cflag & CRTSCTS) != 0) != (dcb->fOutxCtsFlow != 0)) return FALSE;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(p->fd, TIOCMBIS, &lines); // a pty has no modem lines: ENOTTY/EINVAL are fine
    return TRUE;
}

BOOL GetCommState(HANDLE h, DCB *dcb) {
    PosixPort *p = portOf(h);
    termios t{};
    if (!p || tcgetattr(p->fd, &t) != 0) return failWith(p ? errno : EBADF);
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = posixGetBaud(p->fd);
    dcb->fBinary = 1;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    dcb->ByteSize = 8;
    return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD) {
    PosixPort *p = portOf(h);
    return (p && tcflush(p->fd, TCIOFLUSH) == 0) ? TRUE : FALSE;
}

BOOL EscapeCommFunction(HANDLE h, DWORD func) {
    PosixPort *p = portOf(h);
    if (!p || func != SETDTR) return FALSE;
    int dtr = TIOCM_DTR;
    return ioctl(p->fd, TIOCMBIS, &dtr) == 0 ? TRUE : FALSE;
}

BOOL ReadFile(HANDLE h, void *buffer, DWORD count, DWORD *read, void *) {
    if (read) *read = 0;
    PosixPort *p = portOf(h);
    if (!p || !read) return failWith(EBADF);
    // One deadline for the whole request, as the total time-out ends a Windows read.
    const long long deadline = posixNowMs() + p->readTimeoutMs;
    char *out = static_cast<char *>(buffer);
    while (*read < count) {
        short revents = 0;
        int r = posixPoll(p->fd, POLLIN, (int)std::max(0LL, deadline - posixNowMs()), revents);
        if (r < 0) return failWith(errno);
        if (r == 0) break; // time-out or stop: TRUE with what arrived
        if (revents & POLLIN) {
            ssize_t n = ::read(p->fd, out + *read, count - *read);
            if (n > 0) {
                *read += static_cast<DWORD>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            return failWith(n < 0 ? errno : EIO); // readable but nothing, or EIO: the line hung up
        }
        return failWith(EIO); // POLLHUP / POLLERR / POLLNVAL
    }
    return TRUE;
}

BOOL WriteFile(HANDLE h, const void *buffer, DWORD count, DWORD *written, void *) {
    if (written) *written = 0;
    PosixPort *p = portOf(h);
    if (!p || !written) return failWith(EBADF);
    const char *in = static_cast<const char *>(buffer);
    // The bound runs from the last byte the port took: under CTS flow control the unit may
    // pause the line (while it erases flash); the caller decides when a pause is a stall.
    long long deadline = posixNowMs() + p->writeTimeoutMs;
    p->stalled = false;
    while (*written < count) {
        ssize_t n = ::write(p->fd, in + *written, count - *written);
        if (n > 0) {
            *written += static_cast<DWORD>(n);
            deadline = posixNowMs() + p->writeTimeoutMs;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return failWith(errno);
        const int left = p->writeTimeoutMs == 0 ? -1 : (int)std::max(0LL, deadline - posixNowMs());
        short revents = 0;
        const int r = left == 0 ? 0 : posixPoll(p->fd, POLLOUT, left, revents);
        if (r < 0) return failWith(errno);
        if (r == 0) { // what was taken so far, as a Windows write time-out ends
            p->stalled = true;
            return posixStopPending() ? failWith(EINTR) : TRUE;
        }
        if ((revents & (POLLHUP | POLLERR | POLLNVAL)) && !(revents & POLLOUT)) return failWith(EIO);
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE h) {
    PosixPort *p = portOf(h);
    if (!p) return failWith(EBADF);
    // A real UART's close waits (up to 30 s) for queued output that a stalled unit never takes.
    if (p->stalled) tcflush(p->fd, TCOFLUSH);
    tcsetattr(p->fd, TCSANOW, &p->saved);
    ioctl(p->fd, TIOCNXCL);
    int r = close(p->fd);
    delete p;
    return r == 0 ? TRUE : FALSE;
}

void Sleep(DWORD ms) {
    short revents = 0;
    posixPoll(-1, 0, (int)ms, revents); // no descriptor: only the time, or a stop
}

DWORD GetLastError() { return gLastError; }
