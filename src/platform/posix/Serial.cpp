// kernel32 serial calls on termios, for the one port the program holds at a time.
#include "platform/Platform.h"
#include "platform/PortList.h"

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
#include <time.h>
#include <unistd.h>

bool posixSetCustomBaud(int fd, unsigned baud); // SerialBaud.cpp
unsigned posixGetBaud(int fd);

namespace {

struct PosixPort {
    int fd;
    termios saved;
    DWORD readTimeoutMs;
};

PosixPort *portOf(HANDLE h) {
    return (h == nullptr || h == INVALID_HANDLE_VALUE) ? nullptr : static_cast<PosixPort *>(h);
}

std::string devicePath(const char *name) {
    static const char prefix[] = "\\\\.\\COM";
    if (std::strncmp(name, prefix, sizeof prefix - 1) == 0) {
        char *end = nullptr;
        long n = std::strtol(name + sizeof prefix - 1, &end, 10);
        if (end == name + sizeof prefix - 1 || *end != '\0' || n < 1 || n > 1000000) return "";
        return PortList_pathOf(static_cast<int>(n));
    }
    return name;
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

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

HANDLE CreateFileA(const char *name, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
    std::string path = devicePath(name);
    if (path.empty()) return INVALID_HANDLE_VALUE;
    // Non-blocking so a modem device never hangs the open waiting for carrier.
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    // Share mode 0: flock keeps out every other open (root too); TIOCEXCL keeps out
    // programs that do not use flock (the kernel lets root past it).
    termios saved{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &saved) != 0 ||
        ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return new PosixPort{fd, saved, 0};
}

BOOL SetupComm(HANDLE h, DWORD, DWORD) { return portOf(h) ? TRUE : FALSE; }

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS *cto) {
    PosixPort *p = portOf(h);
    if (!p) return FALSE;
    p->readTimeoutMs = cto->ReadTotalTimeoutConstant;
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
    if (!p || !read) return FALSE;
    // One deadline for the whole request, as the total time-out ends a Windows read.
    const long long deadline = nowMs() + p->readTimeoutMs;
    char *out = static_cast<char *>(buffer);
    while (*read < count) {
        long long left = deadline - nowMs();
        if (left < 0) left = 0;
        pollfd pfd{p->fd, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left));
        if (r < 0) {
            if (errno == EINTR) continue;
            return FALSE;
        }
        if (r == 0) break; // time-out: TRUE with what arrived
        if (pfd.revents & POLLIN) {
            ssize_t n = ::read(p->fd, out + *read, count - *read);
            if (n > 0) {
                *read += static_cast<DWORD>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            return FALSE; // readable but nothing, or EIO: the line hung up
        }
        return FALSE; // POLLHUP / POLLERR / POLLNVAL
    }
    return TRUE;
}

BOOL WriteFile(HANDLE h, const void *buffer, DWORD count, DWORD *written, void *) {
    if (written) *written = 0;
    PosixPort *p = portOf(h);
    if (!p || !written) return FALSE;
    const char *in = static_cast<const char *>(buffer);
    while (*written < count) {
        ssize_t n = ::write(p->fd, in + *written, count - *written);
        if (n > 0) {
            *written += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return FALSE;
        // Writes have no time-out: under CTS flow control the unit decides when.
        pollfd pfd{p->fd, POLLOUT, 0};
        int r = poll(&pfd, 1, -1);
        if (r < 0 && errno != EINTR) return FALSE;
        if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(pfd.revents & POLLOUT))
            return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE h) {
    PosixPort *p = portOf(h);
    if (!p) return FALSE;
    tcsetattr(p->fd, TCSANOW, &p->saved);
    int r = close(p->fd);
    delete p;
    return r == 0 ? TRUE : FALSE;
}

void Sleep(DWORD ms) {
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}
