// Console, files and memory on POSIX: what Platform.h promises beyond the serial calls.
#include "platform/Platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

void platformConsoleInit() { setvbuf(stdout, nullptr, _IONBF, 0); }

bool platformStdinIsInteractive() { return isatty(STDIN_FILENO) == 1; }

int platformGetch() {
    termios old{};
    bool tty = tcgetattr(STDIN_FILENO, &old) == 0;
    if (tty) {
        termios raw = old;
        raw.c_lflag &= ~(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    unsigned char c = 0;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (tty) tcsetattr(STDIN_FILENO, TCSANOW, &old);
    return n == 1 ? c : -1;
}

std::string platformReplaceFile(const char *from, const char *to) {
    return std::rename(from, to) == 0 ? "" : std::strerror(errno);
}

void *platformAllocateLarge(size_t bytes) {
    const size_t hugePage = 2 * 1024 * 1024;
    const size_t rounded = (bytes + hugePage - 1) / hugePage * hugePage;
    void *memory = std::aligned_alloc(hugePage, rounded);
#ifdef MADV_HUGEPAGE
    if (memory != nullptr) madvise(memory, rounded, MADV_HUGEPAGE); // advice only: failure is fine
#endif
    return memory;
}
