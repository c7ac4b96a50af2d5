#include "plant/PlantTable.h"

#include "base/Clock.h"
#include "base/StringOperations.h"

#include <nlohmann/json.hpp>

#include <optional>

using json = nlohmann::ordered_json;

namespace {

std::optional<std::string> versionAt(const json &line, const char *side, const char *key) {
    const auto it = line.find(side);
    return it != line.end() && it->is_object() ? plantTextAt(*it, key) : std::nullopt;
}

} // namespace

std::optional<std::string> plantTextAt(const json &object, const char *key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

const PlantColumn PLANT_COLUMNS[PLANT_COLUMN_COUNT] = {
    {"station_key", "VARCHAR(64) NOT NULL", 64},
    {"line_no", "BIGINT NOT NULL", 0},
    {"serial_number", "VARCHAR(64)", 64},
    {"slot_label", "VARCHAR(64)", 64},
    {"port", "VARCHAR(255)", 255},
    {"kind", "VARCHAR(16)", 16},
    {"outcome", "VARCHAR(64)", 64},
    {"exit_status", "INTEGER", 0},
    {"firmware_before", "VARCHAR(64)", 64},
    {"fpga_before", "VARCHAR(64)", 64},
    {"firmware_after", "VARCHAR(64)", 64},
    {"fpga_after", "VARCHAR(64)", 64},
    {"firmware_carried", "VARCHAR(64)", 64},
    {"started", "VARCHAR(40)", 40},
    {"ended", "VARCHAR(40)", 40},
    {"duration_ms", "BIGINT", 0},
    {"host", "VARCHAR(255)", 255},
    {"journal_line", "VARCHAR(8000) NOT NULL", PLANT_LINE_MAX},
};

std::string plantColumnList() {
    std::string list;
    for (const PlantColumn &c : PLANT_COLUMNS) list += (list.empty() ? "" : ", ") + std::string(c.name);
    return list;
}

std::string plantStoredLine(std::string_view line) {
    if (line.size() <= PLANT_LINE_MAX) return std::string(line);
    // The mark's own length depends on the count it names: room for the longest count.
    const size_t room = PLANT_LINE_MAX - std::string(" ...[cut: 00000000000000000000 bytes]").size();
    size_t keep = room;
    while (keep > 0 && ((unsigned char)line[keep] & 0xC0) == 0x80) --keep; // not inside a character
    return std::string(line.substr(0, keep)) + " ...[cut: " + std::to_string(line.size() - keep) + " bytes]";
}

std::vector<OdbcValue> plantRow(const std::string &key, size_t number, std::string_view line) {
    const json unit = json::parse(line, nullptr, false);
    const auto text = [&](const char *key) { return plantTextAt(unit, key); };
    std::optional<int64_t> status;
    if (unit.contains("exit_status") && unit["exit_status"].is_number_integer()) status = unit["exit_status"].get<int64_t>();
    std::optional<int64_t> duration;
    const auto started = text("started"), ended = text("ended");
    if (started && ended) {
        long long a = 0, b = 0;
        if (timeStampMs(*started, a) && timeStampMs(*ended, b) && b >= a) duration = b - a;
    }
    // The release the station carried when it wrote the line: a version, or an object naming it.
    std::optional<std::string> carried = text("carried");
    if (!carried) carried = versionAt(unit, "carried", "version");
    const std::optional<std::string> values[] = {key, std::nullopt, text("serial"), text("label"), text("port"),
                                                 text("kind"), text("outcome"), std::nullopt,
                                                 versionAt(unit, "before", "firmware"), versionAt(unit, "before", "fpga"),
                                                 versionAt(unit, "after", "firmware"), versionAt(unit, "after", "fpga"),
                                                 carried, started, ended, std::nullopt, text("host"),
                                                 plantStoredLine(line)};
    std::vector<OdbcValue> row;
    for (size_t i = 0; i < std::size(PLANT_COLUMNS); ++i) {
        const std::string name = PLANT_COLUMNS[i].name;
        if (name == "line_no") row.push_back(OdbcValue::ofNumber((int64_t)number));
        else if (name == "exit_status") row.push_back(OdbcValue::ofNumber(status));
        else if (name == "duration_ms") row.push_back(OdbcValue::ofNumber(duration));
        else row.push_back(OdbcValue::ofText(values[i], PLANT_COLUMNS[i].width));
    }
    return row;
}

std::string plantCreateTable(const std::string &table) {
    std::string sql = "CREATE TABLE " + table + " (";
    for (const PlantColumn &c : PLANT_COLUMNS) sql += std::string(c.name) + " " + c.type + ", ";
    return sql + "PRIMARY KEY (station_key, line_no))";
}
