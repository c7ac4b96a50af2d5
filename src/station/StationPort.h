#ifndef STATIONPORT_H_
#define STATIONPORT_H_

// A port the station watches: its state, the runs on it, and both in words.

#include "fleet/ChildRun.h"
#include "station/PortState.h"

#include <chrono>
#include <cstddef>
#include <string>

// One watched port.
struct StationPort {
    std::string name;  // as named in --ports, or the machine's path
    bool named = true; // named: kept while absent; else dropped when it goes
    std::string path;  // device path (POSIX) or COMn (Windows), as the children open it
    int com = 0;       // the COM number its runs go by
    std::string label; // the operator's label ("A1"), else "COM3 /dev/ttyUSB0"
    std::string given; // the operator's label, or ""
    std::string problem; // why no unit is taken here now ("not recording: the disk is full")
    PortState state = STATE_NO_PORT;
    std::chrono::steady_clock::time_point since, retryAt;
    int baud = 0;      // the unit's rate, as its detection found it
    std::string known; // the finished unit's versions ("1.0.3 1.03"): another one is a new unit
    ChildRun unit;  // the unit being updated (or the last one), as its run's events describe it
    ChildRun probe; // the presence run now on the port
    bool awaitingRemoval = false; // a unit was handled here: nothing more until it has gone
    std::string unitStarted, log, report; // the unit's start (ISO 8601) and its record's files
    std::string serial; // the serial number scanned for the unit now on the port, or ""
    std::string serialSlot; // the slot its scan chose, or ""
    std::string serialLastUpdated; // when that serial number was last journaled here, or ""
    std::string last;  // how the last unit on this port ended
    std::string sameAs; // the label of the port watched for this one (the same device named twice)
    bool lent = false;        // quiet for another port's line check: nothing starts on it until the check ends
    bool unitWaiting = false; // a unit answered: its update waits for the line check under way
    size_t lineOwner = 0;     // STATE_WIRING: the slot of the port whose unit's line it reaches
    bool dropped = false;
    bool foundAfterRestart = false; // its unit's records were left by a station that did not end
    // Such a unit's release carried and host, as its records and that station's state say ("":
    // not known); every other unit's are this station's.
    std::string carriedBefore, hostBefore;
};

// Whether the port's unit is there: being updated, or handled and not gone yet (its row shows it).
inline bool portHasUnit(const StationPort &port) {
    return port.state == STATE_WORKING || port.state == STATE_REMOVE || port.awaitingRemoval;
}
// The state of a watched port in words ("waiting for a unit", "FPGA image 45 %").
std::string portStateText(const StationPort &port);
// The port in a file name, without the separators no file system takes: "port-ttyUSB0",
// "port-serial-by-path-pci-0000-00-14.0-usb-0-2-1.0-port0", "port-COM3"; a path too long for a
// file name keeps its first 100 bytes and a hash of the whole ("port-...-1c9f07e2").
std::string portFileTag(const StationPort &port);
// The unit on the port in words, for the lines that name units: "A1 (TX 1.0.3 1.03, 17:58:32)".
std::string unitName(const StationPort &port);

#endif
