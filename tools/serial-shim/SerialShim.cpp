// serial-shim: an LD_PRELOAD library for tests and benchmarks that makes chosen serial ports
// misbehave as some drivers do, without hardware:
//   FWUPGRADE_SHIM_SLOW_OPEN=PATH:MS   every open of PATH takes MS milliseconds first
//   FWUPGRADE_SHIM_REFUSE=PATH:RATE    the driver of PATH refuses RATE baud (tcsetattr fails)
// Each variable may name several ports, separated by commas.
#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Rule {
    std::string path;
    long value;
};

std::vector<Rule> rules(const char *variable) {
    std::vector<Rule> list;
    const char *text = std::getenv(variable);
    std::string all = text ? text : "";
    for (size_t start = 0; start < all.size();) {
        size_t comma = all.find(',', start);
        if (comma == std::string::npos) comma = all.size();
        const std::string item = all.substr(start, comma - start);
        const size_t colon = item.rfind(':');
        if (colon != std::string::npos) list.push_back({item.substr(0, colon), std::atol(item.c_str() + colon + 1)});
        start = comma + 1;
    }
    return list;
}

std::mutex gLock;
std::vector<std::pair<int, std::string>> gOpen; // descriptors of the ports named, with their path

long speedRate(speed_t speed) {
    static const std::pair<speed_t, long> rates[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},
                                                     {B9600, 9600},   {B19200, 19200}, {B38400, 38400},
                                                     {B57600, 57600}, {B115200, 115200}};
    for (const auto &[s, rate] : rates)
        if (s == speed) return rate;
    return 0;
}

int openPort(const char *name, const char *path, int flags, mode_t mode) {
    for (const Rule &rule : rules("FWUPGRADE_SHIM_SLOW_OPEN"))
        if (rule.path == path) usleep((useconds_t)rule.value * 1000);
    using Open = int (*)(const char *, int, ...);
    static Open real = (Open)dlsym(RTLD_NEXT, name);
    const int fd = real(path, flags, mode);
    if (fd >= 0) {
        std::lock_guard<std::mutex> guard(gLock);
        for (auto &entry : gOpen)
            if (entry.first == fd) entry.second.clear();
        gOpen.emplace_back(fd, path);
    }
    return fd;
}

} // namespace

extern "C" {

// (64-bit glibc: open64 is the same call, and the program calls open.)
int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(args, int) : 0;
    va_end(args);
    return openPort("open", path, flags, mode);
}

int tcsetattr(int fd, int when, const struct termios *t) {
    std::string path;
    {
        std::lock_guard<std::mutex> guard(gLock);
        for (const auto &entry : gOpen)
            if (entry.first == fd) path = entry.second;
    }
    for (const Rule &rule : rules("FWUPGRADE_SHIM_REFUSE"))
        if (!path.empty() && rule.path == path && rule.value == speedRate(cfgetospeed(t))) {
            errno = EINVAL;
            return -1;
        }
    using Set = int (*)(int, int, const struct termios *);
    static Set real = (Set)dlsym(RTLD_NEXT, "tcsetattr");
    return real(fd, when, t);
}
}
