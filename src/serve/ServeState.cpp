#include "serve/ServeState.h"

#include "record/Outcome.h"

std::string serveJsonText(const StateJson &value) {
    return value.dump(-1, ' ', false, StateJson::error_handler_t::replace);
}

namespace {

StateJson countsFromJournal(const ServeFolder &folder) {
    const std::vector<long long> counts = folder.countOutcomes("");
    StateJson out = {{"handled", counts[0] + counts[1] + counts[2] + counts[3] + counts[4]}};
    for (size_t i = 0; i < 5; ++i) out[OUTCOME_COLUMNS[i]] = counts[i];
    out["units_per_hour"] = nullptr;
    return out;
}

std::string sseEvent(const char *type, const StateJson &data, long long id) {
    std::string text = id >= 0 ? "id: " + std::to_string(id) + "\n" : "";
    return text + "event: " + type + "\ndata: " + serveJsonText(data) + "\n\n";
}

// A field of an object the file may hold anything in: its value when of the right type.
std::string stateText(const StateJson &object, const char *key) {
    if (!object.is_object()) return "";
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

long long stateNumber(const StateJson &object, const char *key) {
    if (!object.is_object()) return 0;
    auto it = object.find(key);
    return it != object.end() && it->is_number_integer() ? it->get<long long>() : 0;
}

} // namespace

StateJson serveStationJson(const ServeFolder &folder) {
    const auto state = folder.state();
    StateJson out = state ? *state : StateJson{{"format", 1}, {"run", nullptr}, {"station", nullptr}};
    out.erase("events");
    if (!out.contains("counts")) out["counts"] = countsFromJournal(folder);
    if (!out.contains("ports") || !out["ports"].is_array()) out["ports"] = StateJson::array();
    if (!out.contains("scans") || !out["scans"].is_array()) out["scans"] = StateJson::array();
    out["journal"] = {{"lines", folder.journalLines()}, {"damaged", folder.journalDamaged()}};
    out["folder"] = folder.dir();
    return out;
}

std::string serveNews(const ServeFolder &folder, StreamPosition &position) {
    const auto state = folder.state();
    const StateJson events = state && state->contains("events") && (*state)["events"].is_array()
                                 ? (*state)["events"] : StateJson::array();
    long long first = 0, newest = 0;
    if (!events.empty()) {
        first = stateNumber(events.front(), "id");
        newest = stateNumber(events.back(), "id");
    }
    std::string out;
    const bool fresh = position.lastId < 0 && position.run.empty();
    std::string run = state ? stateText(*state, "run") : "";
    if (run.empty()) run = "?"; // no state file yet, or one that names no run
    // A state sent before this run's first event saw none of them: its events follow, no reload.
    const bool beforeFirst = position.lastId < 0 && !position.run.empty() && run == position.run;
    if (!fresh && !beforeFirst && (position.lastId > newest || (!events.empty() && position.lastId < first - 1) ||
                                   (!position.run.empty() && run != position.run)))
        out += sseEvent("reload", {{"reason", "events were missed: read the whole state again"}}, -1);
    if (!out.empty() || fresh) {
        const StateJson whole = serveStationJson(folder);
        out += sseEvent("state", whole, events.empty() ? -1 : newest); // no id before the first change
        position.lastId = events.empty() ? -1 : newest;
        position.run = run;
        const StateJson station = whole.value("station", StateJson()); // the state holds them: no
        position.stage = stateText(station, "stage");                   // "station" event for them
        position.note = stateText(station, "note");
    }
    for (const StateJson &event : events) {
        const long long id = stateNumber(event, "id");
        if (id <= position.lastId) continue;
        position.lastId = id;
        const std::string type = stateText(event, "type");
        if (type == "port") out += sseEvent("port", {{"port", event.value("port", StateJson())}}, id);
        else if (type == "unit") {
            const long long line = stateNumber(event, "line");
            out += sseEvent("unit",
                            {{"line", line},
                             {"unit", line > 0 ? folder.journalLine((size_t)line) : StateJson()},
                             {"counts", state->value("counts", StateJson())}},
                            id);
        }
    }
    if (state && state->contains("station") && (*state)["station"].is_object()) {
        const StateJson &station = (*state)["station"];
        const std::string stage = stateText(station, "stage"), note = stateText(station, "note");
        if (stage != position.stage || note != position.note) {
            out += sseEvent("station", {{"stage", stage}, {"note", note}}, -1);
            position.stage = stage;
            position.note = note;
        }
    }
    return out;
}

