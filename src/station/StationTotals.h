#ifndef STATIONTOTALS_H_
#define STATIONTOTALS_H_

// What the units a station handled came to, in the columns of its counts: its view's totals
// line, its live state's counts, its closing lines and its exit status.

#include "base/Clock.h"
#include "station/StationPort.h"

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

class StationTotals {
  public:
    explicit StationTotals(WallTime startedWall) : startedWall(startedWall) {}
    // A unit handled on port; cut: a second stop ended its run before it could tell its end.
    void countUnit(const StationPort &port, bool cut);
    // A unit a station before this one left behind: named with the units that need a hand, but
    // none of this station's figures.
    void noteLeftBehind(const StationPort &port) { left[unitLeft(port.unit.end)].push_back(unitName(port)); }
    int handled() const { return handled_; }
    // "Since 14:05: 3 updated and verified, 1 already current, 0 failed, 0 not confirmed; 17.8
    // units/hour" (the rate once the station has run a few minutes).
    std::string totalsLine() const;
    // The live state's counts: handled, each column, units_per_hour (null over the first minutes).
    nlohmann::ordered_json countsJson() const;
    // "Update again: A1 (...)." and "Check before use: ...": each unit that needs a hand, once.
    std::vector<std::string> toHandLines() const { return unitsToHandLines(left); }
    // 130 when a stop cut a unit, else 1 when one failed or a record was lost, else 3 when one
    // was not confirmed, else 0.
    int exitStatus(bool recordsLost) const;

  private:
    long long columns[5] = {}; // by OUTCOME_COLUMNS
    std::map<std::string, std::vector<std::string>> left; // "update again": the units left so
    int handled_ = 0;
    bool anyCut = false;
    WallTime startedWall;
    MonotonicTime started = std::chrono::steady_clock::now();

    long long inColumn(const char *column) const;
    double unitsPerHour() const;
};

#endif
