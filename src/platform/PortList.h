#ifndef PORTLIST_H_
#define PORTLIST_H_

#include <string>
#include <vector>

// The serial ports COM numbers refer to. On Windows COMn is the system's own port n.
// On POSIX COM n is entry n (from 1) of this list: the machine's serial devices in a
// stable order, unless the command line set the list.

struct PortInfo {
    std::string path;        // device path (POSIX) or COMn (Windows)
    std::string description; // what the system knows of it, may be empty
};

// The machine's serial ports that exist, in the order COM numbers count them.
std::vector<PortInfo> PortList_machinePorts();
// Device path of COM nId on POSIX ("" when there is no such entry).
std::string PortList_pathOf(int nId);
// Replaces the machine's list (POSIX): entry n becomes COM n.
void PortList_setOverride(const std::vector<std::string> &paths);

#endif
