#include "serve/ServeMetrics.h"

#include "record/Outcome.h"
#include "station/PortState.h"

#include <cstdio>
#include <map>

// Update durations (s): a unit's run takes from seconds (already current) to minutes.
static const double kDurationBuckets[] = {5, 10, 20, 30, 60, 120, 180, 300, 600, 1200};

std::string serveMetricLabel(const std::string &value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

static std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

static std::string folderLabel(const ServeFolder &folder) {
    return "folder=\"" + serveMetricLabel(folder.dir()) + "\"";
}

static std::string stateText(const StateJson &object, const char *key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

static void unitsHandled(std::string &out, const std::vector<ServeFolder *> &folders) {
    out += "# HELP fwupgrade_units_total Units handled by the station, by outcome (from its journal).\n"
           "# TYPE fwupgrade_units_total counter\n";
    for (ServeFolder *folder : folders) {
        const std::vector<long long> counts = folder->countOutcomes("");
        for (size_t i = 0; i < 5; ++i)
            out += "fwupgrade_units_total{" + folderLabel(*folder) + ",outcome=\"" + OUTCOME_COLUMNS[i] +
                   "\"} " + std::to_string(counts[i]) + "\n";
    }
    out += "# HELP fwupgrade_journal_damaged_lines Journal lines that could not be read.\n"
           "# TYPE fwupgrade_journal_damaged_lines gauge\n";
    for (ServeFolder *folder : folders)
        out += "fwupgrade_journal_damaged_lines{" + folderLabel(*folder) + "} " +
               std::to_string(folder->journalDamaged()) + "\n";
}

static void portsByState(std::string &out, const std::vector<ServeFolder *> &folders) {
    out += "# HELP fwupgrade_ports Ports watched by the station, by state.\n# TYPE fwupgrade_ports gauge\n";
    for (ServeFolder *folder : folders) {
        std::map<std::string, long long> states;
        for (const char *state : PORT_STATE_NAMES) states[state] = 0; // each a gauge, even when no port is in it
        const auto state = folder->state();
        if (state && state->contains("ports") && (*state)["ports"].is_array())
            for (const StateJson &port : (*state)["ports"])
                if (port.is_object()) ++states[stateText(port, "state")];
        for (auto &[name, count] : states)
            out += "fwupgrade_ports{" + folderLabel(*folder) + ",state=\"" + serveMetricLabel(name) + "\"} " +
                   std::to_string(count) + "\n";
    }
}

static void updateDurations(std::string &out, const std::vector<ServeFolder *> &folders) {
    out += "# HELP fwupgrade_unit_duration_seconds How long each unit's run took, from the journal.\n"
           "# TYPE fwupgrade_unit_duration_seconds histogram\n";
    for (ServeFolder *folder : folders) {
        const std::vector<double> durations = folder->durations();
        double sum = 0;
        for (double d : durations) sum += d;
        for (double bound : kDurationBuckets) {
            long long below = 0;
            for (double d : durations) below += d <= bound;
            out += "fwupgrade_unit_duration_seconds_bucket{" + folderLabel(*folder) + ",le=\"" + number(bound) +
                   "\"} " + std::to_string(below) + "\n";
        }
        const std::string all = std::to_string(durations.size());
        out += "fwupgrade_unit_duration_seconds_bucket{" + folderLabel(*folder) + ",le=\"+Inf\"} " + all + "\n";
        out += "fwupgrade_unit_duration_seconds_sum{" + folderLabel(*folder) + "} " + number(sum) + "\n";
        out += "fwupgrade_unit_duration_seconds_count{" + folderLabel(*folder) + "} " + all + "\n";
    }
}

static void versions(std::string &out, const std::vector<ServeFolder *> &folders) {
    out += "# HELP fwupgrade_station_info The station's program and firmware, as its state file says.\n"
           "# TYPE fwupgrade_station_info gauge\n";
    for (ServeFolder *folder : folders) {
        const auto state = folder->state();
        const StateJson station = state ? state->value("station", StateJson::object()) : StateJson::object();
        if (!station.is_object()) continue;
        const StateJson program = station.value("program", StateJson::object());
        const StateJson firmware = station.value("firmware", StateJson::object());
        if (!program.is_object() || !firmware.is_object()) continue;
        out += "fwupgrade_station_info{" + folderLabel(*folder) + ",host=\"" +
               serveMetricLabel(stateText(station, "host")) + "\",program_version=\"" +
               serveMetricLabel(stateText(program, "version")) + "\",firmware_version=\"" +
               serveMetricLabel(stateText(firmware, "version")) + "\",images=\"" +
               serveMetricLabel(stateText(firmware, "images")) + "\"} 1\n";
    }
}

// The plant's database (--records-db): lines of the journal it does not hold yet, whether it
// answers, lines it refused (set aside), and whether the journal is the one it holds for the
// folder's key. Only folders whose journal is followed into one.
static void recordsDb(std::string &out, const std::vector<ServeFolder *> &folders, const std::vector<StateJson> &given) {
    std::string behind, up, setAside, mismatch;
    for (size_t i = 0; i < folders.size(); ++i) {
        StateJson records = i < given.size() ? given[i] : StateJson();
        if (records.is_null()) {
            const auto state = folders[i]->state();
            if (state && state->contains("records_db")) records = (*state)["records_db"];
        }
        if (!records.is_object() || !records.contains("behind_lines") || !records["behind_lines"].is_number_unsigned())
            continue;
        const std::string label = std::string("{").append(folderLabel(*folders[i])).append("} ");
        const auto aside = records.find("set_aside_lines");
        const auto differs = records.find("mismatch");
        const unsigned long long asideLines =
            aside != records.end() && aside->is_number_unsigned() ? aside->get<unsigned long long>() : 0;
        behind.append("fwupgrade_records_db_behind_lines").append(label)
            .append(std::to_string(records["behind_lines"].get<unsigned long long>())).append("\n");
        up.append("fwupgrade_records_db_up").append(label).append(records.value("up", false) == true ? "1\n" : "0\n");
        setAside.append("fwupgrade_records_db_set_aside_lines").append(label).append(std::to_string(asideLines)).append("\n");
        mismatch.append("fwupgrade_records_db_mismatch").append(label)
            .append(differs != records.end() && differs->is_object() ? "1\n" : "0\n");
    }
    if (behind.empty()) return;
    out += "# HELP fwupgrade_records_db_behind_lines Journal lines the plant's database does not hold yet.\n"
           "# TYPE fwupgrade_records_db_behind_lines gauge\n" + behind;
    out += "# HELP fwupgrade_records_db_up Whether the plant's database answered the last attempt.\n"
           "# TYPE fwupgrade_records_db_up gauge\n" + up;
    out += "# HELP fwupgrade_records_db_set_aside_lines Journal lines the plant's database refused for their data.\n"
           "# TYPE fwupgrade_records_db_set_aside_lines gauge\n" + setAside;
    out += "# HELP fwupgrade_records_db_mismatch Whether the journal is not the one the database holds for the "
           "folder's key (1: nothing more is sent from it).\n"
           "# TYPE fwupgrade_records_db_mismatch gauge\n" + mismatch;
}

std::string serveMetrics(const std::vector<ServeFolder *> &folders, const std::vector<StateJson> &records) {
    std::string out;
    unitsHandled(out, folders);
    portsByState(out, folders);
    updateDurations(out, folders);
    versions(out, folders);
    recordsDb(out, folders, records);
    return out;
}
