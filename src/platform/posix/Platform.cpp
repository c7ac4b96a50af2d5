// Console, files and memory on POSIX: what Platform.h promises beyond the serial calls.
#include "platform/Platform.h"
#include "platform/posix/Stop.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

extern char **environ;

void platformConsoleInit() { setvbuf(stdout, nullptr, _IONBF, 0); }

bool platformStdinIsInteractive() { return isatty(STDIN_FILENO) == 1; }

bool platformConsoleTakesCursorMoves() {
    const char *term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) == 1 && term != nullptr && std::strcmp(term, "dumb") != 0;
}

// One byte of stdin, waiting for it or a stop. 1, 0 at its end, -1 when a stop came.
static int readByte(unsigned char &c) {
    for (;;) {
        short revents = 0;
        if (posixPoll(STDIN_FILENO, POLLIN, -1, revents) <= 0) return -1;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n >= 0) return (int)n;
        if (errno != EINTR && errno != EAGAIN) return 0;
    }
}

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
    const int got = readByte(c);
    if (tty) tcsetattr(STDIN_FILENO, TCSANOW, &old); // never leave the terminal without echo
    platformStopCheck();
    return got == 1 ? c : -1;
}

bool platformReadLine(std::string &line) {
    line.clear();
    unsigned char c = 0;
    int got = 0;
    while ((got = readByte(c)) == 1 && c != '\n')
        if (line.size() < 255) line += (char)c;
    platformStopCheck();
    return got == 1 || !line.empty();
}

namespace {
termios gKeysSaved{};
bool gKeysTaken = false;
// Set by SIGCONT: after Ctrl-Z and fg the shell has left the console in its own settings.
std::atomic<bool> gContinued{false};

void onContinue(int) { gContinued = true; }

bool applyKeys() {
    termios keys = gKeysSaved;
    keys.c_lflag &= ~(ICANON | ECHO); // Ctrl-C stays a signal
    keys.c_iflag &= ~IXON; // Ctrl-S typed would stop the view's output
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    return tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
}
} // namespace

// A background job's reads and mode changes stop it (SIGTTIN, SIGTTOU): no keys there. A job
// can go to the background and back at any time (Ctrl-Z, bg, fg).
static bool inForeground() { return isatty(STDIN_FILENO) == 1 && tcgetpgrp(STDIN_FILENO) == getpgrp(); }

bool platformKeysBegin() {
    if (!inForeground() || tcgetattr(STDIN_FILENO, &gKeysSaved) != 0 || !applyKeys()) return false;
    if (!gKeysTaken) {
        std::atexit(platformKeysEnd);
        struct sigaction action {};
        action.sa_handler = onContinue;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGCONT, &action, nullptr);
    }
    gKeysTaken = true;
    return true;
}

std::string platformKeysTyped() {
    // Back in the foreground after a stop: the console is set for the keys again (clearing IXON
    // also starts output a Ctrl-S stopped meanwhile). Kept while in the background, where a
    // change of mode would stop the station.
    if (gKeysTaken && gContinued && inForeground()) {
        gContinued = false;
        applyKeys();
    }
    std::string typed;
    char buffer[256];
    short revents = 0;
    // Bounded: a stuck key cannot keep the caller here.
    for (int reads = 0; gKeysTaken && inForeground() && reads < 16 && posixPoll(STDIN_FILENO, POLLIN, 0, revents) > 0; ++reads) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) break;
        typed.append(buffer, (size_t)n);
    }
    return typed;
}

void platformKeysEnd() {
    // In the background the console is the shell's, in the shell's settings: left as it is.
    if (gKeysTaken && inForeground()) tcsetattr(STDIN_FILENO, TCSANOW, &gKeysSaved);
}

std::string platformErrorText(DWORD error) { return std::strerror((int)error); }

std::string platformReplaceFile(const char *from, const char *to) {
    struct stat old {};
    if (lstat(to, &old) == 0 && S_ISREG(old.st_mode)) chmod(from, old.st_mode & 07777); // a private file stays private
    return std::rename(from, to) == 0 ? "" : std::strerror(errno);
}

// A rename or a new file is on disk only once its folder is: fsync of the folder itself.
std::string platformSyncFolder(const std::string &folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    const bool synced = fsync(fd) == 0 || errno == EINVAL; // a file system that cannot sync folders
    const int error = errno;
    close(fd);
    return synced ? "" : std::strerror(error);
}

std::string platformTruncateFile(FILE *file, long long size) {
    return ftruncate(fileno(file), (off_t)size) == 0 ? "" : std::strerror(errno);
}

bool platformStillNamed(FILE *file, const std::string &path) {
    struct stat open {}, named {};
    return fstat(fileno(file), &open) == 0 && stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

std::string platformSyncFile(FILE *file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0 ? "" : std::strerror(errno);
}

FILE *platformCreateNewFile(const char *path, bool &exists, std::string &reason) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    exists = fd < 0 && errno == EEXIST;
    if (fd < 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    FILE *file = fdopen(fd, "wb");
    if (file == nullptr) {
        reason = std::strerror(errno);
        close(fd);
        unlink(path);
    }
    return file;
}

// Opens path as a regular file only: never through a link and without waiting (a FIFO or a
// device is refused, not opened). Null with reason set.
static FILE *openRegular(const char *path, int flags, const char *mode, std::string &reason) {
    reason = platformNotARegularFile(path); // what it is, said plainly; the open below checks again
    if (!reason.empty()) return nullptr;
    const int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat s {};
    if (fd < 0 || fstat(fd, &s) != 0 || !S_ISREG(s.st_mode)) {
        reason = fd < 0 ? (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno))
                        : "it is not a regular file";
        if (fd >= 0) close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, flags & (O_APPEND | O_ACCMODE)); // a regular file: blocking from here on
    FILE *file = fdopen(fd, mode);
    if (file == nullptr) {
        reason = std::strerror(errno);
        close(fd);
    }
    return file;
}

FILE *platformOpenToAppend(const char *path, std::string &reason) {
    return openRegular(path, O_WRONLY | O_APPEND | O_CREAT, "ab", reason);
}

FILE *platformOpenToRead(const char *path, std::string &reason) {
    FILE *file = openRegular(path, O_RDONLY, "rb", reason);
    if (file == nullptr && reason.empty()) reason = "it does not exist";
    return file;
}

unsigned long long platformDataFrom(FILE *file, unsigned long long offset, unsigned long long size) {
    const off_t data = lseek(fileno(file), (off_t)offset, SEEK_DATA);
    if (data >= 0) return std::max((unsigned long long)data, offset);
    return errno == ENXIO ? std::max(size, offset) : offset; // ENXIO: nothing but a hole to the end
}

int platformConsoleRows() {
    winsize size{};
    return isatty(STDOUT_FILENO) == 1 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_row : 0;
}

int platformConsoleColumns() {
    winsize size{};
    return isatty(STDOUT_FILENO) == 1 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void platformConsoleNoQuickEdit() {}

std::string platformNotARegularFile(const char *path) {
    struct stat s {};
    if (lstat(path, &s) != 0 || S_ISREG(s.st_mode)) return "";
    if (S_ISDIR(s.st_mode)) return "it is a directory";
    if (S_ISLNK(s.st_mode)) return "it is a symbolic link";
    if (S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode)) return "it is a device";
    return "it is not a regular file";
}

std::string platformOthersMayWrite(FILE *file, const std::string &path) {
    struct stat s {};
    if (fstat(fileno(file), &s) != 0) return "it cannot be looked at";
    // As ssh takes a key file: its owner is this user or root, and no one else may write it.
    if (s.st_uid != geteuid() && s.st_uid != 0)
        return "another user owns it (it must be this user's or root's: chown it, or copy it as this user)";
    if ((s.st_mode & (S_IWGRP | S_IWOTH)) == 0) return "";
    return "its group or others may write it (chmod go-w '" + path + "' makes it its owner's alone)";
}

std::string platformTakeEnvironment(const char *name) {
    const size_t length = std::strlen(name);
    std::string value;
    bool found = false;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, name, length) != 0 || (*entry)[length] != '=') continue;
        char *text = *entry + length + 1;
        if (!found) value = text; // getenv's: the first
        found = true;
        // unsetenv takes the entry out of `environ`, not its bytes out of the block the process
        // started with, which /proc/PID/environ shows: they are overwritten where they stand.
        std::memset(text, 0, std::strlen(text));
    }
    unsetenv(name);
    return value;
}

void platformLowerPriority() { (void)!nice(10); }

unsigned long platformProcessId() { return (unsigned long)getpid(); }

std::string platformHostName() {
    char name[256] = "";
    return gethostname(name, sizeof name - 1) == 0 ? name : "this machine";
}

// The files this process holds, with the descriptor that holds each.
static std::vector<std::pair<std::string, int>> gHeld;

// What the holder of fd's file wrote in it. It writes just after it takes the hold: a file still
// empty (two programs started together) is read again for a few seconds before it is called
// "another program".
static std::string heldBy(int fd) {
    char buffer[512];
    for (int tries = 0; tries < 150; ++tries, usleep(20000)) {
        const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
        std::string text(buffer, n > 0 ? (size_t)n : 0);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (!text.empty()) return text;
    }
    return "another program";
}

HoldResult platformHoldFile(const std::string &path, const std::string &text, std::string &why) {
    if (!(why = platformNotARegularFile(path.c_str())).empty()) return HOLD_FAILED; // a link, a FIFO
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat s {};
    if (fd < 0 || fstat(fd, &s) != 0 || !S_ISREG(s.st_mode) || s.st_uid != geteuid()) {
        why = fd < 0                ? std::string("it cannot be opened: ") + std::strerror(errno)
              : !S_ISREG(s.st_mode) ? "it is not a regular file"
                                    : "it belongs to another user";
        if (fd >= 0) close(fd);
        return HOLD_FAILED;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) { // released by the system when its holder ends
        why = heldBy(fd);
        close(fd);
        return HOLD_BY_ANOTHER;
    }
    if (ftruncate(fd, 0) != 0 || write(fd, text.data(), text.size()) != (ssize_t)text.size()) {
        why = std::string("it cannot be written: ") + std::strerror(errno);
        close(fd);
        return HOLD_FAILED;
    }
    const auto at = std::find_if(gHeld.begin(), gHeld.end(), [&](const auto &h) { return h.first == path; });
    if (at == gHeld.end()) {
        gHeld.emplace_back(path, fd);
    } else { // held again: the file held before is no longer named here and keeps nobody out
        close(at->second);
        at->second = fd;
    }
    return HOLD_TAKEN; // the descriptor stays open: the hold lasts as long as the process
}

bool platformStillHolding(const std::string &path) {
    struct stat open {}, named {};
    for (const auto &[held, fd] : gHeld)
        if (held == path)
            return fstat(fd, &open) == 0 && stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
                   open.st_ino == named.st_ino;
    return false;
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
