#ifndef STATIONSTATE_H_
#define STATIONSTATE_H_

// The live state of a station: station-state.json beside its journal, replaced whole on each
// change, for whatever shows the station elsewhere. Its readers read the folder only; nothing
// they do can reach the station. The last changes are kept in it with rising ids, so that a
// reader that missed some can catch up.

#include "station/StationPort.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

class StationState {
  public:
    using json = nlohmann::ordered_json;
    // The station's fixed facts (id, host, program, firmware, started), in `dir`.
    StationState(const std::string &dir, json station);
    // A port's state changed (its object as in "ports"), or a unit's journal line was written.
    void portChanged(const json &port);
    void unitJournaled(size_t line);
    // The logs of the runs not journaled yet (under way, their line kept in memory, left by the
    // station before and not taken over yet): the station after this one journals those.
    void runsUnjournaled(std::vector<std::string> logs) { unjournaled = std::move(logs); }
    // The serial numbers scanned and waiting for their units ({"serial", "slot"}), in order.
    void scansWaiting(json waiting) { scans = std::move(waiting); }
    // How far the plant's database is behind the journal (--records-db), or null without one.
    void recordsDb(json status) { records = std::move(status); }
    // Replaces the file: at once after a change above (or `now`), else at most four times a
    // second. False when it could not be written (tried again at the next call).
    bool write(const json &counts, const json &ports, const std::string &stage, const std::string &note,
               size_t journalLines, bool now = false);
    // A port as the file has it (slot: its place in the station's list).
    static json portJson(size_t slot, const StationPort &port);
    // The fixed facts of this station, as the file has them.
    static json stationFacts(const std::string &id, const std::string &started);

  private:
    std::string dir, path;
    json station;
    std::string run; // tells this station's ids from another's on the same folder
    std::deque<json> events;
    std::vector<std::string> unjournaled;
    std::optional<std::vector<std::string>> unjournaledOnDisk; // as the last file synced says
    json scans = json::array();
    json records;
    long long nextId = 1;
    bool changed = true;
    std::string lastKey; // what the last file said, but for its time
    std::chrono::steady_clock::time_point lastWrite;
};

#endif
