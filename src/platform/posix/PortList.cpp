// The machine's serial ports, in the order COM numbers count them.
#include "platform/PortList.h"

#include "platform/PortName.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

// The lists below are never destroyed: a probe's thread that the driver held past the run's end
// may still name its port while the program exits.
// Ports named on the command line that the machine's list lacks; they come after it.
std::vector<std::string> &gNamedExtra = *new std::vector<std::string>;
// COM numbers given to paths from outside (a station's child takes its parent's numbering).
std::vector<std::pair<int, std::string>> &gAssigned = *new std::vector<std::pair<int, std::string>>;

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
// A ttyS node without a UART opens but fails every transfer. The UART's type is in sysfs for
// every user to read, so a port the user may not open is listed all the same: dropping it would
// renumber the ports after it. Without sysfs the port itself is asked.
bool uartPresent(const std::string &name) {
    const std::string type = readLine("/sys/class/tty/" + name + "/type");
    if (!type.empty()) return std::atoi(type.c_str()) != PORT_UNKNOWN;
    int fd = open(("/dev/" + name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EACCES || errno == EPERM;
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

std::string PortList_status(const PortInfo &port) {
    const int fd = open(port.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        switch (PortList_problem((DWORD)error)) {
        case PORT_BUSY: return "in use by another program";
        case PORT_DENIED: return std::string("no permission: ") + PortList_remedy(PORT_DENIED);
        case PORT_ABSENT: return "no such port";
        default: return std::string("cannot open: ") + std::strerror(error);
        }
    }
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return locked ? "in use by another program" : "free";
}

bool PortList_present(const std::string &path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0 && S_ISCHR(s.st_mode);
}

// The machine's ports, the on-board ones (which must be opened to be told from empty nodes)
// with onBoard alone.
static std::vector<PortInfo> listPorts(bool onBoard) {
    std::vector<PortInfo> ports;
    auto add = [&](const std::string &name, const std::string &description, bool usb) {
        ports.push_back({(int)ports.size() + 1, "/dev/" + name, description, usb});
    };
#ifdef __APPLE__
    for (const std::string &n : devNames("cu.")) add(n, "", n.find("usb") != std::string::npos);
#else
    // The ttyUSB and ttyACM drivers serve USB devices alone.
    for (const char *prefix : {"ttyUSB", "ttyACM"})
        for (const std::string &n : devNames(prefix)) add(n, usbDescription(n), true);
    for (const std::string &n : onBoard ? devNames("ttyS") : std::vector<std::string>())
        if (uartPresent(n)) add(n, "on-board UART", false);
#endif
    return ports;
}

std::vector<PortInfo> PortList_machinePorts() { return listPorts(true); }

// USB adapters come first in the machine's list: their numbers are the same there.
std::vector<PortInfo> PortList_usbPorts() {
    std::vector<PortInfo> ports = listPorts(false);
    ports.erase(std::remove_if(ports.begin(), ports.end(), [](const PortInfo &p) { return !p.usb; }), ports.end());
    return ports;
}

static const std::vector<PortInfo> &machine() {
    static const std::vector<PortInfo> *ports = new std::vector<PortInfo>(PortList_machinePorts());
    return *ports;
}

void PortList_assign(int n, const std::string &path) { gAssigned.emplace_back(n, path); }

bool PortList_sameDevice(const std::string &a, const std::string &b) {
    struct stat sa {}, sb {};
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return a == b;
    if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode)) return sa.st_rdev == sb.st_rdev;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string PortList_pathOf(int nId) {
    for (const auto &[n, path] : gAssigned)
        if (n == nId) return path;
    const size_t count = machine().size();
    if (nId >= 1 && (size_t)nId <= count) return machine()[nId - 1].path;
    if (nId > 0 && (size_t)nId - count <= gNamedExtra.size()) return gNamedExtra[nId - count - 1];
    return "";
}

// The COM number of a device path: the entry of the device it leads to (one device is one
// port, however it is named), else a new entry after the list.
static int numberOfPath(const std::string &path) {
    for (const auto &[n, assigned] : gAssigned)
        if (PortList_sameDevice(assigned, path)) return n;
    for (const PortInfo &port : machine())
        if (PortList_sameDevice(port.path, path)) return port.number;
    for (size_t i = 0; i < gNamedExtra.size(); ++i)
        if (PortList_sameDevice(gNamedExtra[i], path)) return (int)(machine().size() + i + 1);
    gNamedExtra.push_back(path);
    return (int)(machine().size() + gNamedExtra.size());
}

bool PortList_resolve(const std::vector<std::string> &names, std::vector<int> &numbers, std::string &error) {
    for (const std::string &name : names) {
        int n = 0;
        switch (parseComName(name, n)) {
        case COM_NAME_VALID: numbers.push_back(n); break;
        case COM_NAME_NONE:
            if (name.empty()) {
                error = "an empty port name";
                return false;
            }
            numbers.push_back(numberOfPath(name));
            break;
        case COM_NAME_INVALID:
            error = "'" + name + "' is not a valid port";
            return false;
        }
    }
    return true;
}

PortProblem PortList_problem(DWORD error) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return PORT_ABSENT;
    case EACCES:
    case EPERM: return PORT_DENIED;
    case EBUSY:
    case EWOULDBLOCK: return PORT_BUSY;
    default: return PORT_OTHER;
    }
}

std::string PortList_openFailure(int nId, DWORD error) {
    const std::string path = PortList_pathOf(nId);
    if (path.empty())
        return "COM" + std::to_string(nId) + " is no port of this machine: FwUpgrade --list-ports shows its ports.";
    switch (PortList_problem(error)) {
    case PORT_ABSENT: return path + ": no such port. Is the adapter plugged in? FwUpgrade --list-ports shows the ports.";
    case PORT_DENIED:
        return path + ": permission denied. Join the dialout group (sudo usermod -aG dialout $USER), log in again,"
                      " and retry.";
    case PORT_BUSY: return path + ": in use by another program. Close it (a terminal program, a modem manager)"
                                  " and retry.";
    default: return path + ": " + std::strerror((int)error) + ".";
    }
}
