#ifndef STATIONRESTART_H_
#define STATIONRESTART_H_

// What a station that did not end (killed, a power cut) left in its folder: its runs went on,
// ended and wrote their records, which no journal line names. The station that starts on the
// folder next journals each as its records say, marked as found after a restart.

#include "station/StationPort.h"

#include <set>
#include <string>
#include <vector>

// The units whose log lies directly in dir, named by no line of dir/journal.jsonl nor in `ours`
// (the files of this station's own runs), as their records say: from the report, or, a run
// killed before it wrote one, from its log ("ended without a report", its last phase). A log
// without a report and without its outcome line may be a run still going: it is taken only
// with logsAlone.
std::vector<StationPort> unitsLeftBehind(const std::string &dir, const std::set<std::string> &ours, bool logsAlone);

#endif
