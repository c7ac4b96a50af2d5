#ifndef SERVEMETRICS_H_
#define SERVEMETRICS_H_

#include "serve/ServeFolder.h"

#include <string>
#include <vector>

// The folders' state in Prometheus' text format (version 0.0.4): units handled by outcome
// (counters, from each journal), ports by state (gauges), update durations (a histogram) and
// an info metric with the program's and the firmware's versions. Each series is labelled with
// its folder. records: per folder, how far the plant's database is behind its journal when this
// process follows it (null: as the folder's state file says, when it says).
std::string serveMetrics(const std::vector<ServeFolder *> &folders, const std::vector<StateJson> &records = {});
// A label value as the format wants it: backslash, double quote and line feed escaped.
std::string serveMetricLabel(const std::string &value);

#endif
