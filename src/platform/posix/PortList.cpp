// The machine's serial ports, in the order COM numbers count them.
#include "platform/PortList.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

std::vector<std::string> gOverride;
bool gHasOverride = false;

std::string readLine(const std::string &path) {
    std::ifstream f(path);
    std::string s;
    std::getline(f, s);
    return s;
}

// "ttyUSB10" after "ttyUSB9": compare by prefix, then by number.
bool naturalLess(const std::string &a, const std::string &b) {
    size_t ia = a.find_first_of("0123456789"), ib = b.find_first_of("0123456789");
    std::string pa = a.substr(0, ia), pb = b.substr(0, ib);
    if (pa != pb) return pa < pb;
    long na = ia == std::string::npos ? -1 : std::atol(a.c_str() + ia);
    long nb = ib == std::string::npos ? -1 : std::atol(b.c_str() + ib);
    return na != nb ? na < nb : a < b;
}

std::vector<std::string> devNames(const std::string &prefix) {
    std::vector<std::string> names;
    if (DIR *d = opendir("/dev")) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind(prefix, 0) == 0 && n.size() > prefix.size()) names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end(), naturalLess);
    return names;
}

#ifdef __linux__
// A ttyS node without a UART opens but fails every transfer.
bool uartPresent(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    serial_struct ss{};
    bool ok = ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type != PORT_UNKNOWN;
    close(fd);
    return ok;
}

std::string usbDescription(const std::string &name) {
    char resolved[PATH_MAX];
    std::string dev = "/sys/class/tty/" + name + "/device";
    if (!realpath(dev.c_str(), resolved)) return "";
    std::string dir = resolved;
    for (int up = 0; up < 6 && dir.size() > 1; ++up) {
        std::string vid = readLine(dir + "/idVendor");
        if (!vid.empty()) {
            std::string text = "USB " + vid + ":" + readLine(dir + "/idProduct");
            std::string maker = readLine(dir + "/manufacturer"), product = readLine(dir + "/product");
            if (!maker.empty()) text += " " + maker;
            if (!product.empty()) text += " " + product;
            return text;
        }
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    return "";
}
#endif

} // namespace

std::vector<PortInfo> PortList_machinePorts() {
    std::vector<PortInfo> ports;
#ifdef __APPLE__
    for (const std::string &n : devNames("cu.")) ports.push_back({"/dev/" + n, ""});
#else
    for (const char *prefix : {"ttyUSB", "ttyACM"})
        for (const std::string &n : devNames(prefix)) ports.push_back({"/dev/" + n, usbDescription(n)});
    for (const std::string &n : devNames("ttyS"))
        if (uartPresent("/dev/" + n)) ports.push_back({"/dev/" + n, "on-board UART"});
#endif
    return ports;
}

void PortList_setOverride(const std::vector<std::string> &paths) {
    gOverride = paths;
    gHasOverride = true;
}

std::string PortList_pathOf(int nId) {
    if (gHasOverride) return (nId >= 1 && nId <= (int)gOverride.size()) ? gOverride[nId - 1] : "";
    static const std::vector<PortInfo> machine = PortList_machinePorts();
    return (nId >= 1 && nId <= (int)machine.size()) ? machine[nId - 1].path : "";
}
