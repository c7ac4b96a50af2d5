#ifndef STATIONFOLDER_H_
#define STATIONFOLDER_H_

// The station's folder: held by one station at a time (station.lock), and what the station keeps
// there beside its journal and its live state.

#include "station/StationPort.h"

#include <string>

// The lock that keeps a second station out of dir.
std::string stationLockOf(const std::string &dir);
// Holds dir for this station (`me`: what its lock says of it): true while its lock is still
// this station's, or once it is again after the folder was removed and made again (before
// anything is recorded there). False, with why, when another station holds it by then.
bool stationHoldFolder(const std::string &dir, const std::string &me, std::string &why);
// An update run that found no unit on its port leaves no unit's record: its log and report go
// aside to dir/attempts, each under a name of its own, which keeps the newest hundred of them
// (a log and its report each), so that a slot that keeps failing leaves evidence without
// filling the folder.
void stationKeepAttempt(const std::string &dir, const StationPort &port);

#endif
