#include "station/StationTotals.h"

#include "record/Outcome.h"

#include <cmath>
#include <cstdio>
#include <cstring>

void StationTotals::countUnit(const StationPort &port, bool cut) {
    ++handled_;
    ++columns[outcomeColumn(port.unit.outcome())];
    anyCut |= cut || verdictOf(port.unit.outcome()) == VERDICT_STOPPED;
    left[unitLeft(port.unit.end)].push_back(unitName(port));
}

long long StationTotals::inColumn(const char *column) const {
    for (size_t i = 0; i < 5; ++i)
        if (std::strcmp(OUTCOME_COLUMNS[i], column) == 0) return columns[i];
    return 0;
}

// Units an hour since the start; none over the first minutes, which would say more of chance
// than of the line.
double StationTotals::unitsPerHour() const {
    const double seconds = secondsSince(started);
    return seconds < 300 ? -1 : handled_ * 3600 / seconds;
}

std::string StationTotals::totalsLine() const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "Since %s: %lld updated and verified, %lld already current, %lld failed, %lld not confirmed",
                  timeStamp(startedWall).substr(11, 5).c_str(), inColumn("updated and verified"), inColumn("already current"),
                  inColumn("failed"), inColumn("not confirmed"));
    if (inColumn("stopped") > 0)
        std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text), ", %lld stopped", inColumn("stopped"));
    if (unitsPerHour() < 0) return text;
    char rate[64];
    std::snprintf(rate, sizeof rate, "; %.1f units/hour", unitsPerHour());
    return text + std::string(rate);
}

nlohmann::ordered_json StationTotals::countsJson() const {
    using json = nlohmann::ordered_json;
    json counts = {{"handled", handled_}};
    for (size_t i = 0; i < 5; ++i) counts[OUTCOME_COLUMNS[i]] = columns[i];
    const double rate = unitsPerHour();
    counts["units_per_hour"] = rate < 0 ? json(nullptr) : json(std::round(rate * 10) / 10);
    return counts;
}

int StationTotals::exitStatus(bool recordsLost) const {
    if (anyCut) return EXIT_STOPPED;
    if (inColumn("failed") > 0 || recordsLost) return EXIT_UPDATE_FAILED;
    return inColumn("not confirmed") > 0 ? EXIT_NOT_CONFIRMED : EXIT_UPDATE_OK;
}
