#include "PtyPeer.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
    path = ptsname(master);
    int slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    close(slave);
    reader = std::thread([this] {
        char buffer[65536];
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard<std::mutex> g(lock);
                data.append(buffer, (size_t)n);
            }
        }
    });
}

PtyPeer::~PtyPeer() {
    stop = true;
    reader.join();
    if (master >= 0) close(master);
}

std::string PtyPeer::received() {
    std::lock_guard<std::mutex> g(lock);
    return data;
}

bool PtyPeer::waitFor(size_t count, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (received().size() >= count) return true;
        usleep(5000);
    }
    return received().size() >= count;
}

void PtyPeer::send(const std::string &bytes) {
    size_t off = 0;
    for (int idle = 0; off < bytes.size() && idle < 2000; ++idle) { // gives up after ~2 s of a full line
        ssize_t n = write(master, bytes.data() + off, bytes.size() - off);
        if (n > 0) {
            off += (size_t)n;
            idle = 0;
        } else {
            usleep(1000);
        }
    }
}

unsigned PtyPeer::baud() const {
    termios t{};
    tcgetattr(master, &t);
    switch (cfgetospeed(&t)) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

bool PtyPeer::cts() const {
    termios t{};
    tcgetattr(master, &t);
    return (t.c_cflag & CRTSCTS) != 0;
}

void PtyPeer::hangUp() {
    stop = true;
    reader.join();
    close(master);
    master = -1;
    stop = false;
    reader = std::thread([] {});
}
