#ifndef DETECTION_H_
#define DETECTION_H_

#include "platform/Platform.h"

#include <vector>

extern int gComPortNumber; // the port in use, as detected or entered
extern int gBaudRate;      // its rate, restored after streaming
extern std::vector<int> gDetectionPorts;  // COM numbers detection tries, in order
extern std::vector<int> gDetectionProbed; // those of them that existed and were probed
// Those that could not be opened, each with the system's error (GetLastError).
extern std::vector<std::pair<int, DWORD>> gDetectionUnopened;

// TRUE: a unit answered the probe; port gComPortNumber left open at gBaudRate.
BOOL detectComPortAndBaudrate();
// Before the run ends: every probe's thread joined, its port given back (one that the driver
// holds past a bound is left to end by itself; it touches nothing of the run's). True when none
// is left.
bool detectionEnded();

#endif
