#ifndef STATIONSHIFT_H_
#define STATIONSHIFT_H_

// A station's shift: what it holds while it runs (its ports, their runs, its records), shared by
// the loop that drives it (Station.cpp) and the records it keeps (StationRecords.cpp).

#include "base/Clock.h"
#include "fleet/Children.h"
#include "plant/PlantFollower.h"
#include "run/Options.h"
#include "station/StationJournal.h"
#include "station/StationRestart.h"
#include "station/StationScans.h"
#include "station/StationServer.h"
#include "station/StationState.h"
#include "station/StationTotals.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

enum Stage { STAGE_RUNNING, STAGE_DRAINING, STAGE_STOPPING };

// The line check under way (one at a time): the port whose update asks its unit alone first, and
// the ports lent to it, quiet until it has told which of them reach the unit's line.
struct StationLineCheck {
    static constexpr size_t kNone = SIZE_MAX;
    size_t slot = kNone;
    bool started = false; // its run has started: every port lent to it was quiet by then
    std::vector<size_t> beside;
};

struct Station {
    Station(const Options &options, std::string dir)
        : options(options), dir(std::move(dir)), scans(options.portLabels, options.serialRegex ? &*options.serialRegex : nullptr) {}
    const Options &options;
    std::string dir;
    StationJournal journal;
    std::unique_ptr<StationState> state;
    std::string me;            // what the folder's lock says of this station
    std::string notRecording;  // why no unit can be recorded now: none is taken
    std::string recordError;   // the last record that could not be written, with its unit
    bool drainedByUnits = false; // --units ended the intake: the first stop stops the runs
    StationServer server{options, dir};
    std::map<size_t, StationPort> ports; // by slot: a port keeps its slot while it is watched
    size_t nextSlot = 0;
    Children children;
    Stage stage = STAGE_RUNNING;
    WallTime startedWall = std::chrono::system_clock::now();
    StationTotals totals{startedWall};
    std::vector<std::string> unwritten; // records that could not be written
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    StationBefore before;                 // what the folder said of the station before this one
    std::set<std::string> recorded;       // the files of each unit journaled (or kept to) while it looks for them
    std::chrono::steady_clock::time_point lookForLeftBehind;  // when to look for them again (never once past the window)
    StationScans scans;
    bool keys = false;    // the console's keys are read: labels can be scanned
    std::string scanSaid; // what the last scan came to, under the live view
    std::vector<std::string> unscanned; // slots whose unit waited for its scan when the station stopped
    std::unique_ptr<PlantFollower> plant; // --records-db: the journal followed into the plant's database
    StationLineCheck line;
    std::set<std::string> wiring; // the wiring faults found in the shift ("A1 and A2 reach one line")
};

class StationView;

// The loop's steps on a port (Station.cpp): its state changed, and shown; a presence run until a
// unit answers; the unit's update, which first checks which of `beside` (paths) reach its line;
void setState(StationPort &port, PortState state, StationView &view);
void startWaiting(Station &w, size_t slot, StationPort &port, StationView &view);
void startUpdate(Station &w, size_t slot, StationPort &port, StationView &view, const std::vector<std::string> &beside);
// A removal run: the unit handled on the port (port.known, at port.baud) watched until it has gone.
void startRemoval(Station &w, size_t slot, StationPort &port, StationView &view);

// A unit's journal line written (or kept to be), and the unit counted.
void journalUnit(Station &w, const StationPort &port);
void countUnit(Station &w, const StationPort &port);
// Lines kept from a journal that could not take them are written once it can; the units a
// station that did not end left behind are taken over; whether a unit can be recorded is known
// before one is taken.
void checkRecords(Station &w);
// The view's last line: how the station stops, why it takes no unit, and a record that failed.
std::string noteText(const Station &w);
// The live state file: written at once when a port's state changed or a unit was journaled.
void writeState(Station &w, std::map<size_t, std::string> &shown, bool now = false);
// The folder of the shift, held, with its journal; false with status set when it cannot be.
bool openFolder(Station &w, int &status);
// What the console says at the end: the units handled, those to update again, the records lost.
std::string closingLines(Station &w);

#endif
