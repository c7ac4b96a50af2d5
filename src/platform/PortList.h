#ifndef PORTLIST_H_
#define PORTLIST_H_

#include "platform/Platform.h"

#include <string>
#include <vector>

// The serial ports COM numbers refer to. On Windows COMn is the system's own port n.
// On POSIX COM n is entry n (from 1) of the machine's serial devices in a stable order;
// ports named on the command line that the machine's list lacks (a pseudo-terminal) come
// after it.

struct PortInfo {
    int number;              // its COM number
    std::string path;        // device path (POSIX) or COMn (Windows)
    std::string description; // what the system knows of it, may be empty
    bool usb = false;        // a USB serial adapter (plugged in and out), not an on-board port
};

// The machine's serial ports that exist, in the order COM numbers count them.
std::vector<PortInfo> PortList_machinePorts();
// The machine's USB serial adapters, found without opening any port, numbered as above.
std::vector<PortInfo> PortList_usbPorts();
// Whether the port is there now (an adapter plugged in), told without opening it: path is a
// device path on POSIX, "COMn" on Windows.
bool PortList_present(const std::string &path);
// Whether the port can be opened now: "free", "in use by another program", or why not.
std::string PortList_status(const PortInfo &port);
// Device path of COM nId on POSIX ("" when there is no such entry); "COMn" on Windows.
std::string PortList_pathOf(int nId);
// COM numbers for port names (a number, COMn, or on POSIX a device path, which joins the
// list if the machine's list lacks it). False with error set for a name that names no port.
bool PortList_resolve(const std::vector<std::string> &names, std::vector<int> &numbers, std::string &error);
// Opens COM nId and closes it at once (the existence test): 0 when it is there and nobody holds
// it, else the system's error (GetLastError; ERROR_FILE_NOT_FOUND for a number beyond the names).
DWORD PortList_openError(int nId);
// What kept a port from opening, from the error its open left (GetLastError).
enum PortProblem { PORT_ABSENT, PORT_BUSY, PORT_DENIED, PORT_OTHER };
PortProblem PortList_problem(DWORD error);
// What the user can do about a port that stays closed until someone acts: the user may not open
// it (POSIX: EACCES, EPERM) until an administrator adds them to the dialout group. "" for the others.
inline const char *PortList_remedy(PortProblem problem) {
    return problem == PORT_DENIED ? "add the user to the dialout group" : "";
}
// Names port path COM n from now on (a station gives each child the number it shows).
void PortList_assign(int n, const std::string &path);
// Whether two names lead to the same device (a link and its target, \\.\COM3 and COM3).
bool PortList_sameDevice(const std::string &a, const std::string &b);
// Why COM nId did not open, in plain words with what to do, from the error the open left
// (GetLastError). Names the device path on POSIX.
std::string PortList_openFailure(int nId, DWORD error);

#endif
