#ifndef STATIONRESTART_H_
#define STATIONRESTART_H_

// What a station that did not end (killed, a power cut) left in its folder: its runs went on,
// ended and wrote their records, which no journal line names, and the units still attached to
// its ports. The station that starts on the folder next journals each run as its records say,
// marked as found after a restart, and waits for each unit still attached to go.

#include "station/StationPort.h"

#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// What the folder said when this station started, before it wrote anything there.
struct StationBefore {
    bool journalFound = false; // journal.jsonl was there (not moved away)
    // As its station-state.json says: that station's runs it had not journaled (under way, their
    // line kept in memory, or left to it by the station before it), their logs' names. Every
    // other run of the folder was journaled, in this journal or in one moved away since. None:
    // no state said.
    std::optional<std::set<std::string>> unjournaled;
    std::string host; // the host that station ran on, as its state says ("": not known)
    // By port path: the unit it left attached, to be watched until it has gone (its known
    // versions, rate, kind and how it ended); from its state file, else from the journal's last
    // line on each port.
    std::map<std::string, StationPort> attached;
};
StationBefore stationBefore(const std::string &dir);

// A port whose unit the station before left attached waits for that unit to go (once).
void stationResume(StationBefore &before, StationPort &port);

// The logs' names of the runs in dir that this station has not journaled yet: those under way,
// those whose journal line waits in memory, and those the station before left that this one
// has not journaled (recorded: the files of every unit it journaled or keeps to). What the
// station after this one takes over, should this one not end.
std::vector<std::string> stationUnjournaled(const std::string &dir, const std::map<size_t, StationPort> &ports,
                                            const std::deque<std::string> &kept, const StationBefore &before,
                                            const std::set<std::string> &recorded);

// The units whose log lies directly in dir, named by no line of dir/journal.jsonl nor in `ours`
// (the files of this station's own runs) and, where the station before left a state, among its
// unjournaled runs (none when it left neither a journal nor such a state), as their records say:
// from the report, or from the log ("ended without a report", its last phase, or the outcome
// and exit status of its outcome line) when there is no report it can use. A log without a
// report and without its outcome line may be a run still going: it is taken only with
// logsAlone. A run that found no unit goes to attempts/ instead.
std::vector<StationPort> unitsLeftBehind(const std::string &dir, const std::set<std::string> &ours,
                                         const StationBefore &before, bool logsAlone);

#endif
