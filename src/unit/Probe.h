#ifndef PROBE_H_
#define PROBE_H_

#include "unit/ComPortAPI.h"

#include <functional>

// The detection probe, and the sweep of the product's rates that detection, the check after a
// reboot and a station's presence runs make.

// True when the unit answers the detection probe on port (the run's: ComPortAPI_port()), sent a
// second time when the first gets no answer: what came at the rate before may spoil the first.
// buffer: DATA_BUFFER_SIZE bytes (the run's: gDataBuffer). *heard, when given, is set when bytes
// came that were no answer.
bool probeAnswers(ComPort &port, char *buffer, bool *heard = nullptr);
// Each rate in the product's order but skip (0: every one), until answers(rate) holds: that
// rate, or 0 when none did.
int firstRateAnswering(int skip, const std::function<bool(int rate)> &answers);
// Why a port was not probed, in detection's words, from the error its open left (GetLastError):
// "no such port", "in use", "no permission" or "cannot be opened".
const char *probeUnopened(DWORD error);

#endif
