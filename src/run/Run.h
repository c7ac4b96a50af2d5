#ifndef RUN_H_
#define RUN_H_

// One run with a unit: the way to its port (detection, options or operator), the update or
// the identification, the outcome, and the clean stop on a signal.

#include "platform/Platform.h"

#include <string>
#include <vector>

struct Options;

// The run with a unit, each ending through the closing message and the record and returning
// the exit status: the settings of both from the command line; the update; the identification
// (--info).
void beginRun(const Options &options);
int runUpdate(const Options &options);
int runInfo(const Options &options);
// A signal's stop: port closed and given back, what was cut short said, exit 130; once the
// outcome is known (runOutcomeKnown), only the closing wait is cut short and the run keeps it.
// It ends the process where the stop is seen, deep inside a transfer or a wait.
[[noreturn]] void stopRun(int signal);

// The outcome of ports that would not open, from their errors (GetLastError): "busy" when
// another program held one, "no such port" when none exists, "no permission" when the user may
// not open one (POSIX), else "port unavailable".
const char *unopenedOutcome(const std::vector<DWORD> &errors);
#endif
