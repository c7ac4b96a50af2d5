#ifndef PARALLEL_H_
#define PARALLEL_H_

#include "fleet/ChildRun.h"

#include <string>
#include <vector>

struct Options;

// Several units at once: one child run of this program per port (the single-unit run with
// --port P --as-com N --events --log --report --verify --no-pause), read through its events,
// shown live, its report gathered into one. Returns the exit status of the whole run.
int runParallel(const Options &options);

// The exit status of a parallel run and its totals in words. named: the ports were named by the
// operator (a port there that cannot be used was meant to carry a unit).
int parallelStatus(const std::vector<ChildRun> &ports, bool named, bool stopped, std::string &totals);

#endif
