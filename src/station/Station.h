#ifndef STATION_H_
#define STATION_H_

// The station (--station): it runs until stopped, watches ports, updates each unit
// plugged into one of them once, and waits until that unit has gone before it takes the next.
// It keeps one small state per port, decides, draws and records; its children (presence runs
// and update runs of this program) are the ones that talk to the ports.

struct Options;

// Returns the exit status: 0 when no unit failed, 1 when one did (or a record could not be
// written), 3 when none failed but one was not confirmed, 130 when a second stop cut units.
int runStation(const Options &options);

#endif
